#include "common/client_record.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

namespace tolmark {
namespace {

using Image = std::array<std::uint8_t, kClientRecordSize>;

void place(Image& image, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
    ASSERT_LE(offset + bytes.size(), image.size());
    std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
}

void placeText(Image& image, std::size_t offset, std::string_view text) {
    ASSERT_LE(offset + text.size(), image.size());
    std::copy(text.begin(), text.end(), image.begin() + offset);
}

std::optional<ClientRecordImage> decode(const Image& image) {
    return decodeClientRecord(std::span<const std::uint8_t>(image));
}

TEST(ClientRecord, ImageFieldByField) {
    ClientRecordImage object;
    object.handle = 0x0000000300000011ULL;
    object.nextHandle = 0x0000000500000012ULL;
    ClientFields& f = object.fields;
    f.address = makeIpv4(192, 168, 10, 20);
    f.seenVia = makeIpv4(10, 1, 2, 3);
    f.lastAccess = 0x0102030405060708LL;
    f.expiry = kExpiryReserved;
    f.identity.kind = kIdentityClientId;
    f.identity.length = 7;
    f.identity.bytes = {0x01, 0x00, 0x0c, 0x29, 0xab, 0xcd, 0xef};
    f.profile = "Lab";
    f.hostName = "printer-2";
    f.remark = "room 4";

    Image image{};
    place(image, 0, {0x11, 0x00, 0x00, 0x00, 0x03, 0x00, 0x00, 0x00});   // 0: own handle
    place(image, 8, {192, 168, 10, 20});                                 // 8: address, network order
    place(image, 12, {10, 1, 2, 3});                                     // 12: seen via
    place(image, 16, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01});  // 16: last access
    place(image, 24, {0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00});  // 24: expiry, reserved
    place(image, 32, {4});                                               // 32: kind, client identifier
    place(image, 33, {7});                                               // 33: identity length
    place(image, 34, {0x01, 0x00, 0x0c, 0x29, 0xab, 0xcd, 0xef});        // 34: identity, 64 bytes
    placeText(image, 98, "Lab");                                         // 98: profile, 24 bytes
    placeText(image, 122, "printer-2");                                  // 122: host name, 159 bytes
    placeText(image, 281, "room 4");                                     // 281: remark, 32 bytes
    // 313: 7 reserved bytes stay 0
    place(image, 320, {0x12, 0x00, 0x00, 0x00, 0x05, 0x00, 0x00, 0x00});  // 320: next handle

    EXPECT_EQ(encodeClientRecord(object), image);
    const auto decoded = decode(image);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, object);

    const std::vector<std::uint8_t> copy(image.begin(), image.end());
    std::vector<std::uint8_t> longer = copy;
    longer.push_back(0);
    EXPECT_FALSE(decodeClientRecord(std::span<const std::uint8_t>(copy.data(), copy.size() - 1)));
    EXPECT_FALSE(decodeClientRecord(std::span<const std::uint8_t>(longer)));
    EXPECT_FALSE(decodeClientRecord(std::span<const std::uint8_t>()));
}

TEST(ClientRecord, IdentityLengthAboveSixtyFourIsRefused) {
    Image image{};
    image[33] = 64;
    ASSERT_TRUE(decode(image));
    EXPECT_EQ(decode(image)->fields.identity.length, 64);
    image[33] = 65;
    EXPECT_FALSE(decode(image));
}

// Texts never spill into the next field, and an unterminated field still reads back as a text
// that fits the field again.
TEST(ClientRecord, TextsStayInsideTheirFields) {
    ClientRecordImage object;
    object.fields.profile = std::string(40, 'p');
    object.fields.hostName = std::string(200, 'h');
    object.fields.remark = std::string(40, 'r');
    const Image image = encodeClientRecord(object);
    EXPECT_EQ(image[98 + 22], 'p');
    EXPECT_EQ(image[98 + 23], 0);
    EXPECT_EQ(image[122 + 157], 'h');
    EXPECT_EQ(image[122 + 158], 0);
    EXPECT_EQ(image[281 + 30], 'r');
    EXPECT_EQ(image[281 + 31], 0);
    EXPECT_TRUE(std::all_of(image.begin() + 313, image.begin() + 320, [](std::uint8_t b) { return b == 0; }));

    Image unterminated{};
    std::fill(unterminated.begin() + 98, unterminated.begin() + 313, 'x');
    std::fill(unterminated.begin() + 313, unterminated.begin() + 320, 0xee);  // reserved: ignored
    const auto decoded = decode(unterminated);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->fields.profile, std::string(23, 'x'));
    EXPECT_EQ(decoded->fields.hostName, std::string(158, 'x'));
    EXPECT_EQ(decoded->fields.remark, std::string(31, 'x'));
    const Image again = encodeClientRecord(*decoded);
    EXPECT_TRUE(std::all_of(again.begin() + 313, again.begin() + 320, [](std::uint8_t b) { return b == 0; }));
}

}  // namespace
}  // namespace tolmark
