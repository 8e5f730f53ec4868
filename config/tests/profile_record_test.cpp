#include <gtest/gtest.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "config/profiles.h"

namespace tolmark {
namespace {

using Image = std::array<std::uint8_t, kProfileRecordSize>;

Profile sampleProfile() {
    Profile p;
    p.name = "Office";
    p.lease = 3600;
    p.nodeType = 8;
    p.offset = -3600;
    p.selectorAddress = makeIpv4(192, 168, 1, 1);
    p.nextIp = makeIpv4(192, 168, 1, 2);
    p.baseIp = makeIpv4(192, 168, 1, 100);
    p.range = 50;
    p.subnetMask = makeIpv4(255, 255, 255, 0);
    p.dns = {makeIpv4(1, 1, 1, 1), makeIpv4(8, 8, 8, 8), 0, 0};
    p.gateway = {makeIpv4(192, 168, 1, 254), 0, 0};
    p.wins = {makeIpv4(192, 168, 1, 3), 0};
    p.time = {0, makeIpv4(192, 168, 1, 4)};
    p.ntp = {makeIpv4(192, 168, 1, 5), 0, 0, makeIpv4(192, 168, 1, 6)};
    p.bootSize = 1000;
    p.bootSize2 = 2000;
    p.useOpt = 1;
    p.alternate = 2;
    p.substitution = 3;
    p.scopeId = "scope";
    p.bootName = "tftp1";
    p.bootFile = "pxelinux.0";
    p.bootFile2 = "ipxe.efi";
    p.rootPath = "/srv/root";
    p.options[0] = kOptionBytes;  // 43 2 1 2
    p.options[1] = 43;
    p.options[2] = 2;
    p.options[3] = 1;
    p.options[4] = 2;
    p.dnsName = "example.org";
    p.dnsSend = 1;
    p.dnsAccept = 2;
    p.dnsUpdate = 0;
    p.dnsBaseOnly = 1;
    p.dnsBase = "lab";
    p.selectorKind = SelectorKind::Interface;
    p.selectorForm = 3;
    p.relaySelectorType = RelaySelectorType::RemoteId;
    p.selectorValue.length = 2;
    p.selectorValue.bytes[0] = 0xAB;
    p.selectorValue.bytes[1] = 0xCD;
    p.vendorClassId = "PXEClient";
    parseOptionCodeList("1,3,6", p.sendOptions);
    p.link = 0x1122334455667788ull;
    return p;
}

class ImageBuilder {
public:
    void bytes(std::size_t offset, std::initializer_list<std::uint8_t> values) {
        for (std::uint8_t v : values) image[offset++] = v;
    }
    void text(std::size_t offset, const char* value) { std::memcpy(image.data() + offset, value, std::strlen(value)); }
    Image image{};
};

Image sampleImage() {
    ImageBuilder b;
    b.text(0, "Office");                                              // name, 24 bytes NUL-filled
    b.bytes(24, {0x10, 0x0E, 0, 0});                                  // Lease 3600
    b.bytes(28, {8, 0, 0, 0});                                        // NodeType
    b.bytes(32, {0xF0, 0xF1, 0xFF, 0xFF});                            // Offset -3600
    b.bytes(36, {192, 168, 1, 1});                                    // selector address
    b.bytes(40, {192, 168, 1, 2});                                    // NextIP
    b.bytes(44, {192, 168, 1, 100});                                  // BaseIP
    b.bytes(48, {50, 0, 0, 0});                                       // Range
    b.bytes(52, {255, 255, 255, 0});                                  // SubnetMask
    b.bytes(56, {1, 1, 1, 1, 8, 8, 8, 8});                            // DNS1IP, DNS2IP (DNS3IP, DNS4IP 0)
    b.bytes(72, {192, 168, 1, 254});                                  // GatewayIP (2 and 3 are 0)
    b.bytes(84, {192, 168, 1, 3});                                    // WINS1IP
    b.bytes(96, {192, 168, 1, 4});                                    // Time2IP (Time1IP at 92 is 0)
    b.bytes(100, {192, 168, 1, 5});                                   // NTP1IP
    b.bytes(112, {192, 168, 1, 6});                                   // NTP4IP
    b.bytes(116, {0xE8, 0x03, 0, 0});                                 // BootSize 1000
    b.bytes(120, {0xD0, 0x07, 0, 0});                                 // BootSize2 2000
    b.bytes(124, {1, 0, 0, 0});                                       // UseOpt
    b.bytes(128, {2, 0, 0, 0});                                       // Alternate
    b.bytes(132, {3, 0, 0, 0});                                       // Substitution
    b.text(136, "scope");                                             // ScopeID
    b.text(200, "tftp1");                                             // BootName
    b.text(264, "pxelinux.0");                                        // BootFile
    b.text(392, "ipxe.efi");                                          // BootFile2
    b.text(520, "/srv/root");                                         // RootPath
    b.bytes(776, {kOptionBytes, 43, 2, 1, 2});                        // option area: one entry, then 0s
    b.text(1288, "example.org");                                      // DNSName
    b.bytes(1544, {1, 2, 0, 1});                                      // DNSSend, DNSAccept, DNSUpdate, DNSBaseOnly
    b.text(1548, "lab");                                              // DNSBase
    b.bytes(1612, {5, 3, 2});                                         // selector kind, value form, relay type
    b.bytes(1615, {2, 0xAB, 0xCD});                                   // selector value: length and bytes
    b.text(1679, "PXEClient");                                        // VendorClassId
    b.bytes(1743, {1, 3, 6});                                         // SendOptions, 0-ended
    b.bytes(1808, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11});  // link
    return b.image;
}

TEST(ProfileRecordTest, ImageMatchesFieldByField) {
    EXPECT_EQ(encodeProfileRecord(sampleProfile()), sampleImage());
    const Image image = sampleImage();
    const std::optional<Profile> decoded = decodeProfileRecord(image);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, sampleProfile());
}

TEST(ProfileRecordTest, RefusesOtherSizes) {
    const Image image = sampleImage();
    EXPECT_FALSE(decodeProfileRecord(std::span(image.data(), image.size() - 1)));
    std::vector<std::uint8_t> longer(image.begin(), image.end());
    longer.push_back(0);
    EXPECT_FALSE(decodeProfileRecord(longer));
}

TEST(ProfileRecordTest, RefusesValuesTheEngineWouldWalkPast) {
    Image image = sampleImage();
    image[1615] = 64;  // selector value longer than its 63 bytes
    EXPECT_FALSE(decodeProfileRecord(image));

    image = sampleImage();
    image[1612] = 7;  // no such selector kind
    EXPECT_FALSE(decodeProfileRecord(image));

    image = sampleImage();
    // One entry filling all 512 bytes leaves no kind 0 byte to end the area.
    image[776] = kOptionText;
    image[778] = 255;
    image[776 + 258] = kOptionText;
    image[776 + 260] = 255;
    EXPECT_FALSE(decodeProfileRecord(image));
}

TEST(ProfileRecordTest, ClosesACodeListWithoutItsEndingByte) {
    Image image = sampleImage();
    image[1743 + 63] = 9;
    const std::optional<Profile> decoded = decodeProfileRecord(image);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->sendOptions.codes[63], 0);
}

}  // namespace
}  // namespace tolmark
