#pragma once
// The client entry line: one client per line of the ethers, dynamic and ignored files, and the
// text form the console tool and the manager exchange with the server. Fields are separated by
// tabs: identity, [host name,] address, then ":time", "=seen-via", a profile name, in the
// dynamic file "@host name" after the profile, and a remark after a '#' that follows a blank.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "common/client_record.h"

namespace tolmark {

// Lines are read into 1024-byte buffers; anything beyond is not part of the line.
inline constexpr std::size_t kMaxEntryLine = 1023;
inline constexpr std::size_t kEntryProfileChars = kProfileNameChars;
inline constexpr std::size_t kEntryHostNameChars = kHostNameChars;
inline constexpr std::size_t kEntryRemarkChars = kRemarkChars;
// A dynamic record's remark names the profile that gave its options.
inline constexpr std::size_t kDynamicRemarkChars = kProfileNameChars;
inline constexpr const char* kDefaultProfileName = "Standard";

// The three files differ in what the time means and which fields they write.
enum class EntryFormat : std::uint8_t { Static = 0, Dynamic = 1, Ignored = 2 };

// Some editors begin a text file with the UTF-8 byte order mark: a file of entry lines, read by
// the server or imported, skips it, as it is no part of the first entry.
inline constexpr std::string_view kUtf8ByteOrderMark = "\xEF\xBB\xBF";

// "UpdateEthers" bit: host names are written into the ethers and ignored files.
inline constexpr int kUpdateEthersHostNames = 2;

struct EntryParts {
    std::string_view data;    // keeps the blank that preceded the '#'
    std::string_view remark;  // empty when there is none
};
// Searching from the second character, the first '#' preceded by a blank or a tab starts the
// remark.
EntryParts splitRemark(std::string_view line);

// Parses the data part of a line (no remark) into identity, host name, address, time (as both
// last access and expiry), seen-via address and profile ("Standard" when absent). With
// blankEndsFirstField, a space also ends the identity (the server's own files); entry texts
// typed by users take tabs only. Nothing when the identity does not parse.
std::optional<ClientFields> parseEntryData(std::string_view data, bool blankEndsFirstField);

// True when the data's second field is no address, so that parseEntryData took it for a host
// name and the next field for the address (an ethers line; in the dynamic file, a slip: its
// host names follow the profile).
bool hostNameBeforeAddress(std::string_view data);

// splitRemark + parseEntryData; the remark is kept up to 31 characters.
std::optional<ClientFields> parseEntryLine(std::string_view line, bool blankEndsFirstField);

// True when a profile name reads back as itself from the field of an entry line that holds it.
// The line has no quoting: a blank before '#' starts the remark, a leading ':' or '=' makes a
// time or an address of the field, a control character is written as '?', blanks at its end are
// dropped. The entries of a profile whose name fails this come back from a client file, or from
// an export, in another profile. An empty name is no name and fails.
bool entryLineHoldsProfile(std::string_view name);

// Why an entry line typed by a user (an imported line: fields separated by tabs) would not be
// taken as typed, although parseEntryLine reads it; nothing when it would. The parser takes a
// second field that is no address for a host name and the next field for the address, so a
// mistyped address ("10.0.0.300") or a forgotten one would give an entry without an address, its
// profile read as the address; an address with text after it loses that text (a profile separated
// by a blank); a profile name is cut to the characters a record holds and may then name another
// profile. The identity is checked as typedIdentityProblem checks it. The text says which field.
std::optional<std::string> typedEntryProblem(std::string_view line);

// The line as the server writes it, without the line break. Kind 0 is written as six bytes
// joined by ':' (all zero for reservations, which carry no identity bytes); a deleted dynamic
// record (kind 128) as 00:00:00:00:00:00 so that it reloads as a free record. Host names reach
// the ethers and ignored files only with updateEthers bit 2, the dynamic file always (after the
// profile, which is then written also when it is the default), and only when they would read
// back as the same host name; control characters in texts become '?'. Nothing when the identity has
// no text form (kinds 1 to 4 without bytes, unknown kinds), because such a line would end
// loading of the lines after it.
struct EntryLineText {
    char text[kMaxEntryLine + 1];
    std::size_t length;
    std::string_view view() const { return {text, length}; }
};
std::optional<EntryLineText> formatEntryLine(const ClientFields& record, EntryFormat format, int updateEthers);

// A text byte as an entry line holds it: control characters, which would split the line or its
// fields when read back, become '?'.
inline char entryLineChar(char c) {
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f ? '?' : c;
}

}  // namespace tolmark
