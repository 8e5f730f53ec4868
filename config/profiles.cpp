#include "config/profiles.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>

#include "config/ini_file.h"

namespace tolmark {

namespace {

constexpr unsigned kMaxProfileIndex = 99999;
constexpr std::size_t kSelectorTextCapacity = 1280;
constexpr std::size_t kSelectorValueCapacity = 64;
constexpr std::size_t kAddressTextCapacity = 16;
constexpr std::size_t kOptionLineCapacity = 1024;
constexpr std::size_t kCodeListCapacity = 256;
// Room for entries: the area less the four 0 bytes that end it.
constexpr std::size_t kOptionEntryRoom = kOptionAreaSize - 4;
constexpr const char* kStandardProfile = "Standard";

// A value that no stored key can have (values are single lines), so a missing key can be told
// from an empty one.
constexpr std::string_view kMissing = "\n";

std::optional<std::string> readIfPresent(const ConfigStore& store, std::string_view section, std::string_view key,
                                         std::size_t capacity) {
    std::string text = store.readText(section, key, kMissing, capacity);
    if (text == kMissing) return std::nullopt;
    return text;
}

Ipv4 readAddress(const ConfigStore& store, std::string_view section, std::string_view key) {
    // The address is read from the first 15 characters; the check shows the whole value.
    const std::string text = store.readText(section, key, "", kSelectorTextCapacity);
    const ParsedIpv4 parsed = parseIpv4(std::string_view(text).substr(0, kAddressTextCapacity - 1));
    if (store.findings() != nullptr) {
        if (!parsed.ok && text.find_first_not_of(" \t") != std::string::npos)
            store.report(FindingLevel::Warning, section, key, "\"" + text + "\" is not an IPv4 address",
                         "the start takes it as not set (0.0.0.0)");
        else if (parsed.ok && text.find_first_not_of(" \t", parsed.end) != std::string::npos)
            store.report(FindingLevel::Warning, section, key, "\"" + text + "\" is an address followed by other text",
                         "the start takes it as " + std::string(formatIpv4(parsed.address).c_str()));
    }
    return parsed.address;
}

std::uint8_t readByte(const ConfigStore& store, std::string_view section, std::string_view key,
                      std::int32_t defaultValue) {
    return static_cast<std::uint8_t>(store.readInt(section, key, defaultValue));
}

// "Opt%u", "Profile%u": the name followed by the number.
std::string indexedKey(const char* name, unsigned n) { return name + std::to_string(n); }

// Selector value of a class key: the counted value when it is valid.
bool readClassValue(const std::string& text, Profile& profile) {
    int form = 0;
    const CountedValue value = parseCountedValue(text, kSelectorValueCapacity, &form);
    if (value.length == 0) return false;
    profile.selectorValue = value;
    profile.selectorForm = static_cast<std::uint8_t>(form);
    return true;
}

void readRelaySelector(const ConfigStore& store, std::string_view section, Profile& profile) {
    std::string text = store.readText(section, "CircuitID", "", kSelectorTextCapacity);
    RelaySelectorType type = RelaySelectorType::CircuitId;
    if (text.empty()) {
        text = store.readText(section, "RemoteID", "", kSelectorTextCapacity);
        type = RelaySelectorType::RemoteId;
    }
    profile.relaySelectorType = readClassValue(text, profile) ? type : RelaySelectorType::None;
    if (profile.relaySelectorType == RelaySelectorType::None && !text.empty() && store.findings() != nullptr) {
        const char* key = type == RelaySelectorType::CircuitId ? "CircuitID" : "RemoteID";
        store.report(FindingLevel::Warning, section, key,
                     "\"" + text + "\" is neither hexadecimal nor a text after a double quote",
                     std::string("the start gives the profile no ") + key + ": it is for every request from its relay");
    }
}

// A class key that decides but reads as no value leaves a profile without selector, which the
// engine takes for clients of every class: the check says so.
void reportNoSelector(const ConfigStore& store, std::string_view section, const char* key, const std::string& text,
                      const char* problem) {
    if (store.findings() != nullptr)
        store.report(FindingLevel::Warning, section, key, "\"" + text + "\" " + problem,
                     "the start gives the profile no selector: it is for clients of any class");
}

// The first of the selector keys that is present decides, even when its value is unusable.
void readSelector(const ConfigStore& store, std::string_view section, Profile& profile) {
    if (auto text = readIfPresent(store, section, "MacClass", kSelectorTextCapacity)) {
        profile.selectorValue = parseByteList(*text, kSelectorValueCapacity);
        if (profile.selectorValue.length > 0)
            profile.selectorKind = SelectorKind::MacClass;
        else
            reportNoSelector(store, section, "MacClass", *text, "holds no hexadecimal byte");
        return;
    }
    constexpr std::pair<const char*, SelectorKind> kClassKeys[] = {{"CidClass", SelectorKind::ClientIdClass},
                                                                   {"UserClass", SelectorKind::UserClass},
                                                                   {"VendorClass", SelectorKind::VendorClass}};
    for (const auto& [key, kind] : kClassKeys) {
        if (auto text = readIfPresent(store, section, key, kSelectorTextCapacity)) {
            if (readClassValue(*text, profile))
                profile.selectorKind = kind;
            else
                reportNoSelector(store, section, key, *text, "is neither hexadecimal nor a text after a double quote");
            return;
        }
    }
    const std::string relayText = store.readText(section, "RelayIP", "", kAddressTextCapacity);
    if (const ParsedIpv4 relay = parseIpv4(relayText); relay.ok) {
        profile.selectorKind = SelectorKind::Relay;
        profile.selectorAddress = relay.address;
        readRelaySelector(store, section, profile);
        return;
    }
    if (store.findings() != nullptr && relayText.find_first_not_of(" \t") != std::string::npos)
        store.report(FindingLevel::Warning, section, "RelayIP", "\"" + relayText + "\" is not an IPv4 address",
                     "the start does not make it a relay profile");
    if (const Ipv4 address = readAddress(store, section, "InterfaceIP"); address != 0) {
        profile.selectorKind = SelectorKind::Interface;
        profile.selectorAddress = address;
    }
}

// "BaseIP" and "Range": either 0 leaves a pool of one address at BaseIP, or none. A negative
// range counts as 0, and a range running past 255.255.255.255 is cut there, so pool arithmetic
// never wraps.
void readPool(const ConfigStore& store, std::string_view section, Profile& profile) {
    profile.baseIp = readAddress(store, section, "BaseIP");
    const std::int32_t given = store.readInt(section, "Range", 0);
    if (given < 0 && store.findings() != nullptr) {
        // Without a sign, a count from 2147483648 up reads as a negative 32-bit number.
        const std::string text = store.readText(section, "Range", "", kSelectorTextCapacity);
        store.report(
            FindingLevel::Warning, section, "Range",
            text.find('-') != std::string::npos ? std::to_string(given) + " is negative"
                                                : "\"" + text + "\" is more than a pool may hold (2147483647)",
            profile.baseIp != 0 ? "the start makes a pool of the one address BaseIP" : "the start has no pool");
    }
    std::int64_t range = std::max(given, 0);
    if (profile.baseIp == 0 || range == 0) range = profile.baseIp != 0 ? 1 : 0;
    const std::int64_t room = (std::int64_t{1} << 32) - ipv4ToHostOrder(profile.baseIp);
    if (range > room && store.findings() != nullptr)
        store.report(FindingLevel::Warning, section, "Range",
                     std::to_string(range) + " addresses from " + formatIpv4(profile.baseIp).c_str() +
                         " run past 255.255.255.255",
                     "the start ends the pool there, with " + std::to_string(room) + " addresses");
    range = std::min(range, room);
    profile.range = static_cast<std::int32_t>(range);
}

template <std::size_t N>
void readAddresses(const ConfigStore& store, std::string_view section, const char* const (&keys)[N],
                   std::array<Ipv4, N>& out) {
    for (std::size_t i = 0; i < N; ++i) out[i] = readAddress(store, section, keys[i]);
}

void readServers(const ConfigStore& store, std::string_view section, Profile& profile) {
    profile.nextIp = readAddress(store, section, "NextIP");
    profile.subnetMask = readAddress(store, section, "SubnetMask");
    // A mask's ones all stand to the left of its zeros (255.255.254.0, not 255.0.255.0).
    const std::uint32_t mask = ipv4ToHostOrder(profile.subnetMask);
    if (store.findings() != nullptr && (~mask & (~mask + 1)) != 0)
        store.report(FindingLevel::Warning, section, "SubnetMask",
                     std::string(formatIpv4(profile.subnetMask).c_str()) + " is not a subnet mask",
                     "the start gives it to the clients as it stands");
    readAddresses(store, section, {"DNS1IP", "DNS2IP", "DNS3IP", "DNS4IP"}, profile.dns);
    readAddresses(store, section, {"GatewayIP", "Gateway2IP", "Gateway3IP"}, profile.gateway);
    readAddresses(store, section, {"WINS1IP", "WINS2IP"}, profile.wins);
    readAddresses(store, section, {"Time1IP", "Time2IP"}, profile.time);
    if (profile.time[0] == 0) profile.time[0] = readAddress(store, section, "TimeIP");
    readAddresses(store, section, {"NTP1IP", "NTP2IP", "NTP3IP", "NTP4IP"}, profile.ntp);
    if (profile.ntp[0] == 0) profile.ntp[0] = readAddress(store, section, "NTPIP");
}

void readBoot(const ConfigStore& store, std::string_view section, Profile& profile) {
    profile.bootSize = store.readInt(section, "BootSize", 0);
    profile.bootSize2 = store.readInt(section, "BootSize2", 0);
    profile.useOpt = store.readInt(section, "UseOpt", 0);
    profile.alternate = store.readInt(section, "Alternate", 0);
    profile.substitution = store.readInt(section, "Substitution", 0);
    profile.scopeId = store.readText(section, "ScopeID", "", kShortTextField);
    profile.bootName = store.readText(section, "BootName", "", kShortTextField);
    profile.bootFile = store.readText(section, "BootFile", "", kBootFileField);
    profile.bootFile2 = store.readText(section, "BootFile2", "", kBootFileField);
    profile.rootPath = store.readText(section, "RootPath", "", kLongTextField);
}

// A line that reads, but not as its writer meant: a value beyond the length it gives is left out,
// and a line under the key of another option is sent as the option it names.
void reportOptionLineLeftovers(const ConfigStore& store, std::string_view section, unsigned keyCode,
                               const std::string& line, std::size_t used, unsigned lineCode) {
    if (store.findings() == nullptr) return;
    const std::string key = indexedKey("Opt", keyCode);
    const std::string_view rest = std::string_view(line).substr(std::min(used, line.size()));
    if (rest.find_first_not_of(" \t") != std::string_view::npos)
        store.report(
            FindingLevel::Warning, section, key,
            "\"" + line + "\": the length given takes in only \"" + line.substr(0, used) + "\"",
            "the start leaves \"" + std::string(rest.substr(rest.find_first_not_of(" \t"))) + "\" out of the option");
    if (lineCode != keyCode)
        store.report(FindingLevel::Warning, section, key,
                     "\"" + line + "\" is a line of option " + std::to_string(lineCode),
                     "the start sends it as option " + std::to_string(lineCode));
}

// Keys that look like option keys but that no code reads ("Opt0", "Opt255", "Opt043").
void reportUnreadOptionKeys(const ConfigStore& store, std::string_view section) {
    if (store.findings() == nullptr) return;
    for (const SectionEntry& entry : store.openSection(section).value_or(std::vector<SectionEntry>{})) {
        const std::string_view digits = std::string_view(entry.key).substr(std::min<std::size_t>(3, entry.key.size()));
        if (!startsWithNoCase(entry.key, "Opt") || digits.empty() ||
            digits.find_first_not_of("0123456789") != std::string_view::npos)
            continue;
        const bool read = digits.size() <= 3 && digits[0] != '0' && std::stoul(std::string(digits)) <= 254;
        if (!read)
            store.report(FindingLevel::Warning, section, entry.key, "is not an option key (Opt1 to Opt254)",
                         "the start does not read it");
    }
}

// Entries in code order; a line that does not parse or would not leave room for the four 0
// bytes that end the area is left out.
void readOptionEntries(const ConfigStore& store, std::string_view section, const OptionCodeList& defaultOptions,
                       Profile& profile) {
    std::size_t used = 0;
    for (unsigned code = 1; code <= 254; ++code) {
        const std::string line = store.readText(section, indexedKey("Opt", code), "", kOptionLineCapacity);
        if (line.empty()) continue;
        const std::span<std::uint8_t> room(profile.options.data() + used, kOptionEntryRoom - used);
        ParsedOptionLine parsed = parseOptionLine(line, defaultOptions, room);
        // A full area is no room at all: the parser would only check the line.
        if (parsed.result > 0 && parsed.entrySize == 0) parsed.result = kOptionLineNoRoom;
        if (parsed.result > 0) {
            reportOptionLineLeftovers(store, section, code, line, static_cast<std::size_t>(parsed.result), room[1]);
            used += parsed.entrySize;
        }
        // A line that reads as nothing (an address line shorter than one address) is left out too.
        if (parsed.result <= 0 && store.findings() != nullptr)
            store.report(FindingLevel::Warning, section, indexedKey("Opt", code),
                         "\"" + line + "\": " + optionLineErrorText(parsed.result),
                         "the start leaves this option out of the profile");
    }
    std::fill(profile.options.begin() + static_cast<std::ptrdiff_t>(used), profile.options.end(), 0);
    reportUnreadOptionKeys(store, section);
}

void readDns(const ConfigStore& store, std::string_view section, Profile& profile) {
    profile.dnsName = store.readText(section, "DNSName", "", kLongTextField);
    profile.dnsSend = readByte(store, section, "DNSSend", 0);
    profile.dnsAccept = readByte(store, section, "DNSAccept", 0);
    profile.dnsUpdate = readByte(store, section, "DNSUpdate", 1);
    profile.dnsBaseOnly = readByte(store, section, "DNSBaseOnly", 0);
    profile.dnsBase = store.readText(section, "DNSBase", "", kShortTextField);
}

struct OldAddressKey {
    const char* key;
    unsigned code;
};
constexpr OldAddressKey kOldAddressKeys[] = {{"MobilIP", 68}, {"SMTPIP", 69}, {"POP3IP", 70},
                                             {"NewsIP", 71},  {"WWWIP", 72},  {"IRCIP", 74}};

// The pool from the address up to the subnet's broadcast, or, when the address is the last
// host, from the network's first host up to the address. Nothing when neither leaves room (a
// /31 or /32 would otherwise hand out the interface's own address or wrap).
struct InterfacePool {
    Ipv4 base = 0;
    std::int32_t range = 0;
};
InterfacePool interfacePool(const InterfaceEntry& entry) {
    const std::uint32_t address = ipv4ToHostOrder(entry.address);
    const std::uint32_t mask = ipv4ToHostOrder(entry.mask);
    std::uint64_t first = std::uint64_t{address} + 1;
    std::uint64_t end = address | ~mask;
    if (first >= end) {
        end = address;
        first = std::uint64_t{address & mask} + 1;
    }
    if (first >= end) return {};
    const std::uint64_t range = std::min<std::uint64_t>(end - first, std::numeric_limits<std::int32_t>::max());
    return {ipv4FromHostOrder(static_cast<std::uint32_t>(first)), static_cast<std::int32_t>(range)};
}

}  // namespace

bool Profile::poolContains(Ipv4 address) const {
    if (baseIp == 0 || range <= 0) return false;
    const std::uint32_t base = ipv4ToHostOrder(baseIp);
    const std::uint32_t value = ipv4ToHostOrder(address);
    return value >= base && std::uint64_t{value} - base < static_cast<std::uint64_t>(range);
}

const Profile* ProfileList::find(std::string_view name) const {
    for (const Profile& profile : profiles_) {
        if (profileNameEquals(profile.name, name)) return &profile;
    }
    return nullptr;
}

const Profile* ProfileList::findOrFirst(std::string_view name) const {
    const Profile* profile = find(name);
    return profile != nullptr ? profile : first();
}

void ProfileList::assign(std::vector<Profile> profiles) {
    profiles_ = std::move(profiles);
    ++generation_;
    std::int64_t total = 0;
    for (const Profile& profile : profiles_) total += profile.range;
    // The status record holds the total in 32 bits.
    poolTotal_ =
        static_cast<std::int32_t>(std::clamp<std::int64_t>(total, 0, std::numeric_limits<std::int32_t>::max()));
}

std::size_t ProfileList::load(ConfigStore& store, const OptionCodeList& defaultOptions,
                              const InterfaceTable& interfaces, LogSink& log, bool verbose) {
    if (profilesToBeCreated(store)) createInterfaceProfiles(store, interfaces);
    std::vector<Profile> loaded;
    for (const std::string& name : profileNames(store)) {
        convertOldProfileKeys(store, name);
        Profile& profile = loaded.emplace_back();
        readProfile(store, name, defaultOptions, profile);
        if (verbose) {
            const bool withAddress =
                profile.selectorKind == SelectorKind::Relay || profile.selectorKind == SelectorKind::Interface;
            log.line(2, false, "loading profile %s %u%s%s\n", profile.name.c_str(),
                     static_cast<unsigned>(profile.selectorKind), withAddress ? " " : "",
                     withAddress ? formatIpv4(profile.selectorAddress).c_str() : "");
        }
    }
    assign(std::move(loaded));
    return profiles_.size();
}

bool profilesToBeCreated(const ConfigStore& store) {
    // Only whether the key is empty counts here; its length is reported where the names are read.
    return store.readText(kGeneralSection, "Profile0", "", std::numeric_limits<std::size_t>::max()).empty() &&
           !store.openSection(kStandardProfile);
}

std::vector<std::string> profileNames(const ConfigStore& store) {
    std::vector<std::string> names;
    for (unsigned n = 0; n <= kMaxProfileIndex; ++n) {
        std::string name = store.readText(kGeneralSection, indexedKey("Profile", n), "", kProfileNameField);
        if (name.empty()) break;
        names.push_back(std::move(name));
    }
    return names;
}

const char* optionLineErrorText(int result) {
    switch (result) {
        case kOptionLineNoNumbers:
            return "not a code and a length followed by the value";
        case kOptionLineRefusedCode:
            return "an option the server sets itself or sends from DefaultOptions";
        case kOptionLineTooLong:
            return "the length is 256 or more";
        case kOptionLineBadValue:
            return "the value does not read as the length asks";
        case kOptionLineNoRoom:
            return "no room left in the profile's options";
        case 0:
            return "the length is below one address";
        default:
            return "does not read";
    }
}

void readProfile(const ConfigStore& store, std::string_view name, const OptionCodeList& defaultOptions,
                 Profile& profile) {
    profile = Profile{};
    profile.name = std::string(name.substr(0, kProfileNameField - 1));
    const std::string_view section = name;
    profile.lease = store.readInt(section, "Lease", 36000);
    // The lease time goes on the wire as 32 bits without a sign: -1 is 4294967295, infinite.
    // Written without a sign (4294967295), such a lease is what it says.
    if (profile.lease < 0 && store.findings() != nullptr &&
        store.readText(section, "Lease", "", kSelectorTextCapacity).find('-') != std::string::npos)
        store.report(FindingLevel::Warning, section, "Lease", std::to_string(profile.lease) + " is negative",
                     "the start gives leases of " + std::to_string(static_cast<std::uint32_t>(profile.lease)) +
                         " seconds (4294967295: infinite)");
    profile.nodeType = store.readInt(section, "NodeType", 0);
    profile.offset = store.readInt(section, "Offset", 0);
    readSelector(store, section, profile);
    readPool(store, section, profile);
    readServers(store, section, profile);
    readBoot(store, section, profile);
    readOptionEntries(store, section, defaultOptions, profile);
    readDns(store, section, profile);
    profile.vendorClassId = store.readText(section, "VendorClassId", "", kShortTextField);
    readOptionCodeList(store, section, "SendOptions", kCodeListCapacity, profile.sendOptions);
}

void convertOldProfileKeys(ConfigStore& store, std::string_view name) {
    // One rewrite: an old key goes in the same write that brings its line, so a failed write
    // neither loses it nor leaves some keys converted and others not.
    KeyChanges changes;
    for (const OldAddressKey& old : kOldAddressKeys) {
        const ParsedIpv4 address = parseIpv4(store.readText(name, old.key, "", kAddressTextCapacity));
        // 0.0.0.0 is no address; as a line it would send an option of zeros.
        if (!address.ok || address.address == 0) continue;
        char line[32];
        std::snprintf(line, sizeof line, "%u 4 %u %u %u %u", old.code, ipv4Octet(address.address, 0),
                      ipv4Octet(address.address, 1), ipv4Octet(address.address, 2), ipv4Octet(address.address, 3));
        changes.text(name, indexedKey("Opt", old.code), std::string_view(line));
        changes.text(name, old.key, std::nullopt);
    }
    // Read whole: what a cut left out would be lost when the key is rewritten or deleted below.
    const std::string extensions = store.readText(name, "Extensions", "", std::numeric_limits<std::size_t>::max());
    if (!extensions.empty()) {
        const SplitOptionLines split = splitOptionLines(extensions);
        for (const auto& [code, line] : split.lines)
            changes.text(name, indexedKey("Opt", code), std::string_view(line));
        // What does not read as a line stays where it was rather than being lost.
        changes.text(name, "Extensions",
                     split.rest.empty() ? std::nullopt : std::optional<std::string_view>(split.rest));
    }
    if (!changes.empty()) store.write(changes);
}

void createInterfaceProfiles(ConfigStore& store, const InterfaceTable& interfaces) {
    // All profiles and their "Profile%u" names in one rewrite: a start that finds some of them
    // would never create the rest.
    KeyChanges changes;
    unsigned k = 0;
    for (const InterfaceEntry& entry : interfaces.entries()) {
        if (!entry.served()) continue;
        ++k;
        char name[32];
        std::snprintf(name, sizeof name, "If-%u_%u.%u", k, ipv4Octet(entry.address, 2), ipv4Octet(entry.address, 3));
        const std::string section(name, std::min(std::strlen(name), kProfileNameField - 1));
        const std::string address = formatIpv4(entry.address).c_str();
        changes.text(section, "InterfaceIP", std::string_view(address));
        changes.text(section, "GatewayIP", std::string_view(address));
        changes.text(section, "DNS1IP", std::string_view(address));
        changes.text(section, "SubnetMask", std::string_view(formatIpv4(entry.mask).c_str()));
        if (const InterfacePool pool = interfacePool(entry); pool.base != 0) {
            changes.text(section, "BaseIP", std::string_view(formatIpv4(pool.base).c_str()));
            changes.integer(section, "Range", pool.range, 0);
        }
        changes.text(kGeneralSection, indexedKey("Profile", k - 1), std::string_view(section));
    }
    if (!changes.empty()) store.write(changes);
}

}  // namespace tolmark
