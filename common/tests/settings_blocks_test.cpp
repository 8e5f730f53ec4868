#include "common/settings_blocks.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

namespace tolmark {
namespace {

template <std::size_t N>
void place(std::array<std::uint8_t, N>& image, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
    ASSERT_LE(offset + bytes.size(), N);
    std::copy(bytes.begin(), bytes.end(), image.begin() + offset);
}

// Encoding the object gives the image, decoding the image gives the object, and an image one
// byte short or long is refused.
template <typename Block, std::size_t N, typename Encode, typename Decode>
void expectImage(const Block& object, const std::array<std::uint8_t, N>& image, Encode encode, Decode decode) {
    EXPECT_EQ(encode(object), image);
    const std::optional<Block> decoded = decode(std::span<const std::uint8_t>(image));
    ASSERT_TRUE(decoded);
    EXPECT_EQ(*decoded, object);
    const std::vector<std::uint8_t> copy(image.begin(), image.end());
    std::vector<std::uint8_t> withExtra = copy;
    withExtra.push_back(0);
    EXPECT_FALSE(decode(std::span<const std::uint8_t>(copy.data(), N - 1)));
    EXPECT_FALSE(decode(std::span<const std::uint8_t>(withExtra)));
    EXPECT_FALSE(decode(std::span<const std::uint8_t>()));
}

TEST(SettingsBlocks, GeneralSettingsImage) {
    GeneralSettings s;
    s.log = 2;
    s.createLog = 1;
    s.port = 1091;
    s.idWildcard = '*';
    // Every word gets a value of its own so that two swapped fields show.
    s.detect = 12;
    s.pausedState = 16;
    s.unicast = 20;
    s.bootp = 24;
    s.dhcp = 28;
    s.zeroTerminate = 32;
    s.autoExclude = 36;
    s.changeIp = 40;
    s.testIp = 44;
    s.netBc = 48;
    s.updateEthers = 52;
    s.profiles = 56;
    s.delay = -1;
    s.backup = 64;
    s.enableMac = 68;
    s.enableId = 72;
    s.enableRa = 76;
    s.name2Uc = 80;
    s.relayAgent = 0x301;
    s.regOnly = 88;
    s.lookup = 92;
    s.autoConfigure = 96;
    s.relaySrc = 100;
    s.relayLimit = 104;
    s.soleServer = 108;
    s.magicNumber = 112;
    s.selectionMode = 116;
    s.macRange = {7, 3, 0x00, 0x0c, 0x29, 2, 0x08, 0x00};

    const std::array<std::uint8_t, kGeneralSettingsSize> image = {
        0x02, 0x00, 0x00, 0x00,  // 0: "Log"
        0x01, 0x00, 0x00, 0x00,  // 4: "CreateLog"
        0x43, 0x04,              // 8: "Port" 1091
        0x2a, 0x00,              // 10: "IdWildcard" '*'
        0x0c, 0x00, 0x00, 0x00,  // 12: "Detect"
        0x10, 0x00, 0x00, 0x00,  // 16: detection run-time state
        0x14, 0x00, 0x00, 0x00,  // 20: "Unicast"
        0x18, 0x00, 0x00, 0x00,  // 24: "BOOTP"
        0x1c, 0x00, 0x00, 0x00,  // 28: "DHCP"
        0x20, 0x00, 0x00, 0x00,  // 32: "ZeroTerminate"
        0x24, 0x00, 0x00, 0x00,  // 36: "AutoExclude"
        0x28, 0x00, 0x00, 0x00,  // 40: "ChangeIP"
        0x2c, 0x00, 0x00, 0x00,  // 44: "TestIP"
        0x30, 0x00, 0x00, 0x00,  // 48: "NetBC"
        0x34, 0x00, 0x00, 0x00,  // 52: "UpdateEthers"
        0x38, 0x00, 0x00, 0x00,  // 56: "Profiles"
        0xff, 0xff, 0xff, 0xff,  // 60: "Delay" -1
        0x40, 0x00, 0x00, 0x00,  // 64: "Backup"
        0x44, 0x00, 0x00, 0x00,  // 68: "EnableMAC"
        0x48, 0x00, 0x00, 0x00,  // 72: "EnableID"
        0x4c, 0x00, 0x00, 0x00,  // 76: "EnableRA"
        0x50, 0x00, 0x00, 0x00,  // 80: "Name2UC"
        0x01, 0x03, 0x00, 0x00,  // 84: "RelayAgent" 0x301
        0x58, 0x00, 0x00, 0x00,  // 88: "RegOnly"
        0x5c, 0x00, 0x00, 0x00,  // 92: "Lookup"
        0x60, 0x00, 0x00, 0x00,  // 96: "AutoConfigure"
        0x64, 0x00, 0x00, 0x00,  // 100: "RelaySrc"
        0x68, 0x00, 0x00, 0x00,  // 104: "RelayLimit"
        0x6c, 0x00, 0x00, 0x00,  // 108: "SoleServer"
        0x70, 0x00, 0x00, 0x00,  // 112: "MagicNumber"
        0x74, 0x00, 0x00, 0x00,  // 116: interface selection mode
        // 120: "MacRange" table: 7 bytes follow, groups 00:0c:29 and 08:00, rest zero
        0x07, 0x03, 0x00, 0x0c, 0x29, 0x02, 0x08, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,  //
        0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,                          //
    };
    expectImage(s, image, encodeGeneralSettings, decodeGeneralSettings);
}

TEST(SettingsBlocks, ServerStatusImage) {
    ServerStatus s;
    s.port = 67;
    s.profileCount = 3;
    s.staticCount = 0x102;
    s.poolTotal = 100000;
    s.staticUsed = 4;
    s.dynamicUsed = 5;
    s.ignoredUsed = 6;
    s.tftpTransfers = -1;
    s.staticChanges = 7;
    s.dynamicChanges = 8;
    s.ignoredChanges = 9;
    s.serverStopping = 1;
    s.statusChanged = 3;
    s.reloadRequest = 2;
    s.interfaceCount = 2;
    s.interfaces[0] = {2, makeIpv4(192, 168, 1, 10), makeIpv4(255, 255, 255, 0), 0x1122334455667788,
                       kIfPresent | kIfServed};
    s.interfaces[1] = {0xa0b, makeIpv4(10, 0, 0, 1), makeIpv4(255, 0, 0, 0), kNoSocketImage, 7};
    s.interfaces[31] = {31, makeIpv4(172, 16, 0, 31), makeIpv4(255, 255, 0, 0), 5, kIfTrusted};

    std::array<std::uint8_t, kServerStatusSize> image{};
    place(image, 0,
          {
              0x43, 0x00,              // 0: port in use 67
              0x00, 0x00,              // 2: padding
              0x03, 0x00, 0x00, 0x00,  // 4: profiles loaded
              0x02, 0x01, 0x00, 0x00,  // 8: static entries
              0xa0, 0x86, 0x01, 0x00,  // 12: pool total 100000
              0x04, 0x00, 0x00, 0x00,  // 16: static entries used
              0x05, 0x00, 0x00, 0x00,  // 20: dynamic entries used
              0x06, 0x00, 0x00, 0x00,  // 24: ignored entries used
              0xff, 0xff, 0xff, 0xff,  // 28: TFTP transfers, -1 = stopped
              0x07, 0x00, 0x00, 0x00,  // 32: static list unsaved changes
              0x08, 0x00, 0x00, 0x00,  // 36: dynamic list unsaved changes
              0x09, 0x00, 0x00, 0x00,  // 40: ignored list unsaved changes
              0x01, 0x00, 0x00, 0x00,  // 44: ServerStopping
              0x03, 0x00, 0x00, 0x00,  // 48: StatusChanged
              0x02, 0x00, 0x00, 0x00,  // 52: ReloadRequest
              0x02, 0x00, 0x00, 0x00,  // 56: interface count
          });
    // The interface table is stored column by column.
    place(image, 60, {0x02, 0x00, 0x00, 0x00, 0x0b, 0x0a, 0x00, 0x00});  // 60: ifIndex of entries 0, 1
    place(image, 60 + 31 * 4, {0x1f, 0x00, 0x00, 0x00});                 // 184: ifIndex of entry 31
    place(image, 188, {192, 168, 1, 10, 10, 0, 0, 1});                   // 188: addresses of entries 0, 1
    place(image, 188 + 31 * 4, {172, 16, 0, 31});                        // 312: address of entry 31
    place(image, 316, {255, 255, 255, 0, 255, 0, 0, 0});                 // 316: masks of entries 0, 1
    place(image, 316 + 31 * 4, {255, 255, 0, 0});                        // 440: mask of entry 31
    // 444: four unused bytes stay zero
    std::fill(image.begin() + 448, image.begin() + 704, 0xff);            // 448: sockets, all "no socket" ...
    place(image, 448, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11});  // ... but entry 0
    place(image, 448 + 31 * 8, {0x05, 0, 0, 0, 0, 0, 0, 0});              // ... and entry 31 (696)
    place(image, 704, {0x03, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00});  // 704: flags of entries 0, 1
    place(image, 704 + 31 * 4, {0x04, 0x00, 0x00, 0x00});                 // 828: flags of entry 31

    expectImage(s, image, encodeServerStatus, decodeServerStatus);

    // Whatever a sender leaves in the padding carries no meaning.
    place(image, 2, {0xaa, 0xbb});
    place(image, 444, {1, 2, 3, 4});
    EXPECT_EQ(decodeServerStatus(image), s);
}

TftpSettings sampleTftp() {
    TftpSettings s;
    s.port = 69;
    s.dataPort = 0x1000;
    s.timeout = 3;
    s.retransmit = 10;
    s.clients = 20;
    s.options = 7;
    s.unixStyle = 1;
    s.mmf = 0;
    s.mmfMax = 0x2000000;
    s.upload = 2;
    s.rootIpSpecific = 4;
    s.rootProfile = 5;
    s.windowSize = 16;
    s.largeFiles = 6;
    s.enable = 8;
    s.mode = 9;
    s.flags = -2;
    s.prefix = "/srv";
    s.directory = "/var/lib/velkora";
    s.reserved[0] = 0xaa;
    s.reserved[127] = 0x55;
    return s;
}

TEST(SettingsBlocks, TftpSettingsImage) {
    std::array<std::uint8_t, kTftpSettingsSize> image{};
    place(image, 0,
          {
              0x45, 0x00, 0x00, 0x00,  // 0: "TFTPPort" 69
              0x00, 0x10, 0x00, 0x00,  // 4: "TFTPDataPort" 4096
              0x03, 0x00, 0x00, 0x00,  // 8: "TFTPTimeout"
              0x0a, 0x00, 0x00, 0x00,  // 12: "TFTPRetransmit"
              0x14, 0x00, 0x00, 0x00,  // 16: "TFTPClients"
              0x07, 0x00, 0x00, 0x00,  // 20: "TFTPOptions"
              0x01, 0x00, 0x00, 0x00,  // 24: "TFTPUnixStyle"
              0x00, 0x00, 0x00, 0x00,  // 28: "TFTPmmf"
              0x00, 0x00, 0x00, 0x02,  // 32: "TFTPMMFmax" 0x2000000
              0x02, 0x00, 0x00, 0x00,  // 36: "TFTPUpload"
              0x04, 0x00, 0x00, 0x00,  // 40: "TFTPRootIPspecific"
              0x05, 0x00, 0x00, 0x00,  // 44: "TFTPRootProfile"
              0x10, 0x00, 0x00, 0x00,  // 48: "TFTPWindowSize"
              0x06, 0x00, 0x00, 0x00,  // 52: "TFTPLargeFiles"
              0x08, 0x00, 0x00, 0x00,  // 56: "TFTPEnable"
              0x09, 0x00, 0x00, 0x00,  // 60: "TFTPMode"
              0xfe, 0xff, 0xff, 0xff,  // 64: "TFTPFlags" -2
              '/',  's',  'r',  'v',   // 68: "TFTPPrefix", NUL-filled to 836
          });
    // 836: "TFTPDirectory", NUL-filled to 1732
    place(image, 836, {'/', 'v', 'a', 'r', '/', 'l', 'i', 'b', '/', 'v', 'e', 'l', 'k', 'o', 'r', 'a'});
    place(image, 1732, {0xaa});  // 1732: the carried tail, first ...
    place(image, 1859, {0x55});  // ... and last byte
    expectImage(sampleTftp(), image, encodeTftpSettings, decodeTftpSettings);
}

TEST(SettingsBlocks, TftpTextsStayInsideTheirFields) {
    TftpSettings s = sampleTftp();
    s.prefix = std::string(800, 'p');
    s.directory = std::string(895, 'd');
    auto image = encodeTftpSettings(s);
    EXPECT_EQ(image[68 + 766], 'p');
    EXPECT_EQ(image[68 + 767], 0);  // cut to 767 and terminated
    EXPECT_EQ(image[836 + 894], 'd');
    EXPECT_EQ(image[836 + 895], 0);
    EXPECT_EQ(image[1732], 0xaa);

    // A sender that fills a field without a terminator still gives a text that fits it.
    std::fill(image.begin() + 836, image.begin() + 1732, 'x');
    auto decoded = decodeTftpSettings(image);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->prefix, std::string(767, 'p'));
    EXPECT_EQ(decoded->directory, std::string(895, 'x'));
    EXPECT_EQ(decoded->reserved, s.reserved);
}

TEST(SettingsBlocks, MulticastSettingsImage) {
    MulticastSettings s;
    s.multicast = 1;
    s.address = makeIpv4(239, 1, 2, 3);
    s.port = 1758;
    s.last = 1800;
    s.ttl = 4;
    const std::array<std::uint8_t, kMulticastSettingsSize> image = {
        0x01, 0x00, 0x00, 0x00,  // 0: "Multicast"
        239,  1,    2,    3,     // 4: "MulticastIp" in network order
        0xde, 0x06,              // 8: "MulticastPort" 1758
        0x08, 0x07,              // 10: "MulticastLast" 1800
        0x04, 0x00, 0x00, 0x00,  // 12: "MulticastTTL"
    };
    expectImage(s, image, encodeMulticastSettings, decodeMulticastSettings);
}

}  // namespace
}  // namespace tolmark
