#include "config/profiles.h"

#include <gtest/gtest.h>

#include <vector>

#include "config/tests/finding_recorder.h"
#include "config/tests/temp_directory.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

using testing::CapturingLog;
using testing::FakeHostAddresses;
using testing::TempDirectory;
using Bytes = std::vector<std::uint8_t>;

class ProfilesTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(store_.setIniPath(dir_.path(), "Dorvane")); }

    void writeIni(const std::string& text) { testing::writeFile(dir_.file("Dorvane.ini"), text); }
    std::size_t load(bool verbose = false) {
        return profiles_.load(store_, builtInDefaultOptions(), interfaces_, log_, verbose);
    }
    std::string read(std::string_view section, std::string_view key) {
        return store_.readText(section, key, "<none>", 1024);
    }
    static Bytes area(const Profile& p, std::size_t n) { return Bytes(p.options.begin(), p.options.begin() + n); }

    TempDirectory dir_;
    ConfigStore store_{dir_.file("registry.ini")};
    InterfaceTable interfaces_;
    CapturingLog log_{2};
    ProfileList profiles_;
};

TEST_F(ProfilesTest, LoadsContiguousIndexesAndLogsEachProfile) {
    writeIni(
        "[Dorvane]\nProfile0=Office\nProfile1=Lab\nProfile3=Lost\n"
        "[Office]\nInterfaceIP=192.168.1.1\nBaseIP=192.168.1.100\nRange=50\n"
        "[Lab]\nMacClass=00:0c:29\nBaseIP=10.0.0.100\n"
        "[Lost]\nBaseIP=10.9.0.1\n");
    EXPECT_EQ(load(true), 2u);
    EXPECT_EQ(profiles_.poolTotal(), 51);
    EXPECT_EQ(log_.lines,
              (std::vector<std::string>{"loading profile Office 5 192.168.1.1\n", "loading profile Lab 1\n"}));
    EXPECT_EQ(profiles_.find("LAB"), &profiles_.profiles()[1]);
    EXPECT_EQ(profiles_.find("Lost"), nullptr);
    EXPECT_EQ(profiles_.findOrFirst("Lost"), profiles_.first());

    log_.lines.clear();
    writeIni("[Dorvane]\nProfile0=A\nProfile2=C\n[Standard]\nLease=1\n");
    EXPECT_EQ(load(false), 1u);
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_EQ(profiles_.profiles()[0].lease, 36000);
}

TEST_F(ProfilesTest, PoolRules) {
    writeIni(
        "[Dorvane]\nProfile0=One\nProfile1=None\nProfile2=Negative\nProfile3=Top\n"
        "[One]\nBaseIP=10.0.0.100\n[None]\nRange=50\n"
        "[Negative]\nBaseIP=10.0.0.1\nRange=-5\n[Top]\nBaseIP=255.255.255.250\nRange=100\n");
    ASSERT_EQ(load(), 4u);
    const auto& p = profiles_.profiles();
    EXPECT_EQ(p[0].range, 1);
    EXPECT_TRUE(p[0].poolContains(makeIpv4(10, 0, 0, 100)));
    EXPECT_FALSE(p[0].poolContains(makeIpv4(10, 0, 0, 101)));
    EXPECT_FALSE(p[1].hasPool());
    EXPECT_EQ(p[1].range, 0);
    EXPECT_EQ(p[2].range, 1);  // a negative range counts as none given
    EXPECT_EQ(p[3].range, 6);  // cut at 255.255.255.255
    EXPECT_TRUE(p[3].poolContains(kBroadcastAll));
    EXPECT_FALSE(p[3].poolContains(makeIpv4(255, 255, 255, 249)));
    EXPECT_EQ(profiles_.poolTotal(), 8);
}

TEST_F(ProfilesTest, FirstPresentSelectorKeyDecides) {
    writeIni(
        "[Dorvane]\nProfile0=Mac\nProfile1=BadMac\nProfile2=Relay\nProfile3=NotRelay\nProfile4=Cid\n"
        "[Mac]\nUserClass=\"staff\nMacClass=00-0c-29\n"
        "[BadMac]\nMacClass=\nUserClass=\"staff\n"
        "[Relay]\nRelayIP=10.1.0.1\nRemoteID=\"rack7\nInterfaceIP=192.168.1.1\n"
        "[NotRelay]\nRelayIP=relay\nInterfaceIP=192.168.1.1\n"
        "[Cid]\nCidClass=xyz\nVendorClass=\"PXE\n");
    ASSERT_EQ(load(), 5u);
    const auto& p = profiles_.profiles();
    EXPECT_EQ(p[0].selectorKind, SelectorKind::MacClass);
    EXPECT_EQ(Bytes(p[0].selectorValue.value().begin(), p[0].selectorValue.value().end()), (Bytes{0, 0x0C, 0x29}));
    EXPECT_EQ(p[1].selectorKind, SelectorKind::None);
    EXPECT_EQ(p[2].selectorKind, SelectorKind::Relay);
    EXPECT_EQ(p[2].selectorAddress, makeIpv4(10, 1, 0, 1));
    EXPECT_EQ(p[2].relaySelectorType, RelaySelectorType::RemoteId);
    EXPECT_EQ(p[2].selectorForm, kValueFormText);
    EXPECT_EQ(p[2].selectorValue.length, 5);
    EXPECT_EQ(p[3].selectorKind, SelectorKind::Interface);
    EXPECT_EQ(p[3].selectorAddress, makeIpv4(192, 168, 1, 1));
    EXPECT_EQ(p[4].selectorKind, SelectorKind::None);  // invalid CidClass still decides
}

// A selector key that decides but gives no selector leaves a profile for clients of any class;
// an address key is read up to its first address; an address line shorter than one address
// leaves the option out. The check says each.
TEST_F(ProfilesTest, TheCheckNamesSelectorsAndLinesThatGiveNothing) {
    testing::FindingRecorder sink;
    writeIni(
        "[Dorvane]\nProfile0=Mac\nProfile1=User\nProfile2=Relay\nProfile3=Lines\nProfile4=Circuit\n"
        "[Mac]\nMacClass=zz\n[User]\nUserClass=\"staff\"\n[Relay]\nRelayIP=10.0.0.300\nInterfaceIP=10.0.0.1\n"
        "[Lines]\nUserClass=\"staff\nGatewayIP=10.0.0.1,10.0.0.2\nRange=-5 addresses too many\nOpt150=150 3 "
        "10.0.0.1\nOpt255=255 1 1\nOpt043=43 1 7\nOptions=1\n[Circuit]\nRelayIP=10.0.0.9\nCircuitID=port 7\n");
    store_.setFindings(&sink);
    ASSERT_EQ(load(), 5u);
    store_.setFindings(nullptr);
    // Long entries are written as adjacent literals.
    EXPECT_EQ(sink.lines,
              (std::vector<std::string>{
                  // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
                  "Mac MacClass: \"zz\" holds no hexadecimal byte; the start gives the profile no selector: it is "
                  "for clients of any class",
                  "User UserClass: \"staff\" is neither hexadecimal nor a text after a double quote; the start gives "
                  "the profile no selector: it is for clients of any class",
                  "Relay RelayIP: \"10.0.0.300\" is not an IPv4 address; the start does not make it a relay profile",
                  "Lines Range: \"-5 addresses too many\" is a number followed by other text; the start reads it as -5",
                  "Lines Range: -5 is negative; the start has no pool",
                  "Lines GatewayIP: \"10.0.0.1,10.0.0.2\" is an address followed by other text; the start takes it "
                  "as 10.0.0.1",
                  "Lines Opt150: \"150 3 10.0.0.1\": the length is below one address; the start leaves this option "
                  "out of the profile",
                  "Lines Opt255: is not an option key (Opt1 to Opt254); the start does not read it",
                  "Lines Opt043: is not an option key (Opt1 to Opt254); the start does not read it",
                  "Circuit CircuitID: \"port 7\" is neither hexadecimal nor a text after a double quote; the start "
                  "gives the profile no CircuitID: it is for every request from its relay"}));
}

TEST_F(ProfilesTest, ReadsKeysWithDefaultsFallbacksAndFieldLimits) {
    writeIni(
        "[Dorvane]\nProfile0=P\n[P]\nTimeIP=10.0.0.7\nNTPIP=10.0.0.8\nNTP1IP=10.0.0.9\nDNS2IP=10.0.0.300\n"
        "Gateway3IP= 10.0.0.3\nBootName=" +
        std::string(70, 'b') + "\nSendOptions=1,3,300\nDNSUpdate=0\nLease=60\n");
    ASSERT_EQ(load(), 1u);
    const Profile& p = profiles_.profiles()[0];
    EXPECT_EQ(p.time[0], makeIpv4(10, 0, 0, 7));
    EXPECT_EQ(p.ntp[0], makeIpv4(10, 0, 0, 9));
    EXPECT_EQ(p.dns[1], 0u);
    EXPECT_EQ(p.gateway[2], makeIpv4(10, 0, 0, 3));
    EXPECT_EQ(p.bootName, std::string(63, 'b'));
    EXPECT_EQ(p.sendOptions.codes[2], 44);
    EXPECT_EQ(p.sendOptions.size(), 3u);
    EXPECT_EQ(p.dnsUpdate, 0);
    EXPECT_EQ(p.lease, 60);
}

TEST_F(ProfilesTest, OptionEntriesInCodeOrderWithinTheArea) {
    std::string ini =
        "[Dorvane]\nProfile0=P\n[P]\nOpt150=150 8 10.0.0.1 10.0.0.2\nOpt43=43 3 1 2 3\n"
        "Opt3=3 4 10.0.0.1\nOpt44=44 6 10.0.0.1\n";
    // Two 203-byte texts fit; the third would leave no room for the ending 0s, a small one still does.
    for (int code = 200; code <= 202; ++code)
        ini += "Opt" + std::to_string(code) + "=" + std::to_string(code) + " 200 \"" + std::string(200, 't') + "\n";
    ini += "Opt210=210 1 9\n";
    writeIni(ini);
    ASSERT_EQ(load(), 1u);
    const Profile& p = profiles_.profiles()[0];
    EXPECT_EQ(area(p, 17), (Bytes{kOptionBytes, 43, 3, 1, 2, 3, kOptionAddresses, 150, 8, 10, 0, 0, 1, 10, 0, 0, 2}));
    EXPECT_EQ(p.options[17], kOptionText);
    EXPECT_EQ(p.options[18], 200);
    EXPECT_EQ(p.options[17 + 203 + 1], 201);
    const std::size_t small = 17 + 2 * 203;
    EXPECT_EQ(Bytes(p.options.begin() + small, p.options.begin() + small + 4), (Bytes{kOptionBytes, 210, 1, 9}));
    for (std::size_t i = small + 4; i < kOptionAreaSize; ++i) ASSERT_EQ(p.options[i], 0) << i;
    EXPECT_TRUE(isValidOptionArea(p.options));
}

TEST_F(ProfilesTest, ConvertsOldKeysIntoOptionLines) {
    writeIni(
        "[Dorvane]\nProfile0=P\n[P]\nSMTPIP=10.0.0.25\nWWWIP=none\nMobilIP=0.0.0.0\n"
        "Extensions=43 1 7 150 4 10.0.0.9 junk\n");
    ASSERT_EQ(load(), 1u);
    EXPECT_EQ(read("P", "Opt69"), "69 4 10 0 0 25");
    EXPECT_EQ(read("P", "SMTPIP"), "<none>");
    EXPECT_EQ(read("P", "WWWIP"), "none");
    // 0.0.0.0 is no address: no option 68 of zeros for every client that asks for it.
    EXPECT_EQ(read("P", "Opt68"), "<none>");
    EXPECT_EQ(read("P", "Opt43"), "43 1 7");
    EXPECT_EQ(read("P", "Opt150"), "150 4 10.0.0.9");
    EXPECT_EQ(read("P", "Extensions"), "junk");
    const Profile& p = profiles_.profiles()[0];
    EXPECT_EQ(
        area(p, 20),
        (Bytes{
            kOptionBytes, 43, 1, 7, kOptionBytes, 69, 4, 10, 0, 0, 25, kOptionAddresses, 150, 4, 10, 0, 0, 9, 0, 0}));
}

// An old "Extensions" value longer than a line read holds is converted whole: none of it is
// cut off and lost, nor is its last line read short.
TEST_F(ProfilesTest, ConvertsALongExtensionsValueWhole) {
    std::string extensions;
    for (int code = 100; code < 200; ++code)
        extensions += std::to_string(code) + " 4 10.0.0." + std::to_string(code - 99) + " ";
    writeIni("[Dorvane]\nProfile0=P\n[P]\nExtensions=" + extensions + "\n");
    ASSERT_EQ(load(), 1u);
    EXPECT_EQ(read("P", "Opt164"), "164 4 10.0.0.65");
    EXPECT_EQ(read("P", "Opt199"), "199 4 10.0.0.100");
    EXPECT_EQ(read("P", "Extensions"), "<none>");
}

TEST_F(ProfilesTest, FreshConfigurationGetsOneProfilePerServedInterface) {
    FakeHostAddresses host;
    host.rows = {{makeIpv4(192, 168, 1, 10), makeIpv4(255, 255, 255, 0), 2},
                 {makeIpv4(172, 16, 0, 1), makeIpv4(255, 255, 0, 0), 3},
                 {makeIpv4(10, 1, 2, 3), makeIpv4(255, 0, 0, 0), 4},
                 {makeIpv4(10, 9, 9, 9), makeIpv4(255, 255, 255, 255), 5}};
    writeIni("[Dorvane]\nExclude=172.16.0.1\n");
    ASSERT_TRUE(interfaces_.build(store_, kGeneralSection, host, 0, log_));
    // Profiles the disk cannot take all together are not written at all, so that the next
    // start creates them all rather than finding some and never making the rest.
    {
        testing::FileSizeLimit full(200);
        EXPECT_EQ(load(), 0u);
    }
    EXPECT_EQ(testing::readFile(dir_.file("Dorvane.ini")), "[Dorvane]\nExclude=172.16.0.1\n");
    ASSERT_EQ(load(), 3u);
    const auto& p = profiles_.profiles();
    EXPECT_EQ(p[0].name, "If-1_1.10");
    EXPECT_EQ(p[0].selectorKind, SelectorKind::Interface);
    EXPECT_EQ(p[0].selectorAddress, makeIpv4(192, 168, 1, 10));
    EXPECT_EQ(p[0].gateway[0], makeIpv4(192, 168, 1, 10));
    EXPECT_EQ(p[0].dns[0], makeIpv4(192, 168, 1, 10));
    EXPECT_EQ(p[0].subnetMask, makeIpv4(255, 255, 255, 0));
    EXPECT_EQ(p[0].baseIp, makeIpv4(192, 168, 1, 11));
    EXPECT_EQ(p[0].range, 244);
    EXPECT_EQ(p[1].name, "If-2_2.3");
    EXPECT_EQ(p[1].baseIp, makeIpv4(10, 1, 2, 4));
    EXPECT_TRUE(p[1].poolContains(makeIpv4(10, 255, 255, 254)));
    EXPECT_FALSE(p[1].poolContains(makeIpv4(10, 255, 255, 255)));
    // A host address alone in its subnet gets no pool rather than its own address.
    EXPECT_EQ(p[2].name, "If-3_9.9");
    EXPECT_FALSE(p[2].hasPool());
    EXPECT_EQ(read("If-3_9.9", "BaseIP"), "<none>");

    // Once written, the profiles are read again rather than created anew.
    ASSERT_EQ(load(), 3u);
    EXPECT_EQ(read(kGeneralSection, "Profile3"), "<none>");
}

TEST_F(ProfilesTest, LastHostAddressPoolsBelowIt) {
    FakeHostAddresses host;
    host.rows = {{makeIpv4(192, 168, 5, 254), makeIpv4(255, 255, 255, 0), 2}};
    ASSERT_TRUE(interfaces_.build(store_, kGeneralSection, host, 0, log_));
    createInterfaceProfiles(store_, interfaces_);
    EXPECT_EQ(read("If-1_5.254", "BaseIP"), "192.168.5.1");
    EXPECT_EQ(read("If-1_5.254", "Range"), "253");
}

}  // namespace
}  // namespace tolmark
