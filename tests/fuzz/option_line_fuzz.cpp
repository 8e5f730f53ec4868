// Fuzz target: profile option lines ("code length value"), as the profile loader stores them in
// the 512-byte option area and the old "Extensions" key is split into them. Byte 0 is the room
// the entry gets; the rest is the text.
//
// A stored entry must fit its room, be a valid option area entry, and read back the same from
// the line the manager would write for it; each piece the splitter cuts must parse on its own
// to exactly its own length and code.

#include <array>
#include <cstdio>
#include <string>

#include "config/profiles.h"
#include "config/settings.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

// The line of an entry in its own form: text after a quote, dotted addresses, or byte values in
// hexadecimal (never read as an address).
std::string lineOf(std::span<const std::uint8_t> entry) {
    const std::uint8_t kind = entry[0];
    const std::size_t length = entry[2];
    std::string line = std::to_string(entry[1]) + " " + std::to_string(length) + " ";
    const auto value = entry.subspan(3, length);
    if (kind == kOptionText) return line + "\"" + std::string(value.begin(), value.end());
    char item[24];
    for (std::size_t i = 0; i < length; i += kind == kOptionAddresses ? 4 : 1) {
        if (kind == kOptionAddresses)
            std::snprintf(item, sizeof item, " %u.%u.%u.%u", value[i], value[i + 1], value[i + 2], value[i + 3]);
        else
            std::snprintf(item, sizeof item, " 0x%x", value[i]);
        line += item;
    }
    return line;
}

void run(std::span<const std::uint8_t> input) {
    Steering steer(input);
    const std::size_t room = steer.byte() * 2u + 2u;
    const std::string_view text(reinterpret_cast<const char*>(steer.rest().data()), steer.rest().size());
    const OptionCodeList defaults = builtInDefaultOptions();

    std::array<std::uint8_t, kOptionAreaSize> area{};
    const std::span<std::uint8_t> entry(area.data(), std::min(room, area.size() - 1));
    const ParsedOptionLine parsed = parseOptionLine(text, defaults, entry);
    // Checking alone (no entry) answers as storing does, except that it needs no room.
    const int checked = parseOptionLine(text, defaults, {}).result;
    FUZZ_REQUIRE(parsed.result == kOptionLineNoRoom ? checked > 0 : checked == parsed.result);
    if (parsed.result > 0) {
        FUZZ_REQUIRE(static_cast<std::size_t>(parsed.result) <= text.size());
        FUZZ_REQUIRE(parsed.entrySize == 3u + area[2] && parsed.entrySize <= entry.size());
        FUZZ_REQUIRE(isValidOptionArea(area));
        FUZZ_REQUIRE(!isRefusedOptionCode(area[1], defaults));
        if (area[0] == kOptionAddresses) FUZZ_REQUIRE(area[2] % 4 == 0 && area[2] >= 4);
        std::array<std::uint8_t, kOptionAreaSize> again{};
        const std::string line = lineOf(area);
        const ParsedOptionLine reparsed = parseOptionLine(line, defaults, again);
        FUZZ_REQUIRE(reparsed.result == static_cast<int>(line.size()));
        FUZZ_REQUIRE(std::equal(area.begin(), area.begin() + static_cast<long>(parsed.entrySize), again.begin()));
    }

    const SplitOptionLines split = splitOptionLines(text);
    std::size_t covered = split.rest.size();
    for (const auto& [code, piece] : split.lines) {
        std::array<std::uint8_t, kOptionAreaSize> one{};
        const ParsedOptionLine alone = parseOptionLine(piece, {}, one);
        FUZZ_REQUIRE(alone.result == static_cast<int>(piece.size()) || alone.result == kOptionLineRefusedCode);
        FUZZ_REQUIRE(alone.result < 0 || one[1] == code);
        covered += piece.size();
    }
    FUZZ_REQUIRE(covered <= text.size());
}

}  // namespace

std::vector<Input> seeds() {
    return {
        bytesOf("\xff"
                "15 11 \"example.com"),
        bytesOf("\xff"
                "42 8 192.168.1.4 192.168.1.5"),
        bytesOf("\xff"
                "43 6 1 4 0x0a 0 0 A"),
        bytesOf("\x03"
                "120 3 1 2 3"),
        bytesOf("\xff"
                "200 5 \"abcdefgh 201 4 10.0.0.1 202 2 7 8"),
        bytesOf("\xff"
                "\t 150  4\t192.168.1.1"),
        bytesOf("\xff"
                "51 4 0 0 1 0"),
        bytesOf("\xff"
                "69 0 \""),
    };
}

std::vector<std::string> dictionary() {
    return {" ", "\t", "\"", "0x", "0X", "255", "256", "4 ", "192.168.1.1", "1.2.3", "999999999999", "15 ", "43 "};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}
