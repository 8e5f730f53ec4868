// Fuzz target: one client entry line, as the server reads its ethers, dynamic and ignored files
// (a blank also ends the identity) and as users type entry texts (tabs only). Byte 0 steers:
// bit 0 the separator rule, bits 1-2 the file the line is written back to, bit 3 whether host
// names are written. The rest is the line.
//
// Whatever the line, a record it yields must be written back as a line that reads as the same
// record in everything the file keeps, and that line, read and written again, must not change:
// otherwise a lease would drift or be lost over a save and a load.

#include <string_view>

#include "common/entry_line.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

// Texts are written with their control characters as '?', so that they cannot split the line.
std::string asWritten(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    }
    return out;
}

// What a file of that format keeps of a record when it is written and read back.
bool sameKept(const ClientFields& a, const ClientFields& b, EntryFormat format, bool hostNames) {
    const bool time = format == EntryFormat::Dynamic ? a.expiry == b.expiry : a.lastAccess == b.lastAccess;
    // A host name that would not read back as itself (an address, say) is left out of the line.
    const bool host = !hostNames || format == EntryFormat::Dynamic || a.hostName == b.hostName || b.hostName.empty();
    const bool seenVia = format != EntryFormat::Dynamic || a.seenVia == b.seenVia;
    return a.identity == b.identity && a.address == b.address && time && host && seenVia &&
           profileNameEquals(asWritten(a.profile), b.profile);
}

void run(std::span<const std::uint8_t> input) {
    Steering steer(input);
    const std::uint8_t how = steer.byte();
    const bool blankEndsFirstField = (how & 1) != 0;
    const auto format = static_cast<EntryFormat>(((how >> 1) & 3) % 3);
    const int updateEthers = (how & 8) ? kUpdateEthersHostNames : 0;
    const std::string_view line(reinterpret_cast<const char*>(steer.rest().data()), steer.rest().size());

    const std::optional<ClientFields> read = parseEntryLine(line, blankEndsFirstField);
    if (!read) return;
    FUZZ_REQUIRE(read->identity.length <= read->identity.bytes.size());
    FUZZ_REQUIRE(read->hostName.size() <= kEntryHostNameChars && read->profile.size() <= kEntryProfileChars &&
                 read->remark.size() <= kEntryRemarkChars);
    const std::optional<EntryLineText> written = formatEntryLine(*read, format, updateEthers);
    if (!written) return;
    FUZZ_REQUIRE(written->length <= kMaxEntryLine);
    FUZZ_REQUIRE(written->view().find('\n') == std::string_view::npos);

    // The server reads its own files with blanks ending the identity.
    const std::optional<ClientFields> reread = parseEntryLine(written->view(), true);
    FUZZ_REQUIRE(reread.has_value());
    FUZZ_REQUIRE(sameKept(*read, *reread, format, updateEthers != 0));
    const std::optional<EntryLineText> again = formatEntryLine(*reread, format, updateEthers);
    FUZZ_REQUIRE(again && again->view() == written->view());
}

}  // namespace

std::vector<Input> seeds() {
    return {
        bytesOf(std::string("\x02", 1) + "00:11:22:33:44:55\t192.168.1.20\t:1700003600\t=10.0.0.1\tLab\t#note"),
        bytesOf(std::string("\x01", 1) + "00-11-22-33-44-56 printer\t192.168.1.21\t:1700000000\t#front desk"),
        bytesOf(std::string("\x09", 1) + "0x01aabbccddeeff\thost.lab\t192.168.1.22\tStandard"),
        bytesOf(std::string("\x04", 1) + "Cdeadbeef\t10.0.0.5\t:0\tRemote # circuit"),
        bytesOf(std::string("\x03", 1) + "R0102\t0.0.0.0\t=1.2.3.4"),
        bytesOf(std::string("\x00", 1) + "+0a0b0c\t10.0.0.6"),
        bytesOf(std::string("\x08", 1) + "\"literal id\t10.0.0.7\tProfileWithAVeryLongNameThatGetsCut"),
        bytesOf(std::string("\x02", 1) + "00:00:00:00:00:00\t192.168.1.30\t:4294967295\tStandard"),
    };
}

std::vector<std::string> dictionary() {
    return {"\t",          " ",
            ":",           "=",
            "#",           " #",
            "\t#",         "0x",
            "\"",          "00:11:22:33:44:55",
            "192.168.1.1", "255.255.255.255",
            "C",           "R",
            "+",           "\r",
            "Standard",    ":4294967295"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}
