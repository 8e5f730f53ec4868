#include "manager/dialogs/preferences/preference_rules.h"

#include "common/settings_blocks.h"
#include "manager/dialogs/dialog_context.h"

namespace tolmark::manager {

namespace {
std::int64_t numberOr(const QString& text, std::int64_t fallback) { return fieldNumber(text).value_or(fallback); }
}  // namespace

std::int32_t tftpPortFromField(const QString& text) {
    const std::int64_t n = numberOr(text, 0);
    return n >= 1 && n <= 65535 ? static_cast<std::int32_t>(n) : 69;
}

std::int32_t dataPortFromField(const QString& text) {
    const std::int64_t n = numberOr(text, 0);
    return n >= 1 && n <= 65535 ? static_cast<std::int32_t>(n) : 0;
}

std::int32_t tftpClientsFromField(const QString& text) {
    const std::int64_t n = numberOr(text, 0);
    return n >= 1 && n <= INT32_MAX ? static_cast<std::int32_t>(n) : 10;
}

Ipv4 multicastAddressFromField(const QString& text) {
    const std::string s = text.trimmed().toStdString();
    const ParsedIpv4 parsed = parseIpv4(s);
    return parsed.ok && parsed.end == s.size() ? parsed.address : makeIpv4(224, 0, 0, 1);
}

// A number that is no port (0, above 65535) gives the default, as the other port fields do:
// cut to 16 bits, 70000 would send the group's data to port 4464.
std::uint16_t multicastPortFromField(const QString& text) {
    const std::int64_t n = numberOr(text, 0);
    return n >= 1 && n <= 65535 ? static_cast<std::uint16_t>(n) : std::uint16_t{1758};
}

std::int32_t multicastTtlFromField(const QString& text) {
    const std::int64_t n = numberOr(text, 0);
    return n >= 1 && n <= 255 ? static_cast<std::int32_t>(n) : 1;
}

std::int32_t keptFlag(bool checked, std::int32_t current) {
    if (!checked) return 0;
    return current != 0 ? current : 1;
}

std::int32_t withBit(std::int32_t value, std::int32_t bit, bool on) { return on ? (value | bit) : (value & ~bit); }

std::int32_t logLevelFor(bool write, bool details, std::int32_t current) {
    if (!write) return current <= 0 ? current : 0;
    if (details) return current >= 2 ? current : 2;
    return 1;
}

namespace {
// The block as the server holds it now, with each of the members that the pages changed from the
// block they read.
template <typename Block, typename... Members>
Block changedOver(const Block& edited, const Block& read, const Block& current, Members... members) {
    Block out = current;
    ((edited.*members != read.*members ? void(out.*members = edited.*members) : void()), ...);
    return out;
}
}  // namespace

GeneralSettings generalToSend(const GeneralSettings& edited, const GeneralSettings& read,
                              const GeneralSettings& current) {
    using G = GeneralSettings;
    return changedOver(edited, read, current,
                       // General page
                       &G::updateEthers, &G::log, &G::createLog,
                       // DHCP page
                       &G::bootp, &G::dhcp, &G::enableRa, &G::relayAgent, &G::enableId, &G::enableMac, &G::name2Uc,
                       &G::soleServer, &G::unicast, &G::autoConfigure, &G::changeIp, &G::testIp,
                       // Interfaces page
                       &G::detect, &G::regOnly, &G::relaySrc, &G::selectionMode);
}

TftpSettings tftpToSend(const TftpSettings& edited, const TftpSettings& read, const TftpSettings& current) {
    using T = TftpSettings;
    return changedOver(edited, read, current, &T::port, &T::dataPort, &T::timeout, &T::retransmit, &T::clients,
                       &T::options, &T::unixStyle, &T::mmf, &T::mmfMax, &T::upload, &T::rootIpSpecific, &T::rootProfile,
                       &T::windowSize, &T::largeFiles, &T::enable, &T::mode, &T::flags, &T::prefix, &T::directory);
}

MulticastSettings multicastToSend(const MulticastSettings& edited, const MulticastSettings& read,
                                  const MulticastSettings& current) {
    using M = MulticastSettings;
    return changedOver(edited, read, current, &M::multicast, &M::address, &M::port, &M::last, &M::ttl);
}

ServerStatus interfacesToSend(const ServerStatus& edited, const ServerStatus& read, const ServerStatus& current) {
    ServerStatus out = current;
    const auto entries = [](const ServerStatus& s) {
        return static_cast<std::size_t>(std::clamp<std::int32_t>(s.interfaceCount, 0, kMaxInterfaces));
    };
    for (std::size_t i = 0; i < std::min(entries(edited), entries(read)); ++i) {
        const InterfaceEntryImage& e = edited.interfaces[i];
        const std::int32_t changed = (e.flags ^ read.interfaces[i].flags) & (kIfServed | kIfTrusted);
        if (changed == 0) continue;
        for (std::size_t j = 0; j < entries(out); ++j) {
            InterfaceEntryImage& now = out.interfaces[j];
            if (now.address == e.address) now.flags = (now.flags & ~changed) | (e.flags & changed);
        }
    }
    return out;
}

bool servesAnInterface(const ServerStatus& status) {
    const auto count = static_cast<std::size_t>(std::clamp<std::int32_t>(status.interfaceCount, 0, kMaxInterfaces));
    for (std::size_t i = 0; i < count; ++i)
        if ((status.interfaces[i].flags & (kIfPresent | kIfServed)) == (kIfPresent | kIfServed)) return true;
    return false;
}

InterfaceState interfaceStateOf(std::int32_t flags, bool enableRa) {
    if ((flags & kIfServed) == 0) return InterfaceState::Off;
    return enableRa && (flags & kIfTrusted) != 0 ? InterfaceState::Trusted : InterfaceState::Selected;
}

InterfaceState nextInterfaceState(InterfaceState state, bool enableRa, bool lastSelected) {
    switch (state) {
        case InterfaceState::Off:
            return InterfaceState::Selected;
        case InterfaceState::Selected:
            if (enableRa) return InterfaceState::Trusted;
            return lastSelected ? InterfaceState::Selected : InterfaceState::Off;
        case InterfaceState::Trusted:
            return lastSelected ? InterfaceState::Selected : InterfaceState::Off;
    }
    return state;
}

// The trusted bit follows the row only while relay agent information is accepted; otherwise the
// server's own trusted bit stays as it was.
std::int32_t interfaceFlagsFor(std::int32_t flags, InterfaceState state, bool enableRa) {
    flags = withBit(flags, kIfServed, state != InterfaceState::Off);
    if (enableRa) flags = withBit(flags, kIfTrusted, state == InterfaceState::Trusted);
    return flags;
}

std::optional<std::string> directoryValue(const QString& field, const std::string& programDirectory) {
    std::string text = field.trimmed().toStdString();
    auto same = [](std::string a, std::string b) {
        if (!a.empty() && a.back() != '/') a += '/';
        if (!b.empty() && b.back() != '/') b += '/';
        return a == b;
    };
    if (text.empty() || same(text, programDirectory)) return std::nullopt;
    return text;
}

}  // namespace tolmark::manager
