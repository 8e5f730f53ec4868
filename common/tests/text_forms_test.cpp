#include "common/text_forms.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace tolmark {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::span<const std::uint8_t> value) { return Bytes(value.begin(), value.end()); }

std::string repeat(std::string_view piece, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += piece;
    return s;
}

// What the C library's two six-number scans make of a text; the parser must agree with it.
std::optional<HardwareAddress> scanWithLibrary(const std::string& text) {
    unsigned v[6];
    const bool colons = std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) == 6;
    if (!colons && std::sscanf(text.c_str(), "%x-%x-%x-%x-%x-%x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6)
        return std::nullopt;
    HardwareAddress a;
    for (int i = 0; i < 6; ++i) a[i] = static_cast<std::uint8_t>(v[i]);
    return a;
}

TEST(HardwareAddressText, DashFormParsesAndIsWrittenBackWithColons) {
    auto a = parseHardwareAddress("00-0C-29-AA-BB-CC");
    ASSERT_TRUE(a);
    EXPECT_STREQ(formatHardwareAddress(a->data()).c_str(), "00:0c:29:aa:bb:cc");
    EXPECT_STREQ(formatHardwareAddress(a->data(), '-').c_str(), "00-0c-29-aa-bb-cc");
}

TEST(HardwareAddressText, ParserAgreesWithTheLibraryScan) {
    const char* const texts[] = {
        "1:2:3:4:5:6",
        " 1: 2:\t3:4:5:6",
        "1 :2:3:4:5:6",  // blanks only before a number
        "1:2:3:4:5",
        "1:2:3:4:5:",
        "",
        "1-2:3:4:5:6",
        "1:2:3:4:5:6-7",
        "1:2:3:4:5:6zz",
        "1-2-3-4-5-6 x",
        "0x1f:0X2:3:4:5:6",
        "0x:1:2:3:4:5",
        "0xg:1:2:3:4:5",
        "0x-1:2:3:4:5:6",  // a lone 0x reads as 0
        "-1:+2:3:4:5:6",
        "-0x10:1:2:3:4:5",
        "+:1:2:3:4:5",
        "- 1:1:2:3:4:5",
        "123:4567:89abc:d:e:f",
        "fffffffffffffffff:1:2:3:4:5",  // lowest byte; saturation past 64 bits
        "-fffffffffffffffff:1:2:3:4:5",
        "g:1:2:3:4:5",
    };
    for (const char* text : texts) {
        EXPECT_EQ(parseHardwareAddress(text), scanWithLibrary(text)) << '"' << text << '"';
    }
    // The scan stops at the terminator, wherever the view ends.
    EXPECT_FALSE(parseHardwareAddress(std::string_view("1:2:3\0:4:5:6", 12)));
}

TEST(CountedValueText, HexFormReadsPairsHighHalfFirst) {
    int form = 0;
    EXPECT_EQ(bytesOf(parseCountedValue("0102", 65, &form).value()), (Bytes{0x01, 0x02}));
    EXPECT_EQ(form, kValueFormHex);
    EXPECT_EQ(bytesOf(parseCountedValue("0x0102", 65).value()), (Bytes{0x01, 0x02}));
    EXPECT_EQ(bytesOf(parseCountedValue("abC", 65).value()), (Bytes{0xab, 0xc0}));
    for (const char* invalid : {"xyz", "", "0x", "01 02", "0X0102", "01:02"}) {
        EXPECT_EQ(parseCountedValue(invalid, 65).length, 0) << invalid;
    }
}

TEST(CountedValueText, CapacityCutsBothFormsAndCountsTheLengthByte) {
    EXPECT_EQ(bytesOf(parseCountedValue("010203", 3).value()), (Bytes{0x01, 0x02}));
    EXPECT_EQ(bytesOf(parseCountedValue("01020", 3).value()), (Bytes{0x01, 0x02}));
    // A bad digit beyond the cut still refuses the value.
    EXPECT_EQ(parseCountedValue("0102zz", 3).length, 0);
    EXPECT_EQ(parseCountedValue(std::string(200, 'a'), 64).length, 63);
    // The buffer holds 64 bytes whatever capacity a caller names.
    EXPECT_EQ(parseCountedValue('"' + std::string(200, 'a'), 300).length, 64);
    EXPECT_EQ(parseCountedValue("01", 0).length, 0);
}

TEST(CountedValueText, QuotedFormTakesTheRestOfTheTextVerbatim) {
    int form = 0;
    EXPECT_EQ(bytesOf(parseCountedValue("\"a\"b 1", 65, &form).value()), (Bytes{'a', '"', 'b', ' ', '1'}));
    EXPECT_EQ(form, kValueFormText);
    EXPECT_EQ(parseCountedValue("\"", 65).length, 0);
}

TEST(IdentityText, FirstCharacterChoosesTheKind) {
    struct Case {
        const char* text;
        std::uint8_t kind;
        Bytes bytes;
    };
    const Case cases[] = {
        {"00-0C-29-AA-BB-CC", kIdentityHardware, {0x00, 0x0c, 0x29, 0xaa, 0xbb, 0xcc}},
        {"C0102", kIdentityCircuit, {0x01, 0x02}},
        {"c0102", kIdentityClientId, {0xc0, 0x10, 0x20}},  // only the capital letter is a kind
        {"R0x0a", kIdentityRemote, {0x0a}},
        {"+\"abc", kIdentityCircuitRemote, {'a', 'b', 'c'}},
        {"0x0102", kIdentityClientId, {0x01, 0x02}},
        {"0102", kIdentityClientId, {0x01, 0x02}},
        {"abc", kIdentityClientId, {0xab, 0xc0}},
        {"\"host1", kIdentityClientId, {'h', 'o', 's', 't', '1'}},
    };
    for (const Case& c : cases) {
        auto id = parseIdentity(c.text);
        ASSERT_TRUE(id) << c.text;
        EXPECT_EQ(id->kind, c.kind) << c.text;
        EXPECT_EQ(bytesOf({id->bytes.data(), id->length}), c.bytes) << c.text;
    }
    for (const char* invalid : {"xyz", "", "C", "R\"", "+zz"}) EXPECT_FALSE(parseIdentity(invalid)) << invalid;
}

TEST(IdentityText, QuotedIdentityKeepsSixtyFourCharacters) {
    const std::string text(70, 'q');
    auto id = parseIdentity('"' + text);
    ASSERT_TRUE(id);
    EXPECT_EQ(id->length, 64);
    EXPECT_EQ(std::string(id->bytes.begin(), id->bytes.end()), text.substr(0, 64));
}

// What the parser reads but a user did not mean: each of these is refused when typed.
TEST(IdentityText, TypedIdentitiesThatWouldNotBeTakenAsTyped) {
    const std::string q64(64, 'q');
    const std::string hex64(128, 'a');
    for (const std::string& fine :
         {std::string("00:11:22:33:44:55"), std::string("0:c:29:A:b:cc"), std::string("00-0c-29-aa-bb-cc-dd-ee"),
          std::string("C0102"), std::string("abc"), std::string("\"host#1"), '"' + q64, "R" + hex64, "0x" + hex64}) {
        EXPECT_EQ(typedIdentityProblem(fine), nullptr) << fine;
    }
    for (const std::string& refused :
         {std::string("00:11:22:33:44:5566"), std::string("00:11:22:33:44:55x"), std::string("0:1:2:3:4:5:6"),
          std::string("00:11:22:33:44:55:"), std::string("\"my host\tpc"), std::string("+\"a #b"),
          std::string("\"a\x7f"), '"' + q64 + "q", "C" + hex64 + "ab"}) {
        EXPECT_NE(typedIdentityProblem(refused), nullptr) << refused;
    }
}

TEST(IdentityText, FormatsEachKindAndReadsItBack) {
    auto host1 = parseIdentity("\"host1");
    ASSERT_TRUE(host1);
    EXPECT_STREQ(formatIdentity(*host1).c_str(), "686f737431");  // the server never writes text
    EXPECT_STREQ(formatIdentity(*host1, false, true).c_str(), "\"host1");

    Identity abc{kIdentityCircuitRemote, 3, {'a', 'b', 'c'}};
    EXPECT_STREQ(formatIdentity(abc).c_str(), "+616263");
    EXPECT_STREQ(formatIdentity(abc, false, true).c_str(), "+\"abc");

    Identity hw{kIdentityHardware, 6, {0x00, 0x0c, 0x29, 0xaa, 0xbb, 0xcc}};
    EXPECT_STREQ(formatIdentity(hw, false, true).c_str(), "00:0c:29:aa:bb:cc");
    EXPECT_STREQ(formatIdentity(hw, true).c_str(), "00-0c-29-aa-bb-cc");

    Identity binary{kIdentityRemote, 2, {'a', 0x7f}};  // DEL is not printable
    EXPECT_STREQ(formatIdentity(binary, false, true).c_str(), "R617f");

    Identity longest{kIdentityCircuit, 64, {}};
    longest.bytes.fill(0xfe);
    EXPECT_EQ(std::string(formatIdentity(longest).c_str()), "C" + repeat("fe", 64));

    for (const Identity& id : {*host1, abc, hw, binary, longest}) {
        for (bool textForm : {false, true}) {
            EXPECT_EQ(parseIdentity(formatIdentity(id, textForm, textForm).c_str()), id)
                << formatIdentity(id, textForm, textForm).c_str();
        }
    }
}

TEST(ByteListText, NumbersEndAtSeparatorsAndJunkIsSkipped) {
    EXPECT_EQ(bytesOf(parseByteList("00-0c-29", 64).value()), (Bytes{0x00, 0x0c, 0x29}));
    EXPECT_EQ(bytesOf(parseByteList("1:100:zz:2", 64).value()), (Bytes{0x01, 0x00, 0x02}));
    // Text after a number up to the next separator belongs to that number.
    EXPECT_EQ(bytesOf(parseByteList("1 2 3:4", 64).value()), (Bytes{0x01, 0x04}));
    EXPECT_EQ(bytesOf(parseByteList("1-2-3-4", 3).value()), (Bytes{0x01, 0x02}));
    EXPECT_EQ(parseByteList("", 64).length, 0);
    EXPECT_EQ(parseByteList(std::string(200, '-') + "1", 64).length, 1);
}

TEST(MacRangeText, GroupsBecomeCountedPrefixes) {
    const MacRangeTable table = parseMacRange("00:0c:29,08:00");
    const MacRangeTable expected{7, 3, 0x00, 0x0c, 0x29, 2, 0x08, 0x00};
    EXPECT_EQ(table, expected);
    EXPECT_EQ(formatMacRange(table), "0:c:29,8:0");
    // Dashes, a 0x prefix and other characters; lowest byte of a long number.
    EXPECT_EQ(parseMacRange("0x00-1 2-3fe"), (MacRangeTable{4, 3, 0x00, 0x12, 0xfe}));
    EXPECT_FALSE(formatMacRange(parseMacRange("")));
}

TEST(MacRangeText, EmptyGroupsAreStoredButEndTheText) {
    const MacRangeTable trailing = parseMacRange("00:0c:29,");
    EXPECT_EQ(trailing, (MacRangeTable{5, 3, 0x00, 0x0c, 0x29, 0}));
    EXPECT_EQ(formatMacRange(trailing), "0:c:29");
    const MacRangeTable middle = parseMacRange("1,,2");
    EXPECT_EQ(middle, (MacRangeTable{5, 1, 0x01, 0, 1, 0x02}));
    EXPECT_EQ(formatMacRange(middle), "1");
}

TEST(MacRangeText, FillingStopsWhenTheTableIsFull) {
    std::string many;
    for (int i = 0; i < 40; ++i) many += (i ? ":" : "") + std::to_string(i % 10);
    const MacRangeTable one = parseMacRange(many);
    EXPECT_EQ(one[0], 31);
    EXPECT_EQ(one[1], 30);
    EXPECT_EQ(one[31], 9);

    // Ten groups of two need 30 bytes; the eleventh gets its count byte and nothing else.
    std::string groups;
    for (int i = 0; i < 12; ++i) groups += (i ? "," : "") + std::string("aa:bb");
    const MacRangeTable full = parseMacRange(groups);
    EXPECT_EQ(full[0], 31);
    EXPECT_EQ(full[31], 0);
    EXPECT_EQ(formatMacRange(full)->size(), 10 * 6 - 1u);
}

TEST(MacRangeText, FormatterStaysInsideATableThatClaimsTooMuch) {
    MacRangeTable broken{};
    broken.fill(0xff);
    const auto text = formatMacRange(broken);
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 30 * 3 - 1u);  // 30 bytes "ff" joined by ':'
}

TEST(ShowValueText, PrintableTextIsQuotedOtherwiseHex) {
    const Bytes text{'M', 'S', 'F', 'T', ' ', '5', '.', '0', 0x7f};
    EXPECT_STREQ(showValue(text).c_str(), "\"MSFT 5.0\x7f\"");
    EXPECT_STREQ(showValue(Bytes{0x01, 'a', 0xff}).c_str(), "0161ff");
    EXPECT_STREQ(showValue(Bytes{}).c_str(), "\"\"");

    Bytes longBinary(300, 0x80);
    EXPECT_EQ(std::string(showValue(longBinary).c_str()), repeat("80", 130));
    // Long text is clipped to the buffer rather than run past it.
    const Bytes longText(300, 'x');
    EXPECT_EQ(std::string(showValue(longText).c_str()), '"' + std::string(261, 'x') + '"');
}

}  // namespace
}  // namespace tolmark
