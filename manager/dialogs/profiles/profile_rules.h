#pragma once
// The rules of the profile editor that need no dialog: profile names, the DHCP option table, the
// option lines of the Other page, the texts of a profile's selection rule, and the pool. Pure
// functions, tested without a server.

#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "config/profiles.h"

namespace tolmark::manager {

// ---- Profile names: no blanks (they become "_"), at most maxChars bytes as UTF-8, not empty and
// not starting with "#" or with one of ":" ";" "<" "=" ">" "?".
inline constexpr int kAddNameChars = 22;
inline constexpr int kRenameChars = 23;
QString cleanProfileName(const QString& typed, int maxChars);
bool acceptableProfileName(const QString& name);

// ---- Selection rules, in the order of the "for:" list.
enum class RuleChoice {
    StaticEntries = 0,
    MacRange,
    UserClass,
    VendorClass,
    RelayAddress,
    InterfaceAddress,
    ClientIdRange
};
inline constexpr int kRuleCount = 7;
RuleChoice ruleOf(SelectorKind kind);
// The keys of every rule; choosing a rule deletes them all before it writes its own.
inline constexpr const char* kRuleKeys[] = {"MacClass", "CidClass",  "UserClass", "VendorClass",
                                            "RelayIP",  "CircuitID", "RemoteID",  "InterfaceIP"};

// The rule's value as the profile list and the value fields show it.
QString macRangeText(const CountedValue& value, bool dash);  // bytes as "%2.2x" joined by ":" or "-"
QString hexText(const CountedValue& value);                  // bytes as "%2.2x", no separators
// A class identifier in its stored form: text after a double quote, or hexadecimal.
QString storedValueText(const CountedValue& value, std::uint8_t form);
QString ruleValueText(const Profile& profile, bool dash);

// ---- The DHCP option table of the Other page.
struct OptionInfo {
    const char* name;  // nullptr for codes without a name
    int fixedLength;   // -1: none
    bool addresses;    // default value kind
};
OptionInfo optionInfo(unsigned code);     // codes 128 and up have none
bool isImplementedOption(unsigned code);  // has its own fields in the editor
bool isUnavailableOption(unsigned code);  // belongs to the message exchange itself

enum class ValueKind { Binary = 0, Addresses = 1, String = 2 };
// The "Length:" field: characters after an optional leading quote (at most 255), blank-separated
// values (at most 255), or 4 per dotted address.
int optionValueLength(ValueKind kind, const QString& value);

// The most bytes of a value that a WriteSetting request carries: its length byte counts the text
// and its terminating zero.
inline constexpr int kSettingValueMax = 254;

struct OptionAdd {
    const char* error = nullptr;  // "INVALID_OPTLEN", or "FORMAT" for a line the server would not read
    std::optional<std::string> line;
};
OptionAdd buildOptionLine(unsigned code, ValueKind kind, const QString& value);
// True for a subnet mask whose ones all stand left of its zeros, and for none (0).
bool isSubnetMask(Ipv4 mask);
// True when the server keeps every line in the profile: in code order, each entry in the room
// the ones before it left in the option area.
bool optionLinesFit(const std::vector<std::string>& lines);
// The line replaces one for the same code and goes to the end.
void putOptionLine(std::vector<std::string>& lines, unsigned code, const std::string& line);
// Code and value of a line, and the kind its value reads as.
struct OptionLineParts {
    unsigned code = 0;
    ValueKind kind = ValueKind::Binary;
    QString value;  // without the string's quote
};
std::optional<OptionLineParts> splitOptionLine(const std::string& line);
// The option entries of a profile record as lines.
std::vector<std::string> optionLinesOf(const Profile& profile);

// ---- The pool of the Basic page: first and last address as typed (0 for an empty field).
struct Pool {
    Ipv4 base = 0;
    std::int64_t range = 0;  // 0: no pool
};
Pool poolFrom(Ipv4 from, Ipv4 until);
// The "Until:" field's address of a stored pool, 0 without one.
Ipv4 poolLast(const Profile& profile);

}  // namespace tolmark::manager
