#include "config/settings.h"

#include <gtest/gtest.h>

#include <vector>

#include "common/text_forms.h"
#include "config/tests/temp_directory.h"

namespace tolmark {
namespace {

using ::tolmark::testing::FileSizeLimit;
using ::tolmark::testing::readFile;
using ::tolmark::testing::TempDirectory;
using ::tolmark::testing::writeFile;

constexpr const char* kDataDir = "/var/lib/tolmark/";

std::vector<std::uint8_t> codesOf(const OptionCodeList& list) {
    return {list.codes.begin(), list.codes.begin() + static_cast<std::ptrdiff_t>(list.size())};
}

class SettingsTest : public ::testing::Test {
protected:
    SettingsTest() : store_(dir_.file("registry.ini")) { store_.setIniPath(dir_.path(), "Dorvane"); }
    std::string ini() const { return dir_.file("Dorvane.ini"); }
    DhcpSettings readGeneral() {
        DhcpSettings settings;
        readGeneralSettings(store_, kGeneralSection, kDataDir, settings);
        return settings;
    }

    TempDirectory dir_;
    ConfigStore store_;
};

TEST_F(SettingsTest, AnEmptyFileGivesTheDefaultsAndWritingThemBackAddsNothing) {
    writeFile(ini(), "[Dorvane]\n");
    DhcpSettings settings;
    settings.general.log = 9;
    settings.general.macRange[0] = 3;
    readGeneralSettings(store_, kGeneralSection, kDataDir, settings);
    EXPECT_EQ(settings.general, GeneralSettings{});
    EXPECT_EQ(settings.defaultOptions, builtInDefaultOptions());
    EXPECT_EQ(settings.directory, kDataDir);

    TftpSettings tftp;
    MulticastSettings multicast;
    tftp.port = 70;
    multicast.address = makeIpv4(239, 1, 1, 1);
    readTftpSettings(store_, kGeneralSection, kDataDir, tftp, multicast);
    TftpSettings expected;
    expected.directory = kDataDir;
    EXPECT_EQ(tftp, expected);
    EXPECT_EQ(multicast, MulticastSettings{});

    writeGeneralSettings(store_, kGeneralSection, settings.general);
    tftp.directory.clear();
    writeTftpSettings(store_, kGeneralSection, tftp, multicast);
    EXPECT_EQ(readFile(ini()), "[Dorvane]\n");
}

TEST_F(SettingsTest, DefaultOptionsTakeTheLowestByteOfEachNumber) {
    writeFile(ini(), "[Dorvane]\nDefaultOptions=1,3,6,300\n");
    EXPECT_EQ(codesOf(readGeneral().defaultOptions), (std::vector<std::uint8_t>{1, 3, 6, 44}));

    OptionCodeList list = builtInDefaultOptions();
    parseOptionCodeList("", list);
    EXPECT_EQ(list, builtInDefaultOptions());
    parseOptionCodeList("x, 5,,7abc,-1,256,9", list);  // 256 would be a 0 byte, the list's end
    EXPECT_EQ(codesOf(list), (std::vector<std::uint8_t>{5, 7, 255, 9}));
    // Written by hand with blanks or semicolons, every code counts, not the first alone.
    parseOptionCodeList(" 1 3;6 ,\t42", list);
    EXPECT_EQ(codesOf(list), (std::vector<std::uint8_t>{1, 3, 6, 42}));
    std::string many;
    for (int i = 1; i <= 70; ++i) many += std::to_string(i) + ",";
    parseOptionCodeList(many, list);
    EXPECT_EQ(list.size(), 63u);
    EXPECT_EQ(list.codes[62], 63);
}

TEST_F(SettingsTest, MulticastAddressAndSwitch) {
    writeFile(ini(), "[Dorvane]\nMulticastIp=239.1.2.300\n");
    TftpSettings tftp;
    MulticastSettings multicast;
    readTftpSettings(store_, kGeneralSection, kDataDir, tftp, multicast);
    EXPECT_EQ(multicast.address, makeIpv4(224, 0, 0, 1));

    tftp = TftpSettings{};
    multicast.multicast = 1;
    multicast.address = makeIpv4(239, 1, 2, 3);
    writeTftpSettings(store_, kGeneralSection, tftp, multicast);
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nMulticastIp=239.1.2.3\nMulticast=1\n");
    multicast = MulticastSettings{};
    writeTftpSettings(store_, kGeneralSection, tftp, multicast);
    EXPECT_EQ(readFile(ini()), "[Dorvane]\n");
}

TEST_F(SettingsTest, WrittenSettingsReadBackInTheirOrder) {
    GeneralSettings general{.log = 2,
                            .createLog = 1,
                            .port = 1067 /* never written */,
                            .detect = 1,
                            .unicast = 1,
                            .bootp = 0,
                            .dhcp = 0,
                            .changeIp = 1,
                            .testIp = 1,
                            .updateEthers = 0,
                            .enableMac = 0,
                            .enableId = 3,
                            .enableRa = 1,
                            .name2Uc = 1,
                            .relayAgent = 0x101,
                            .regOnly = 1,
                            .lookup = 0,
                            .autoConfigure = 0,
                            .relaySrc = 1,
                            .soleServer = 1,
                            .macRange = parseMacRange("0:1:2,aa:bb")};
    writeGeneralSettings(store_, kGeneralSection, general);

    TftpSettings tftp{.port = 1069,
                      .dataPort = 2000,
                      .timeout = 3,
                      .retransmit = 2,
                      .clients = 5,
                      .options = 1,
                      .unixStyle = 1,
                      .mmf = 0,
                      .mmfMax = 4096,
                      .rootIpSpecific = 1,
                      .rootProfile = 1,
                      .windowSize = 4,
                      .enable = 1,
                      .mode = 3,
                      .flags = 1 /* never written */,
                      .prefix = "boot/",
                      .directory = "/srv/tftp/"};
    MulticastSettings multicast{1, makeIpv4(239, 0, 0, 9), 2000, 65535, 4};
    writeTftpSettings(store_, kGeneralSection, tftp, multicast);

    EXPECT_EQ(readFile(ini()),
              "[Dorvane]\nUpdateEthers=0\nLog=2\nCreateLog=1\nLookup=0\nDetect=1\nRegOnly=1\nBootp=0\nDHCP=0\n"
              "EnableMAC=0\nName2UC=1\nEnableID=3\nEnableRA=1\nRelayAgent=257\nSoleServer=1\nUnicast=1\n"
              "AutoConfigure=0\nChangeIP=1\nTestIP=1\nRelaySrc=1\nMacRange=0:1:2,aa:bb\n"
              "TFTPEnable=1\nTFTPPort=1069\nTFTPMode=3\nTFTPDirectory=/srv/tftp/\nTFTPRootIPspecific=1\n"
              "TFTPRootProfile=1\nTFTPPrefix=boot/\nTFTPDataPort=2000\nTFTPClients=5\nTFTPWindowSize=4\n"
              "TFTPTimeout=3\nTFTPRetransmit=2\nTFTPOptions=1\nTFTPUnixStyle=1\nTFTPmmf=0\nTFTPMMFmax=4096\n"
              "Multicast=1\nMulticastIp=239.0.0.9\nMulticastPort=2000\nMulticastTTL=4\n");

    GeneralSettings expectedGeneral = general;
    expectedGeneral.port = 67;
    EXPECT_EQ(readGeneral().general, expectedGeneral);
    TftpSettings readTftp;
    MulticastSettings readMulticast;
    readTftpSettings(store_, kGeneralSection, kDataDir, readTftp, readMulticast);
    TftpSettings expectedTftp = tftp;
    expectedTftp.flags = 0;
    EXPECT_EQ(readTftp, expectedTftp);
    EXPECT_EQ(readMulticast, multicast);

    // A block the disk cannot take whole leaves the file as it was: TFTP switched off but still
    // on the old root is a mix nobody set.
    const std::string whole = readFile(ini());
    TftpSettings moved = tftp;
    moved.enable = 0;
    moved.directory = "/srv/tftp/images/for/the/new/lab/";
    {
        FileSizeLimit full(whole.size() + 4);
        EXPECT_FALSE(writeTftpSettings(store_, kGeneralSection, moved, multicast));
        general.log = 0;
        general.macRange = parseMacRange("00:0c:29,08:00:27,52:54:00");
        EXPECT_FALSE(writeGeneralSettings(store_, kGeneralSection, general));
    }
    EXPECT_EQ(readFile(ini()), whole);

    // Back to the defaults: only the keys the writers never touch remain.
    writeFile(ini(), readFile(ini()) + "Port=1067\nDelay=5\n");
    writeGeneralSettings(store_, kGeneralSection, GeneralSettings{});
    writeTftpSettings(store_, kGeneralSection, TftpSettings{}, MulticastSettings{});
    EXPECT_EQ(readFile(ini()), "[Dorvane]\nPort=1067\nDelay=5\n");
}

TEST_F(SettingsTest, ConfiguredOnlyKeysAndTextsAreRead) {
    writeFile(ini(),
              "[Dorvane]\nPort=1067\nIdWildcard=42\nMagicNumber=0\nDelay=50\nMacRange=0:1:2\n"
              "Directory=/var/log/tolmark/\nTFTPFlags=2\nMulticastLast=3000\n");
    const DhcpSettings settings = readGeneral();
    EXPECT_EQ(settings.general.port, 1067);
    EXPECT_EQ(settings.general.idWildcard, 42);
    EXPECT_EQ(settings.general.magicNumber, 0);
    EXPECT_EQ(settings.general.delay, 50);
    EXPECT_EQ(settings.general.macRange, parseMacRange("0:1:2"));
    EXPECT_EQ(settings.directory, "/var/log/tolmark/");
    TftpSettings tftp;
    MulticastSettings multicast;
    readTftpSettings(store_, kGeneralSection, kDataDir, tftp, multicast);
    EXPECT_EQ(tftp.flags, 2);
    EXPECT_EQ(multicast.last, 3000);
}

}  // namespace
}  // namespace tolmark
