#include "base/byte_io.h"

#include <gtest/gtest.h>

#include <array>

namespace tolmark {
namespace {

TEST(ByteIo, ReadsBothByteOrdersAndFlagsShortInput) {
    const std::array<std::uint8_t, 6> bytes = {0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    ByteReader r(bytes);
    EXPECT_EQ(r.u16le(0), 0x0201);
    EXPECT_EQ(r.u16be(0), 0x0102);
    EXPECT_EQ(r.u32le(2), 0x06050403u);
    EXPECT_EQ(r.u32be(2), 0x03040506u);
    EXPECT_TRUE(r.ok());
    EXPECT_EQ(r.u32le(3), 0u);  // one byte short
    EXPECT_FALSE(r.ok());
}

TEST(ByteIo, OffsetsNearSizeMaxDoNotWrap) {
    const std::array<std::uint8_t, 4> bytes = {};
    ByteReader r(bytes);
    EXPECT_EQ(r.u32le(SIZE_MAX - 1), 0u);
    EXPECT_FALSE(r.ok());
    std::array<std::uint8_t, 4> out = {};
    ByteWriter w(out);
    w.u64le(SIZE_MAX - 3, 1);
    EXPECT_FALSE(w.ok());
}

TEST(ByteIo, FixedTextFieldsAreCutAndTerminated) {
    std::array<std::uint8_t, 8> field;
    field.fill(0xEE);
    ByteWriter w(field);
    w.text(0, 5, "abcdefgh");
    EXPECT_EQ(field[4], 0);
    EXPECT_EQ(field[5], 0xEE);  // nothing beyond the field
    ByteReader r(field);
    EXPECT_EQ(r.text(0, 5), "abcd");
    // An unterminated field reads as width - 1 characters.
    std::array<std::uint8_t, 3> raw = {'x', 'y', 'z'};
    ByteReader r2(raw);
    EXPECT_EQ(r2.text(0, 3), "xy");
    // An empty view with no storage behind it clears the field.
    w.text(0, 5, std::string_view{});
    EXPECT_EQ(r.text(0, 5), "");
}

TEST(ByteIo, WriterRoundTripsEveryWidth) {
    std::array<std::uint8_t, 32> buf = {};
    ByteWriter w(buf);
    w.u8(0, 0xAB);
    w.u16le(1, 0x1234);
    w.u32le(3, 0xDEADBEEF);
    w.i64le(7, -2);
    w.u16be(15, 0x1234);
    w.u32be(17, 0x01020304);
    ASSERT_TRUE(w.ok());
    EXPECT_EQ(buf[1], 0x34);
    EXPECT_EQ(buf[15], 0x12);
    EXPECT_EQ(buf[17], 0x01);
    ByteReader r(buf);
    EXPECT_EQ(r.u8(0), 0xAB);
    EXPECT_EQ(r.u16le(1), 0x1234);
    EXPECT_EQ(r.u32le(3), 0xDEADBEEFu);
    EXPECT_EQ(r.i64le(7), -2);
    EXPECT_EQ(r.u32be(17), 0x01020304u);
}

}  // namespace
}  // namespace tolmark
