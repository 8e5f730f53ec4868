#include "manager/window/server_state.h"

#include <algorithm>

namespace tolmark::manager {

namespace {
constexpr std::int32_t kMaxProfiles = 4096;
QString number(long long n) { return QString::number(n); }
}  // namespace

std::vector<std::string> readProfileNames(ManagerPipe& pipe) {
    std::vector<std::string> names;
    for (std::int32_t index = 0; index < kMaxProfiles; ++index) {
        const PipeResult<ProfileEntry> profile = pipe.getProfile(index);
        if (!profile.ok()) break;
        names.push_back(profile.value.profile.name);
    }
    return names;
}

ServerBlocks ServerBlocks::fetch(ManagerPipe& pipe, bool withStatus) {
    ServerBlocks b;
    b.general = pipe.getSettings();
    if (b.general.failed()) return b;  // no server: each further request would wait in vain
    if (withStatus) b.status = pipe.getStatus(-1);
    b.tftp = pipe.getTftpSettings();
    b.multicast = pipe.getMulticast();
    if (b.general.ok()) b.profiles = readProfileNames(pipe);
    b.leaseStore = pipe.getLeaseStore();
    return b;
}

void ServerState::take(const ServerBlocks& blocks) {
    if (blocks.general.ok()) {
        general = blocks.general.value;
        profileNames = blocks.profiles;
    }
    if (blocks.tftp.ok()) tftp = blocks.tftp.value;
    if (blocks.multicast.ok()) multicast = blocks.multicast.value;
    if (!blocks.leaseStore.failed())
        leaseStore = blocks.leaseStore.ok() ? std::optional(blocks.leaseStore.value) : std::nullopt;
}

// The server writes only 0 and 1 there today; the other codes are those a server may report.
int stateFromStatus(const ServerStatus& status) {
    const int code = status.serverStopping;
    return code == kStateOtherServer || code == kStatePortInUse || code == kStateTftpFailed ? code : kStateReady;
}

QString topStatusText(const Language& language, View view, const ServerState& state) {
    const ServerStatus& s = state.status;
    switch (view) {
        case View::Static:
            return fillArguments(language.text("STATIC"), {number(s.staticUsed), number(s.staticCount)});
        case View::Dynamic:
            return fillArguments(language.text("DYNAMIC"), {number(s.dynamicUsed), number(s.poolTotal)});
        case View::Ignored:
            return fillArguments(language.text("UNKNOWN"), {number(s.ignoredUsed)});
        case View::Tftp:
            return fillArguments(language.text("CLIENTS"), {number(std::max(state.activeTftp, 0))});
    }
    return {};
}

QString bottomStatusText(const Language& language, const ServerState& state) {
    switch (state.stateCode) {
        case kStateOtherServer:
            return language.text("ERROR_DETECT");
        case kStatePortInUse:
            return fillArguments(language.text("ERROR_DHCP"), {number(state.status.port)});
        case kStateTftpFailed:
            return language.text("ERROR_TFTP");
        case kStatePipeFailure:
            return pipeFailureText(language, state.untrustedUid);
        default:
            return fillArguments(language.text("READY"), {number(state.status.port)});
    }
}

QString pipeFailureText(const Language& language, const std::optional<unsigned>& untrustedUid) {
    if (untrustedUid) return fillArguments(language.text("ERROR_UNTRUSTED"), {QString::number(*untrustedUid)});
    return language.text("ERROR_PIPE");
}

QString leaseStoreText(const Language& language, const ServerState& state) {
    if (!state.leaseStore || state.stateCode == kStatePipeFailure) return {};
    const LeaseStoreReply& store = *state.leaseStore;
    const QString description = QString::fromStdString(store.description);
    switch (store.store) {
        case kLeaseStoreFiles:
            return language.text("LEASES_FILES");
        case kLeaseStoreDatabase:
            return fillArguments(language.text("LEASES_DATABASE"), {description, number(store.waiting)});
        default:
            return fillArguments(language.text("LEASES_UNREACHABLE"), {description, number(store.waiting)});
    }
}

}  // namespace tolmark::manager
