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

GeneralSettings generalToSend(const GeneralSettings& edited, const GeneralSettings& current) {
    GeneralSettings g = current;
    // General page
    g.updateEthers = edited.updateEthers;
    g.log = edited.log;
    g.createLog = edited.createLog;
    // DHCP page
    g.bootp = edited.bootp;
    g.dhcp = edited.dhcp;
    g.enableRa = edited.enableRa;
    g.relayAgent = edited.relayAgent;
    g.enableId = edited.enableId;
    g.enableMac = edited.enableMac;
    g.name2Uc = edited.name2Uc;
    g.soleServer = edited.soleServer;
    g.unicast = edited.unicast;
    g.autoConfigure = edited.autoConfigure;
    g.changeIp = edited.changeIp;
    g.testIp = edited.testIp;
    // Interfaces page
    g.detect = edited.detect;
    g.regOnly = edited.regOnly;
    g.relaySrc = edited.relaySrc;
    g.selectionMode = edited.selectionMode;
    return g;
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
