#include "manager/dialogs/profiles/profile_rules.h"

#include "manager/dialogs/dialog_context.h"

#include <QStringList>

#include <cstdio>

namespace tolmark::manager {

namespace {

constexpr int kNone = -1;

// Codes 1 to 127: name, fixed length, default kind addresses.
constexpr OptionInfo kOptions[128] = {
    {nullptr, kNone, false},
    {"Subnet Mask", 4, true},
    {"Time Offset", 4, false},
    {"Router", kNone, true},
    {"Time Server", kNone, true},
    {"IEN Name Server", kNone, true},
    {"DNS Name Server", kNone, true},
    {"Log Server", kNone, true},
    {"Quotes Server", kNone, true},
    {"LPR Server", kNone, true},
    {"Impress Server", kNone, true},
    {"Resource Location Server", kNone, true},
    {"Host Name", kNone, false},
    {"Boot File Size", 2, false},
    {"Merit Dump File", kNone, false},
    {"Domain Name", kNone, false},
    {"Swap Server", kNone, true},
    {"Root Path", kNone, false},
    {"Extensions Path", kNone, false},
    {"IP Forwarding", 1, false},
    {"Non-Local Source Routing", 1, false},
    {"Policy Filter", kNone, false},
    {"Maximum Datagram Reass. Size", 2, false},
    {"Default IP Time-to-Live", 1, false},
    {"Path MTU Aging Timeout", 4, false},
    {"Path MTU Plateau Table", kNone, false},
    {"Interface MTU", 2, false},
    {"All Subnets are Local", 1, false},
    {"Broadcast Address", 4, true},
    {"Perform Mask Discovery", 1, false},
    {"Mask Supplier", 1, false},
    {"Perform Router Discovery", 1, false},
    {"Router Solicitation Address", 4, false},
    {"Static Route", kNone, false},
    {"Trailer Encapsulation", 1, false},
    {"ARP Cache Timeout", 4, false},
    {"Ethernet Encapsulation", 1, false},
    {"TCP Default TTL", 1, false},
    {"TCP Keepalive Interval", 4, false},
    {"TCP Keepalive Garbarge", 1, false},
    {"NIS Domain Name", kNone, false},
    {"NIS Server", kNone, true},
    {"NTP Server", kNone, true},
    {"Vendor Specific", kNone, false},
    {"NetBios TCP/IP Name Server", kNone, true},
    {"NetBios TCP/IP Datagram Dist. Server", kNone, true},
    {"NetBios TCP/IP Node Type", 1, false},
    {"NetBios TCP/IP Scope", kNone, false},
    {"X Window System Font Server", kNone, false},
    {"X Window System Display Manager", kNone, false},
    {"Requested IP Address", 4, true},
    {"IP Address Lease Time", 4, false},
    {"Option Overload", 1, false},
    {"DHCP Message Type", 1, false},
    {"Server Identifier", 4, false},
    {"Parameter Request List", kNone, false},
    {"DHCP Error Message", kNone, false},
    {"Maximum DHCP Message Size", 2, false},
    {"Renewal Time", 4, false},
    {"Rebindung Time", 4, false},
    {"Vendor Class Identifier", kNone, false},
    {"Client Identifier", kNone, false},
    {"Netware/IP Domain", kNone, false},
    {"Netware/IP Option", kNone, false},
    {"NIS+ Client Domain Name", kNone, false},
    {"NIS+ Server Addresses", kNone, false},
    {"TFTP Server Name", kNone, false},
    {"Boot File Name", kNone, false},
    {"Mobile IP Home Agent Addresses", kNone, true},
    {"SMTP Server Addresses", kNone, true},
    {"POP3 Server Addresses", kNone, true},
    {"NNTP Server Addresses", kNone, true},
    {"WWW Server Addresses", kNone, true},
    {"Finger Server Addresses", kNone, true},
    {"IRC Server Addresses", kNone, true},
    {"StreetTalk Server Addresses", kNone, true},
    {"StreetTalk Directory Assistance Server", kNone, true},
    {"User Class", kNone, false},
    {"SLP Directory Agent", kNone, false},
    {"SLP Service Scope", kNone, false},
    {"Rapid Commit", 0, false},
    {"Client FQDN", kNone, false},
    {"DHCP Relay Agent Information", kNone, false},
    {"Internet storage Name Service", kNone, false},
    {nullptr, kNone, false},
    {"Novell Directory Services Servers", kNone, true},
    {"Novell Directory Services Tree Name", kNone, false},
    {"Novell Directory Services Context", kNone, false},
    {"BCMCS Controller Domain Names", kNone, false},
    {"BCMCS Controller IP Address", kNone, true},
    {"Authentication", kNone, false},
    {"Client-last-transaction-time", kNone, false},
    {"Associated-ip", kNone, false},
    {"Client System Architecture", kNone, false},
    {"Client Network Device Interface", kNone, false},
    {"LDAP", kNone, false},
    {nullptr, kNone, false},
    {"UUID/GUID", kNone, false},
    {"User Authentication Protocol", kNone, false},
    // 99 to 111 have no name.
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
    {"Netinfo Address", kNone, false},
    {"Netinfo Tag", kNone, false},
    {"URL", kNone, false},
    {nullptr, kNone, false},
    {"Auto-Configure", kNone, false},
    {"Name Service Search", kNone, false},
    {"Subnet Selection", 4, false},
    {"Domain Search", kNone, false},
    {"SIP Servers", kNone, false},
    {"Classless Static Route", kNone, false},
    {"Cablelabs Client Configuration", kNone, false},
    {"GeoConf", 16, false},
    {"Vendor-Identifying Vendor Class", kNone, false},
    {"Vendor-Identifying Vendor Specific Information", kNone, false},
    {nullptr, kNone, false},
    {nullptr, kNone, false},
};
static_assert(sizeof kOptions / sizeof kOptions[0] == 128);

QString hexBytes(std::span<const std::uint8_t> bytes, const char* separator) {
    QString out;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) out += QLatin1String(separator);
        char pair[3];
        std::snprintf(pair, sizeof pair, "%2.2x", bytes[i]);
        out += QLatin1String(pair);
    }
    return out;
}

QStringList valueItems(const QString& value) { return value.split(u' ', Qt::SkipEmptyParts); }

bool isDottedAddress(const QString& item) {
    const std::string s = item.toStdString();
    const ParsedIpv4 parsed = parseIpv4(s);
    return parsed.ok && parsed.end == s.size();
}

}  // namespace

QString cleanProfileName(const QString& typed, int maxChars) {
    QString name = withinUtf8(typed, maxChars);
    name.replace(u' ', u'_');
    return name;
}

bool acceptableProfileName(const QString& name) {
    if (name.isEmpty()) return false;
    const QChar first = name.front();
    // The name is a section of the configuration file, whose header a "]" would end.
    return first != u'#' && !(first >= u':' && first <= u'?') && !name.contains(u']');
}

RuleChoice ruleOf(SelectorKind kind) {
    switch (kind) {
        case SelectorKind::MacClass:
            return RuleChoice::MacRange;
        case SelectorKind::UserClass:
            return RuleChoice::UserClass;
        case SelectorKind::VendorClass:
            return RuleChoice::VendorClass;
        case SelectorKind::Relay:
            return RuleChoice::RelayAddress;
        case SelectorKind::Interface:
            return RuleChoice::InterfaceAddress;
        case SelectorKind::ClientIdClass:
            return RuleChoice::ClientIdRange;
        case SelectorKind::None:
            break;
    }
    return RuleChoice::StaticEntries;
}

QString macRangeText(const CountedValue& value, bool dash) { return hexBytes(value.value(), dash ? "-" : ":"); }
QString hexText(const CountedValue& value) { return hexBytes(value.value(), ""); }

QString storedValueText(const CountedValue& value, std::uint8_t form) {
    if (form != kValueFormText) return hexText(value);
    const auto bytes = value.value();
    return QStringLiteral("\"") +
           QString::fromLatin1(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

QString ruleValueText(const Profile& profile, bool dash) {
    switch (ruleOf(profile.selectorKind)) {
        case RuleChoice::MacRange:
            return macRangeText(profile.selectorValue, dash);
        case RuleChoice::ClientIdRange:
            return hexText(profile.selectorValue);
        case RuleChoice::UserClass:
        case RuleChoice::VendorClass:
            return storedValueText(profile.selectorValue, profile.selectorForm);
        case RuleChoice::RelayAddress: {
            QString text = QString::fromLatin1(formatIpv4(profile.selectorAddress).c_str());
            if (profile.relaySelectorType != RelaySelectorType::None && profile.selectorValue.length > 0)
                text += u'/' + storedValueText(profile.selectorValue, profile.selectorForm);
            return text;
        }
        case RuleChoice::InterfaceAddress:
            return QString::fromLatin1(formatIpv4(profile.selectorAddress).c_str());
        case RuleChoice::StaticEntries:
            break;
    }
    return {};
}

OptionInfo optionInfo(unsigned code) { return code < 128 ? kOptions[code] : OptionInfo{nullptr, kNone, false}; }

bool isImplementedOption(unsigned code) {
    for (unsigned c : {1u, 2u, 3u, 4u, 6u, 12u, 13u, 15u, 17u, 42u, 44u, 46u, 47u, 51u, 66u, 67u})
        if (c == code) return true;
    return false;
}

bool isUnavailableOption(unsigned code) {
    for (unsigned c : {0u, 50u, 52u, 53u, 54u, 55u, 57u, 61u, 77u, 82u, 255u})
        if (c == code) return true;
    return false;
}

int optionValueLength(ValueKind kind, const QString& value) {
    switch (kind) {
        case ValueKind::String: {
            const qsizetype n = value.startsWith(u'"') ? value.size() - 1 : value.size();
            return static_cast<int>(std::min<qsizetype>(n, 255));
        }
        case ValueKind::Binary:
            return static_cast<int>(std::min<qsizetype>(valueItems(value).size(), 255));
        case ValueKind::Addresses:
            return static_cast<int>(4 * valueItems(value).size());
    }
    return 0;
}

OptionAdd buildOptionLine(unsigned code, ValueKind kind, const QString& value) {
    const int length = optionValueLength(kind, value);
    const OptionInfo info = optionInfo(code);
    if (info.fixedLength != kNone && info.fixedLength != length) return {"INVALID_OPTLEN", std::nullopt};
    QString text = value.left(255);
    if (kind != ValueKind::String) {
        while (text.endsWith(u' ')) text.chop(1);
    }
    if (kind == ValueKind::String && !text.startsWith(u'"')) text.prepend(u'"');
    char head[16];
    std::snprintf(head, sizeof head, "%u %d ", code, length);
    std::string line = head + text.toLatin1().toStdString();
    if (line.size() > static_cast<std::size_t>(kSettingValueMax)) return {"INVALID_OPTLEN", std::nullopt};
    // The server reads it with this parser; what it would not store is not added, and the
    // administrator is told so rather than left with a button that did nothing.
    std::array<std::uint8_t, 260> entry{};
    const ParsedOptionLine parsed = parseOptionLine(line, OptionCodeList{}, entry);
    if (parsed.result <= 0 || static_cast<std::size_t>(parsed.result) != line.size()) return {"FORMAT", std::nullopt};
    return {nullptr, line};
}

bool isSubnetMask(Ipv4 mask) {
    const std::uint32_t zeros = ~ipv4ToHostOrder(mask);
    return (zeros & (zeros + 1)) == 0;
}

bool optionLinesFit(const std::vector<std::string>& lines) {
    std::vector<std::pair<unsigned, const std::string*>> byCode;
    for (const std::string& line : lines) {
        if (const auto parts = splitOptionLine(line)) byCode.emplace_back(parts->code, &line);
    }
    std::stable_sort(byCode.begin(), byCode.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // The area less the four zero bytes that end it.
    std::array<std::uint8_t, kOptionAreaSize - 4> area{};
    std::size_t used = 0;
    for (const auto& [code, line] : byCode) {
        const ParsedOptionLine parsed = parseOptionLine(*line, OptionCodeList{}, std::span(area).subspan(used));
        if (parsed.result <= 0 || parsed.entrySize == 0) return false;
        used += parsed.entrySize;
    }
    return true;
}

void putOptionLine(std::vector<std::string>& lines, unsigned code, const std::string& line) {
    const std::string prefix = std::to_string(code) + " ";
    std::erase_if(lines, [&prefix](const std::string& l) { return l.starts_with(prefix); });
    lines.push_back(line);
}

std::optional<OptionLineParts> splitOptionLine(const std::string& line) {
    unsigned code = 0, length = 0;
    int used = 0;
    if (std::sscanf(line.c_str(), "%u %u %n", &code, &length, &used) < 2) return std::nullopt;
    OptionLineParts parts;
    parts.code = code;
    const QString value = QString::fromLatin1(line.c_str() + used);
    if (value.startsWith(u'"')) {
        parts.kind = ValueKind::String;
        parts.value = value.mid(1);
    } else {
        const QStringList items = valueItems(value);
        parts.kind = !items.isEmpty() && isDottedAddress(items.front()) ? ValueKind::Addresses : ValueKind::Binary;
        parts.value = value;
    }
    return parts;
}

std::vector<std::string> optionLinesOf(const Profile& profile) {
    std::vector<std::string> lines;
    const auto& area = profile.options;
    std::size_t at = 0;
    while (at + 3 <= area.size() && area[at] != 0) {
        const std::uint8_t kind = area[at], code = area[at + 1], length = area[at + 2];
        if (at + 3 + length > area.size()) break;
        const std::uint8_t* value = &area[at + 3];
        std::string line = std::to_string(code) + " " + std::to_string(length) + " ";
        if (kind == kOptionText) {
            line += '"';
            line.append(reinterpret_cast<const char*>(value), length);
        } else if (kind == kOptionAddresses) {
            for (std::size_t i = 0; i + 4 <= length; i += 4) {
                if (i > 0) line += ' ';
                line += formatIpv4(makeIpv4(value[i], value[i + 1], value[i + 2], value[i + 3])).c_str();
            }
        } else {
            for (std::size_t i = 0; i < length; ++i) {
                if (i > 0) line += ' ';
                line += std::to_string(value[i]);
            }
        }
        lines.push_back(std::move(line));
        at += 3 + length;
    }
    return lines;
}

Pool poolFrom(Ipv4 from, Ipv4 until) {
    const Ipv4 first = from != 0 ? from : until;
    if (first == 0) return {};
    const std::uint32_t low = ipv4ToHostOrder(first);
    const std::uint32_t high = std::max(ipv4ToHostOrder(until), low);
    return {first, std::int64_t{high} - low + 1};
}

Ipv4 poolLast(const Profile& profile) {
    if (profile.baseIp == 0) return 0;
    const std::int64_t range = std::max<std::int64_t>(profile.range, 1);
    return ipv4FromHostOrder(static_cast<std::uint32_t>(ipv4ToHostOrder(profile.baseIp) + range - 1));
}

}  // namespace tolmark::manager
