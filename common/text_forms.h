#pragma once
// Text forms of hardware addresses, client identities, counted values, byte lists and MAC
// ranges, shared by the server, the console tool and the manager. Parsers never fail loudly:
// an invalid counted value has length 0, a text that is not a hardware address gives nothing.
// Formatters return their text in a buffer owned by the returned value (no allocation).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/ipv4.h"
#include "common/settings_blocks.h"

namespace tolmark {

using HardwareAddress = std::array<std::uint8_t, 6>;

// 0..15 for a hexadecimal digit of either case, -1 for any other character.
int hexDigitValue(char c);

// "%2.2x:%2.2x:%2.2x:%2.2x:%2.2x:%2.2x" (separator ':' or '-').
struct HardwareAddressText {
    char text[18];
    const char* c_str() const { return text; }
};
HardwareAddressText formatHardwareAddress(const std::uint8_t* six, char separator = ':');

// "%x:%x:%x:%x:%x:%x" or, failing that, "%x-%x-%x-%x-%x-%x": exactly six numbers, the lowest
// byte of each taken; text after the sixth number is ignored.
std::optional<HardwareAddress> parseHardwareAddress(std::string_view text);

// A length byte and up to capacity - 1 bytes.
struct CountedValue {
    std::uint8_t length = 0;
    std::array<std::uint8_t, 64> bytes{};
    std::span<const std::uint8_t> value() const { return {bytes.data(), length}; }
    bool operator==(const CountedValue&) const = default;
};
inline constexpr int kValueFormText = 2;
inline constexpr int kValueFormHex = 3;
// capacity includes the length byte (65 for identities, 64 for profile selectors).
CountedValue parseCountedValue(std::string_view text, std::size_t capacity, int* formFlag = nullptr);
// Hexadecimal numbers ended by '-', ':' or the end; other characters skipped; at most
// capacity - 1 bytes.
CountedValue parseByteList(std::string_view text, std::size_t capacity);

// Identity kinds of the client table.
inline constexpr std::uint8_t kIdentityHardware = 0;
inline constexpr std::uint8_t kIdentityCircuit = 1;
inline constexpr std::uint8_t kIdentityRemote = 2;
inline constexpr std::uint8_t kIdentityCircuitRemote = 3;
inline constexpr std::uint8_t kIdentityClientId = 4;
inline constexpr std::uint8_t kIdentityFree = 128;

// An identity holds at most this many bytes.
inline constexpr std::size_t kIdentityBytes = 64;

struct Identity {
    std::uint8_t kind = kIdentityHardware;
    std::uint8_t length = 0;
    std::array<std::uint8_t, kIdentityBytes> bytes{};
    bool operator==(const Identity&) const = default;
};
// Kind 0 as a hardware address; else a letter C, R or + for kinds 1, 2, 3 (none for 4) and the
// bytes as "%2.2x". dash: '-' instead of ':' for kind 0; textForm: a value of printable bytes is
// written as '"' and the text (console tool and manager only).
struct IdentityText {
    char text[136];
    const char* c_str() const { return text; }
};
IdentityText formatIdentity(const Identity& identity, bool dash = false, bool textForm = false);
// Bytes typed as one or two hexadecimal digits each and joined by any of the separators: their
// number, or nothing when a part is empty, longer, or no hexadecimal number.
std::optional<std::size_t> hexBytesJoined(std::string_view text, std::string_view separators);
// nullopt when the value is invalid (length 0).
std::optional<Identity> parseIdentity(std::string_view text);
// Why an identity typed by a user (the console tool's argument, the first field of an imported
// line) would not be taken as typed, although parseIdentity reads it; nullptr when it would. The
// parser follows the C library's scan: a MAC address number keeps only its lowest byte and text
// after the sixth number is dropped, so "00:11:22:33:44:5566" is another client's address. A
// quoted value must hold no control character (a tab ends the field), no blank followed by '#'
// (that starts the line's remark), and no value may pass 64 bytes (the rest would be dropped).
const char* typedIdentityProblem(std::string_view text);
// A hardware address identity of this many bytes is written with all its bytes and reads back
// as itself: 2 to 16, the lengths a request's header can give. Others are written as six bytes.
bool hardwareAddressReadsBack(std::size_t length);

// Groups separated by ','; numbers in hexadecimal separated by '-' or ':'.
MacRangeTable parseMacRange(std::string_view text);
// A MAC range text as typed: prefixes of bytes (one or two hexadecimal digits each, at most six)
// joined by ':' or '-', the prefixes joined by ','; all of it fits the table's 32 bytes. The
// parser takes any text and skips what it does not know, so a typo would give other ranges.
bool macRangeReadsAsTyped(std::string_view text);
// nullopt when byte 0 of the table is 0.
std::optional<std::string> formatMacRange(const MacRangeTable& table);

// Log form of a value: 130 bytes at most as hex pairs when any byte is below 32 or above 127,
// otherwise the text between double quotes.
struct ShownValue {
    char text[264];
    const char* c_str() const { return text; }
};
ShownValue showValue(std::span<const std::uint8_t> value);

}  // namespace tolmark
