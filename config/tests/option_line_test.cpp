#include <gtest/gtest.h>

#include <vector>

#include "config/profiles.h"

namespace tolmark {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct Parsed {
    int result;
    Bytes entry;
};

// Parses into the front of a larger buffer so that a write past the given span shows.
Parsed parse(std::string_view text, std::size_t room = 300, const OptionCodeList& defaults = builtInDefaultOptions()) {
    Bytes buffer(room + 16, 0xEE);
    const ParsedOptionLine parsed = parseOptionLine(text, defaults, std::span(buffer.data(), room));
    for (std::size_t i = room; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0xEE) << "written past the entry";
    return {parsed.result, Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(parsed.entrySize))};
}

TEST(OptionLineTest, ByteForms) {
    EXPECT_EQ(parse("43 3 1 2 3").entry, (Bytes{kOptionBytes, 43, 3, 1, 2, 3}));
    EXPECT_EQ(parse("43 3 1 2 3").result, 10);
    // Hexadecimal, a single character as its code, and a decimal, with any blanks between.
    EXPECT_EQ(parse(" 43\t4  0x1F a 255 -").entry, (Bytes{kOptionBytes, 43, 4, 0x1F, 'a', 255, '-'}));
    EXPECT_EQ(parse("80 0").entry, (Bytes{kOptionBytes, 80, 0}));
}

TEST(OptionLineTest, AddressAndTextForms) {
    EXPECT_EQ(parse("150 8 10.0.0.1 10.0.0.2").entry, (Bytes{kOptionAddresses, 150, 8, 10, 0, 0, 1, 10, 0, 0, 2}));
    // The text keeps blanks and quotes; what follows the length is left for the next line.
    const Parsed text = parse("40 5 \"a \"b c tail");
    EXPECT_EQ(text.entry, (Bytes{kOptionText, 40, 5, 'a', ' ', '"', 'b', ' '}));
    EXPECT_EQ(text.result, 11);
}

TEST(OptionLineTest, Errors) {
    EXPECT_EQ(parse("").result, 0);
    EXPECT_EQ(parse("   ").result, 0);
    EXPECT_EQ(parse("150 2 10.0.0.1").result, 0);  // below one address
    EXPECT_EQ(parse("abc").result, kOptionLineNoNumbers);
    EXPECT_EQ(parse("43").result, kOptionLineNoNumbers);
    EXPECT_EQ(parse("43x 1 1").result, kOptionLineNoNumbers);
    EXPECT_EQ(parse("43 256 1").result, kOptionLineTooLong);
    EXPECT_EQ(parse("40 5 \"abc").result, kOptionLineBadValue);
    EXPECT_EQ(parse("43 3 1 2").result, kOptionLineBadValue);
    EXPECT_EQ(parse("43 1 256").result, kOptionLineBadValue);
    EXPECT_EQ(parse("43 1 ab").result, kOptionLineBadValue);
    EXPECT_EQ(parse("43 1 0x").result, kOptionLineBadValue);
    // Addresses: a partial address would disagree with the length sent to clients.
    EXPECT_EQ(parse("150 6 10.0.0.1 10.0.0.2").result, kOptionLineBadValue);
    EXPECT_EQ(parse("150 8 10.0.0.1").result, kOptionLineBadValue);
    EXPECT_EQ(parse("150 8 10.0.0.1 10.0.0.256").result, kOptionLineBadValue);
    EXPECT_EQ(parse("150 4 10.0.0.1x").result, kOptionLineBadValue);
    // Room: the entry needs 3 + length bytes; an empty span only checks.
    EXPECT_EQ(parse("43 3 1 2 3", 5).result, kOptionLineNoRoom);
    EXPECT_EQ(parse("43 3 1 2 3", 6).entry.size(), 6u);
    const ParsedOptionLine checked = parseOptionLine("43 3 1 2 3", builtInDefaultOptions(), {});
    EXPECT_EQ(checked.result, 10);
    EXPECT_EQ(checked.entrySize, 0u);
}

TEST(OptionLineTest, RefusedCodes) {
    for (const char* line :
         {"3 4 10.0.0.1", "0 1 1", "51 4 1 2 3 4", "53 1 5", "61 1 1", "82 1 1", "255 1 1", "66 1 a", "256 1 1"})
        EXPECT_EQ(parse(line).result, kOptionLineRefusedCode) << line;
    // The current default list counts, not the built-in one.
    OptionCodeList defaults;
    parseOptionCodeList("1,150", defaults);
    EXPECT_EQ(parse("150 4 10.0.0.1", 300, defaults).result, kOptionLineRefusedCode);
    EXPECT_EQ(parse("3 4 10.0.0.1", 300, defaults).entry, (Bytes{kOptionAddresses, 3, 4, 10, 0, 0, 1}));
    EXPECT_EQ(parse("66 1 a", 300, defaults).result, kOptionLineRefusedCode);
}

TEST(OptionLineTest, SplitsConcatenatedLinesAndKeepsWhatDoesNotRead) {
    SplitOptionLines split = splitOptionLines("43 1 7 150 4 10.0.0.9  12 3 \"abc 3 4 10.0.0.1");
    ASSERT_EQ(split.lines.size(), 4u);
    EXPECT_EQ(split.lines[0], (std::pair<unsigned, std::string>{43, "43 1 7"}));
    EXPECT_EQ(split.lines[1], (std::pair<unsigned, std::string>{150, "150 4 10.0.0.9"}));
    EXPECT_EQ(split.lines[2], (std::pair<unsigned, std::string>{12, "12 3 \"abc"}));
    EXPECT_EQ(split.lines[3].first, 3u);  // refused when read, but moved so the manager shows it
    EXPECT_EQ(split.rest, "");

    split = splitOptionLines("43 1 7 junk 1 2");
    ASSERT_EQ(split.lines.size(), 1u);
    EXPECT_EQ(split.rest, "junk 1 2");
}

TEST(OptionLineTest, OptionAreaMustEndInsideItself) {
    std::array<std::uint8_t, 16> area{kOptionBytes, 43, 2, 1, 2, kOptionText, 12, 1, 'x', 0};
    EXPECT_TRUE(isValidOptionArea(area));
    area = {kOptionBytes, 43, 13};  // fills the area: no kind 0 byte left to end it
    EXPECT_FALSE(isValidOptionArea(area));
    area = {7, 43, 1, 1};
    EXPECT_FALSE(isValidOptionArea(area));
}

}  // namespace
}  // namespace tolmark
