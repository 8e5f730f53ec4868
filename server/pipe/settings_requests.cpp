// Settings blocks, the server status record and single configuration keys.

#include <algorithm>
#include <optional>
#include <string_view>

#include "common/pipe_requests.h"
#include "common/server_stats.h"
#include "common/settings_blocks.h"
#include "config/ini_file.h"
#include "config/settings.h"
#include "server/pipe/request_parts.h"

namespace tolmark::pipe_requests {

namespace {

// The block of a set request: the value must be the block's size and the block must have
// arrived whole.
std::optional<std::span<const std::uint8_t>> setBlock(const SettingsRequest& request, std::size_t blockSize) {
    return decodeBlockMessage(request.bytes, blockSize);
}

void recount(SettingsAccess& context, std::int32_t list) {
    if (list < 0 || list > 2) return;
    const auto slot = static_cast<std::size_t>(list);
    if (!context.recounts.due(slot, RecountGate::Clock::now())) return;
    ListCounters counters;
    {
        Hold engine(context.engine.lock);
        const auto start = RecountGate::Clock::now();
        counters = context.engine.clients.count(static_cast<ClientList>(list));
        context.recounts.counted(slot, start, RecountGate::Clock::now());
    }
    StatusCounters& status = context.counters;
    switch (list) {
        case 0:
            status.staticCount = counters.total;
            status.staticUsed = counters.used;
            break;
        case 1:
            status.dynamicUsed = counters.used;
            break;
        default:
            status.ignoredUsed = counters.used;
            break;
    }
}

ServerStatus currentStatus(SettingsAccess& context) {
    const StatusCounters& counters = context.counters;
    ServerStatus status;
    status.port = counters.portInUse;
    status.profileCount = counters.profileCount;
    status.staticCount = counters.staticCount;
    status.poolTotal = counters.poolTotal;
    status.staticUsed = counters.staticUsed;
    status.dynamicUsed = counters.dynamicUsed;
    status.ignoredUsed = counters.ignoredUsed;
    status.tftpTransfers = context.tftpTransfers ? context.tftpTransfers() : -1;
    {
        Hold engine(context.engine.lock);
        status.staticChanges = context.engine.clients.changes(ClientList::Static);
        status.dynamicChanges = context.engine.clients.changes(ClientList::Dynamic);
        status.ignoredChanges = context.engine.clients.changes(ClientList::Ignored);
    }
    status.serverStopping = context.serverStopping;
    status.reloadRequest = context.reloadRequest;
    context.interfaces.fillStatus(status);
    if (context.socketImage) {
        for (std::size_t i = 0; i < static_cast<std::size_t>(status.interfaceCount) && i < kMaxInterfaces; ++i)
            status.interfaces[i].socket = context.socketImage(i);
    }
    return status;
}

// Whether the MAC range table keeps the meaning it has here once written as text and read
// back at the next start. An entry of no bytes passes every client here but ends the text form;
// an entry running past the table's length is passed over here but written with the bytes it
// has, a shorter prefix that the next start would answer.
bool macRangeReadsBack(const MacRangeTable& table) {
    const std::size_t total = std::min<std::size_t>(table[0], table.size() - 1);
    for (std::size_t at = 1; at <= total; at += 1 + table[at]) {
        if (table[at] == 0 || at + table[at] > total) return false;
    }
    return true;
}

std::optional<std::string_view> viewOf(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    return std::string_view(*text);
}

// A change the configuration file did not take (it cannot be read or saved: a read-only
// directory, a full disk) holds only until the server stops; the administrator reads why in
// the log, as the pipe's answer says only that the change was applied.
void noteUnsaved(SettingsAccess& context, bool saved) {
    if (saved || context.log == nullptr) return;
    context.log->line(1, true, "DHCP  Error   configuration %s not written: the change holds until the server stops\n",
                      context.store.iniPath().c_str());
}

}  // namespace

PipeMessage getSettings(SettingsRequest& request) {
    GeneralSettings general = request.context.settings.general();
    general.pausedState = request.context.paused;
    return encodeBlockMessage(kPipeDone, encodeGeneralSettings(general));
}

PipeMessage setSettings(SettingsRequest& request) {
    const auto block = setBlock(request, kGeneralSettingsSize);
    if (!block) return sizeCheckFailed(request);
    std::optional<GeneralSettings> received = decodeGeneralSettings(*block);
    if (!received || !macRangeReadsBack(received->macRange)) return sizeCheckFailed(request);
    // Bytes past the table's length are not part of it, and the next start reads none back.
    std::fill(received->macRange.begin() + 1 + std::min<std::size_t>(received->macRange[0], 31),
              received->macRange.end(), 0);
    SettingsAccess& context = request.context;
    // The detection state is run-time state, the server's own. The selection mode is kept in
    // the interface keys, not in a key of its own: a changed mode applies to addresses that
    // appear from now on and is written at once as "Include" or "Exclude", so that the next
    // start reads the same mode.
    const int mode = received->selectionMode != 0 ? 1 : 0;
    const bool modeChanged = mode != context.interfaces.selectionMode();
    if (modeChanged) context.interfaces.setSelectionMode(mode);
    const GeneralSettings applied = context.settings.update([&](DhcpSettings& dhcp, TftpSettings&, MulticastSettings&) {
        received->pausedState = dhcp.general.pausedState;
        received->selectionMode = mode;
        dhcp.general = *received;
        return dhcp.general;
    });
    // The block and the interface keys of a changed mode reach the file together or not at all.
    KeyChanges changes;
    addGeneralSettings(changes, kGeneralSection, applied);
    if (modeChanged) context.interfaces.addKeys(changes, kGeneralSection);
    noteUnsaved(context, context.store.write(changes));
    if (context.startNameLookup) context.startNameLookup();
    return statusReply(kPipeDone);
}

PipeMessage getTransfer(SettingsRequest& request) {
    SettingsAccess& context = request.context;
    if (!context.transferRecord || request.value < 0) return statusReply(kPipeDone);
    const std::optional<std::array<std::uint8_t, kTransferRecordSize>> record = context.transferRecord(request.value);
    if (!record) return statusReply(kPipeDone);
    const std::int32_t running = context.tftpTransfers ? context.tftpTransfers() : -1;
    return valueReply(running, *record);
}

// The StatusChanged bits for this connection. The word is read and cleared in one step, so a
// change reported meanwhile is not lost; what it held is counted for every connection, so that
// one client's poll (another manager's, a read-only user's, a remote peer's) does not take the
// change from the others. A connection's first look starts from the counts as they stand.
std::int32_t statusChangedFor(SettingsAccess& context, PipeSession& session) {
    auto& counts = context.statusChangeCounts;
    if (!session.statusChangesSeen) session.statusChangesSeen = counts;
    const int taken = context.statusChanged.exchange(0);
    std::int32_t bits = 0;
    for (std::size_t bit = 0; bit < counts.size(); ++bit) {
        if ((taken & (1 << bit)) != 0) ++counts[bit];
        if ((*session.statusChangesSeen)[bit] != counts[bit]) bits |= 1 << bit;
    }
    session.statusChangesSeen = counts;
    return bits;
}

PipeMessage getStatus(SettingsRequest& request) {
    recount(request.context, request.value);
    ServerStatus status = currentStatus(request.context);
    status.statusChanged = statusChangedFor(request.context, request.session);
    return encodeBlockMessage(kPipeDone, encodeServerStatus(status));
}

PipeMessage setInterfaces(SettingsRequest& request) {
    const auto block = setBlock(request, kServerStatusSize);
    if (!block) return sizeCheckFailed(request);
    const std::optional<ServerStatus> image = decodeServerStatus(*block);
    if (!image) return sizeCheckFailed(request);
    SettingsAccess& context = request.context;
    const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(image->interfaceCount, 0, kMaxInterfaces));
    for (std::size_t i = 0; i < count; ++i) {
        const InterfaceEntryImage& entry = image->interfaces[i];
        context.interfaces.setServed(entry.address, (entry.flags & kIfServed) != 0);
        context.interfaces.setTrusted(entry.address, (entry.flags & kIfTrusted) != 0);
    }
    context.reloadRequest.fetch_or(kReloadSockets);
    noteUnsaved(context, context.interfaces.writeKeys(context.store, kGeneralSection));
    return statusReply(kPipeDone);
}

PipeMessage getTftpSettings(SettingsRequest& request) {
    return encodeBlockMessage(kPipeDone, encodeTftpSettings(request.context.settings.tftp()));
}

PipeMessage setTftpSettings(SettingsRequest& request) {
    const auto block = setBlock(request, kTftpSettingsSize);
    if (!block) return sizeCheckFailed(request);
    const std::optional<TftpSettings> received = decodeTftpSettings(*block);
    // A path with a line break cannot be kept in the configuration file: taken, it would hold
    // until the server stops while the file kept the old one. The block is not taken at all.
    if (!received || !IniFile::validValue(received->prefix) || !IniFile::validValue(received->directory))
        return sizeCheckFailed(request);
    SettingsAccess& context = request.context;
    bool portChanged = false;
    MulticastSettings multicast;
    context.settings.update([&](DhcpSettings&, TftpSettings& tftp, MulticastSettings& current) {
        portChanged = tftp.port != received->port;
        tftp = *received;
        multicast = current;
        return 0;
    });
    noteUnsaved(context, writeTftpSettings(context.store, kGeneralSection, *received, multicast));
    if (context.restartTftp) context.restartTftp(portChanged);
    return statusReply(kPipeDone);
}

PipeMessage getMulticast(SettingsRequest& request) {
    return encodeBlockMessage(kPipeDone, encodeMulticastSettings(request.context.settings.multicast()));
}

PipeMessage setMulticast(SettingsRequest& request) {
    const auto block = setBlock(request, kMulticastSettingsSize);
    if (!block) return sizeCheckFailed(request);
    const std::optional<MulticastSettings> received = decodeMulticastSettings(*block);
    if (!received) return sizeCheckFailed(request);
    SettingsAccess& context = request.context;
    TftpSettings tftp;
    context.settings.update([&](DhcpSettings&, TftpSettings& current, MulticastSettings& multicast) {
        multicast = *received;
        tftp = current;
        return 0;
    });
    noteUnsaved(context, writeTftpSettings(context.store, kGeneralSection, tftp, *received));
    if (context.restartTftp) context.restartTftp(false);
    return statusReply(kPipeDone);
}

PipeMessage getLeaseStore(SettingsRequest& request) {
    const SettingsAccess& context = request.context;
    return encodeLeaseStoreReply(context.leaseStore ? context.leaseStore() : LeaseStoreReply{});
}

PipeMessage getStats(SettingsRequest& request) {
    const SettingsAccess& context = request.context;
    if (!context.stats || request.value < 0) return sizeCheckFailed(request);
    return encodeStatsReply(context.stats(static_cast<std::uint32_t>(request.value)));
}

PipeMessage writeSetting(SettingsRequest& request) {
    const std::optional<WriteSettingRequest> write = decodeWriteSetting(request.bytes);
    if (!write) return sizeCheckFailed(request);
    // Without a section there is nothing to write to; the store refuses malformed names itself.
    if (!write->section || write->section->empty()) return valueReply(0);
    const bool done = request.context.store.writeText(*write->section, viewOf(write->key), viewOf(write->text));
    return valueReply(done ? 1 : 0);
}

}  // namespace tolmark::pipe_requests
