#pragma once
// Configuration profiles: named sets of DHCP parameters (an address pool, a lease time, servers,
// boot parameters, option lines) with an optional selector saying which clients a profile is
// for. Loaded in "Profile%u" order from the configuration store.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/ipv4.h"
#include "common/client_record.h"
#include "common/log_sink.h"
#include "common/text_forms.h"
#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/settings.h"

namespace tolmark {

enum class SelectorKind : std::uint8_t {
    None = 0,
    MacClass = 1,
    UserClass = 2,
    VendorClass = 3,
    Relay = 4,
    Interface = 5,
    ClientIdClass = 6,
};

enum class RelaySelectorType : std::uint8_t { None = 0, CircuitId = 1, RemoteId = 2 };

// Option entry kinds in the 512-byte option area: kind, code, length, value; kind 0 ends.
inline constexpr std::uint8_t kOptionText = 1;
inline constexpr std::uint8_t kOptionBytes = 2;
inline constexpr std::uint8_t kOptionAddresses = 3;
inline constexpr std::size_t kOptionAreaSize = 512;

// Field widths of the record image; a text keeps at most width - 1 characters. The name's
// width, kProfileNameField, is the client record's.
inline constexpr std::size_t kShortTextField = 64;  // ScopeID, BootName, DNSBase, VendorClassId
inline constexpr std::size_t kBootFileField = 128;  // BootFile, BootFile2
inline constexpr std::size_t kLongTextField = 256;  // RootPath, DNSName

struct Profile {
    std::string name;  // at most 23 characters
    std::int32_t lease = 36000;
    std::int32_t nodeType = 0;
    std::int32_t offset = 0;
    Ipv4 selectorAddress = 0;  // "RelayIP" (kind Relay) or "InterfaceIP" (kind Interface)
    Ipv4 nextIp = 0;
    Ipv4 baseIp = 0;
    std::int32_t range = 0;  // pool size
    Ipv4 subnetMask = 0;
    std::array<Ipv4, 4> dns{};
    std::array<Ipv4, 3> gateway{};
    std::array<Ipv4, 2> wins{};
    std::array<Ipv4, 2> time{};
    std::array<Ipv4, 4> ntp{};
    std::int32_t bootSize = 0;
    std::int32_t bootSize2 = 0;
    std::int32_t useOpt = 0;
    std::int32_t alternate = 0;
    std::int32_t substitution = 0;
    std::string scopeId;    // at most 63
    std::string bootName;   // at most 63
    std::string bootFile;   // at most 127
    std::string bootFile2;  // at most 127
    std::string rootPath;   // at most 255
    std::array<std::uint8_t, kOptionAreaSize> options{};
    std::string dnsName;  // at most 255
    std::uint8_t dnsSend = 0;
    std::uint8_t dnsAccept = 0;
    std::uint8_t dnsUpdate = 1;
    std::uint8_t dnsBaseOnly = 0;
    std::string dnsBase;  // at most 63
    SelectorKind selectorKind = SelectorKind::None;
    std::uint8_t selectorForm = 0;  // 2 text, 3 hexadecimal
    RelaySelectorType relaySelectorType = RelaySelectorType::None;
    CountedValue selectorValue;  // length and up to 63 bytes
    std::string vendorClassId;   // at most 63
    OptionCodeList sendOptions;  // empty unless "SendOptions" is set
    std::uint64_t link = 0;      // carried unchanged in the record image

    bool hasPool() const { return baseIp != 0; }
    // A relay profile that names a CircuitID or RemoteID value besides its relay address.
    bool hasRelayValue() const { return relaySelectorType != RelaySelectorType::None && selectorValue.length != 0; }
    // True when the address lies in the pool: base <= address < base + range (host order).
    bool poolContains(Ipv4 address) const;
    bool operator==(const Profile&) const = default;
};

class ProfileList {
public:
    const std::vector<Profile>& profiles() const { return profiles_; }
    std::size_t size() const { return profiles_.size(); }
    bool empty() const { return profiles_.empty(); }
    const Profile* first() const { return profiles_.empty() ? nullptr : &profiles_.front(); }
    // The profile of that name, or nullptr.
    const Profile* find(std::string_view name) const;
    // The profile of that name, or the first profile when no profile has it.
    const Profile* findOrFirst(std::string_view name) const;
    std::int32_t poolTotal() const { return poolTotal_; }
    // Moves on with every load or assignment: a pointer into the list taken under an older
    // generation may be gone.
    std::uint64_t generation() const { return generation_; }

    // The relay profile of requests from this relay agent: the first profile of that relay
    // address whose CircuitID/RemoteID value the request matches (matches(profile), asked of
    // profiles with a value only), else the last of that address without a value, else the
    // last profile for any relay (255.255.255.255), whatever its value.
    template <class Matches>
    const Profile* relayProfile(Ipv4 relay, Matches&& matches) const {
        const Profile* withoutValue = nullptr;
        const Profile* anyRelay = nullptr;
        for (const Profile& p : profiles_) {
            if (p.selectorKind != SelectorKind::Relay) continue;
            if (p.selectorAddress == relay) {
                if (!p.hasRelayValue())
                    withoutValue = &p;
                else if (matches(p))
                    return &p;
            }
            if (p.selectorAddress == kBroadcastAll) anyRelay = &p;
        }
        return withoutValue != nullptr ? withoutValue : anyRelay;
    }

    // Loads every "Profile%u" of the general section (creating interface profiles first when
    // the configuration has none). Verbose: one "loading profile" line each. Returns the count.
    std::size_t load(ConfigStore& store, const OptionCodeList& defaultOptions, const InterfaceTable& interfaces,
                     LogSink& log, bool verbose);
    // Replaces the list (tests and the control pipe's profile edits).
    void assign(std::vector<Profile> profiles);

private:
    std::vector<Profile> profiles_;
    std::int32_t poolTotal_ = 0;
    std::uint64_t generation_ = 1;
};

// A configuration without "Profile0" and without a section "Standard": load() writes a profile
// for each served interface first.
bool profilesToBeCreated(const ConfigStore& store);
// The names "Profile0", "Profile1", ... of the general section give, up to the first missing one.
std::vector<std::string> profileNames(const ConfigStore& store);
// Fills one profile from its section (reads only; see convertOldProfileKeys). Option lines
// that do not parse are left out, and reported to the store's findings.
void readProfile(const ConfigStore& store, std::string_view name, const OptionCodeList& defaultOptions,
                 Profile& profile);
// Rewrites the old address keys ("SMTPIP" and its siblings) and "Extensions" of a profile as
// "Opt%u" option lines. load() runs it before readProfile, which takes the store read-only.
void convertOldProfileKeys(ConfigStore& store, std::string_view name);
// Writes default profiles "If-%u_%u.%u" for the served interfaces of a fresh configuration.
void createInterfaceProfiles(ConfigStore& store, const InterfaceTable& interfaces);

// Option line parser errors.
inline constexpr int kOptionLineNoNumbers = -1;
inline constexpr int kOptionLineRefusedCode = -2;
inline constexpr int kOptionLineTooLong = -3;
inline constexpr int kOptionLineBadValue = -4;
inline constexpr int kOptionLineNoRoom = -5;

struct ParsedOptionLine {
    int result = 0;             // characters used (> 0), 0 for an empty line, or a negative error
    std::size_t entrySize = 0;  // bytes of the entry written (kind, code, length, value)
};
// Parses "code length value" into entry (kind, code, length, value) when entry is not empty;
// with an empty entry it only checks. Refuses the codes the server sets itself and those of
// defaultOptions.
ParsedOptionLine parseOptionLine(std::string_view text, const OptionCodeList& defaultOptions,
                                 std::span<std::uint8_t> entry);
bool isRefusedOptionCode(unsigned code, const OptionCodeList& defaultOptions);
// What a negative result of parseOptionLine means.
const char* optionLineErrorText(int result);

// Splits option lines written one after another (the old "Extensions" key) into single lines
// with their codes. rest is the text from the first piece that does not read as a line.
struct SplitOptionLines {
    std::vector<std::pair<unsigned, std::string>> lines;
    std::string rest;
};
SplitOptionLines splitOptionLines(std::string_view text);

// True when the entries of an option area end with a kind 0 byte inside the area and every
// entry has a known kind and lies wholly inside it.
bool isValidOptionArea(std::span<const std::uint8_t> area);

// The 1816-byte profile record image of GetProfile.
inline constexpr std::size_t kProfileRecordSize = 1816;
std::array<std::uint8_t, kProfileRecordSize> encodeProfileRecord(const Profile& profile);
std::optional<Profile> decodeProfileRecord(std::span<const std::uint8_t> bytes);

}  // namespace tolmark
