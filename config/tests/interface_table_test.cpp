#include "config/interface_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "config/tests/finding_recorder.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

using testing::CapturingLog;
using testing::FakeHostAddresses;

class InterfaceTableTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ =
            std::filesystem::temp_directory_path() / ("iftable-" + std::to_string(::getpid()) + "-" +
                                                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
        store_.setIniPath(dir_.string() + "/", "Dorvane");
        host_.rows = {{makeIpv4(127, 0, 0, 1), makeIpv4(255, 0, 0, 0), 1},
                      {makeIpv4(10, 0, 0, 1), makeIpv4(255, 0, 0, 0), 2},
                      {makeIpv4(192, 168, 1, 1), makeIpv4(255, 255, 255, 0), 3}};
    }
    void TearDown() override { std::filesystem::remove_all(dir_); }

    std::int32_t flagsOf(const InterfaceTable& t, Ipv4 a) {
        int i = t.indexOf(a);
        return i == 0 ? -1 : t.entry(static_cast<std::size_t>(i - 1))->flags;
    }

    std::filesystem::path dir_;
    ConfigStore store_{(std::filesystem::temp_directory_path() / "iftable-registry.ini").string()};
    FakeHostAddresses host_;
    CapturingLog log_{2};
};

TEST_F(InterfaceTableTest, IncludeServesOnlyListedAddressesAndKeepsAbsentOnes) {
    store_.writeText("Dorvane", "Include", "10.0.0.1, 172.16.0.1,bogus");
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    EXPECT_EQ(t.selectionMode(), 1);
    EXPECT_EQ(t.indexOf(makeIpv4(127, 0, 0, 1)), 0);
    EXPECT_EQ(flagsOf(t, makeIpv4(10, 0, 0, 1)), kIfPresent | kIfServed);
    EXPECT_EQ(flagsOf(t, makeIpv4(192, 168, 1, 1)), kIfPresent);
    auto absent = t.entry(static_cast<std::size_t>(t.indexOf(makeIpv4(172, 16, 0, 1)) - 1));
    ASSERT_TRUE(absent);
    EXPECT_EQ(absent->flags, kIfServed);
    EXPECT_EQ(absent->mask, makeIpv4(255, 255, 0, 0));
    EXPECT_EQ(absent->ifIndex, -1);
    // The start-up lines list the present entries only.
    EXPECT_EQ(log_.lines,
              (std::vector<std::string>{"local IP address 10.0.0.1\n", "local IP address 192.168.1.1, excluded\n"}));

    // When the host gets the address it becomes present and stays served.
    host_.rows.push_back({makeIpv4(172, 16, 0, 1), makeIpv4(255, 255, 0, 0), 4});
    log_.lines.clear();
    ASSERT_TRUE(t.reload(host_, 200, log_));
    EXPECT_EQ(flagsOf(t, makeIpv4(172, 16, 0, 1)), kIfPresent | kIfServed);
    EXPECT_EQ(log_.lines, std::vector<std::string>{"local IP address 172.16.0.1, added\n"});
}

TEST_F(InterfaceTableTest, ExcludeAndTrustedFlags) {
    store_.writeText("Dorvane", "Exclude", "192.168.1.1");
    store_.writeText("Dorvane", "Trusted", "10.0.0.1");
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    EXPECT_EQ(t.selectionMode(), 0);
    EXPECT_EQ(flagsOf(t, makeIpv4(10, 0, 0, 1)), kIfPresent | kIfServed | kIfTrusted);
    EXPECT_EQ(flagsOf(t, makeIpv4(192, 168, 1, 1)), kIfPresent);
    EXPECT_TRUE(t.isTrusted(makeIpv4(10, 0, 0, 1)));
    EXPECT_FALSE(t.isTrusted(makeIpv4(192, 168, 1, 1)));
    EXPECT_EQ(log_.lines, (std::vector<std::string>{"local IP address 10.0.0.1, trusted\n",
                                                    "local IP address 192.168.1.1, excluded\n"}));
    EXPECT_EQ(t.ifIndexForNeighbour(makeIpv4(192, 168, 1, 77)), 3);
    EXPECT_EQ(t.ifIndexForNeighbour(makeIpv4(172, 20, 0, 1)), -1);
}

// Interfaces that are down at the start (a VPN or a bridge that comes up later), one excluded
// and one trusted: when they appear, the one is not served and the other is trusted, and a
// rewrite of the lists keeps both.
TEST_F(InterfaceTableTest, ListedAddressesTheHostGetsLaterKeepTheirFlags) {
    store_.writeText("Dorvane", "Exclude", "192.168.1.1,172.16.0.1");
    store_.writeText("Dorvane", "Trusted", "10.5.0.1");
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    EXPECT_EQ(flagsOf(t, makeIpv4(172, 16, 0, 1)), 0);
    ASSERT_TRUE(t.writeKeys(store_, "Dorvane"));
    EXPECT_EQ(store_.readText("Dorvane", "Exclude", "", 512), "192.168.1.1,172.16.0.1");
    EXPECT_EQ(store_.readText("Dorvane", "Trusted", "", 512), "10.5.0.1");
    host_.rows.push_back({makeIpv4(172, 16, 0, 1), makeIpv4(255, 255, 255, 0), 4});
    host_.rows.push_back({makeIpv4(10, 5, 0, 1), makeIpv4(255, 255, 0, 0), 5});
    log_.lines.clear();
    ASSERT_TRUE(t.reload(host_, 200, log_));
    EXPECT_EQ(flagsOf(t, makeIpv4(172, 16, 0, 1)), kIfPresent);
    EXPECT_EQ(flagsOf(t, makeIpv4(10, 5, 0, 1)), kIfPresent | kIfServed | kIfTrusted);
    EXPECT_TRUE(t.isTrusted(makeIpv4(10, 5, 0, 1)));
    EXPECT_EQ(t.entry(static_cast<std::size_t>(t.indexOf(makeIpv4(172, 16, 0, 1)) - 1))->mask,
              makeIpv4(255, 255, 255, 0));
    EXPECT_EQ(log_.lines,
              (std::vector<std::string>{"local IP address 172.16.0.1, added\n", "local IP address 10.5.0.1, added\n"}));
}

// Lists written by hand with blanks or semicolons between the addresses: each address counts,
// so that the second of "Exclude=a b" is not served against the administrator's word.
TEST_F(InterfaceTableTest, ListItemsMayBeSeparatedByBlanksOrSemicolons) {
    host_.rows.push_back({makeIpv4(172, 16, 0, 1), makeIpv4(255, 255, 0, 0), 4});
    const struct {
        const char* exclude;
        std::int32_t flags10, flags192, flags172;
    } rows[] = {
        {"192.168.1.1 10.0.0.1", kIfPresent, kIfPresent, kIfPresent | kIfServed},
        {" 192.168.1.1 ,\t10.0.0.1 ; 172.16.0.1 ", kIfPresent, kIfPresent, kIfPresent},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.exclude);
        store_.writeText("Dorvane", "Exclude", row.exclude);
        InterfaceTable t;
        ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
        EXPECT_EQ(flagsOf(t, makeIpv4(10, 0, 0, 1)), row.flags10);
        EXPECT_EQ(flagsOf(t, makeIpv4(192, 168, 1, 1)), row.flags192);
        EXPECT_EQ(flagsOf(t, makeIpv4(172, 16, 0, 1)), row.flags172);
    }

    // The check names what the start skips or reads only in part.
    testing::FindingRecorder sink;
    store_.writeText("Dorvane", "Exclude", "10.0.0.1x;bogus");
    store_.setFindings(&sink);
    reportAddressLists(store_, "Dorvane");
    store_.setFindings(nullptr);
    EXPECT_EQ(sink.lines,
              (std::vector<std::string>{
                  "Dorvane Exclude: \"10.0.0.1x\" is an address followed by other text; the start takes it as 10.0.0.1",
                  "Dorvane Exclude: \"bogus\" is not an IPv4 address; the start skips this item of the list"}));
}

TEST_F(InterfaceTableTest, AddressLeavingAndComingBackKeepsFlagsAndLogsOnce) {
    store_.writeText("Dorvane", "Exclude", "192.168.1.1");
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    log_.lines.clear();
    auto saved = host_.rows;
    host_.rows.pop_back();
    ASSERT_TRUE(t.reload(host_, 200, log_));
    ASSERT_TRUE(t.reload(host_, 300, log_));  // still missing: no second line, time kept
    EXPECT_EQ(log_.lines, std::vector<std::string>{"local IP address 192.168.1.1, removed\n"});
    EXPECT_EQ(flagsOf(t, makeIpv4(192, 168, 1, 1)), 0);
    EXPECT_EQ(t.entry(1).value().missingSince, 200);
    host_.rows = saved;
    ASSERT_TRUE(t.reload(host_, 400, log_));
    EXPECT_EQ(flagsOf(t, makeIpv4(192, 168, 1, 1)), kIfPresent);
    EXPECT_EQ(t.entry(1).value().missingSince, -1);
    EXPECT_EQ(log_.lines.back(), "local IP address 192.168.1.1, added\n");
}

// One address on two interfaces (a service address on the loopback and on a network card, say):
// an entry each, and every reload keeps each entry on its own interface, whatever the order the
// host lists them in. A copy that appears later is served as the address is.
TEST_F(InterfaceTableTest, AnAddressOnTwoInterfacesKeepsAnEntryForEach) {
    const Ipv4 shared = makeIpv4(10, 0, 0, 1);
    const Ipv4 mask = makeIpv4(255, 0, 0, 0);
    store_.writeText("Dorvane", "Include", "10.0.0.1");
    store_.writeText("Dorvane", "Trusted", "10.0.0.1");
    host_.rows.push_back({shared, mask, 4});
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    const auto interfacesOf = [&] {
        std::vector<std::pair<int, std::int32_t>> seen;
        for (const InterfaceEntry& e : t.entries())
            if (e.address == shared) seen.emplace_back(e.ifIndex, e.flags);
        return seen;
    };
    const std::vector<std::pair<int, std::int32_t>> both = {{2, kIfPresent | kIfServed | kIfTrusted},
                                                            {4, kIfPresent | kIfServed | kIfTrusted}};
    EXPECT_EQ(interfacesOf(), both);
    log_.lines.clear();
    ASSERT_TRUE(t.reload(host_, 200, log_));
    std::reverse(host_.rows.begin(), host_.rows.end());
    ASSERT_TRUE(t.reload(host_, 300, log_));
    EXPECT_EQ(interfacesOf(), both);
    EXPECT_EQ(log_.lines, std::vector<std::string>{});
    t.writeKeys(store_, "Dorvane");
    EXPECT_EQ(store_.readText("Dorvane", "Include", "", 512), "10.0.0.1");

    // One copy goes and comes back; a third one appears.
    host_.rows.erase(std::find_if(host_.rows.begin(), host_.rows.end(),
                                  [&](const platform::HostAddress& r) { return r.ifIndex == 4; }));
    ASSERT_TRUE(t.reload(host_, 400, log_));
    EXPECT_EQ(interfacesOf(),
              (std::vector<std::pair<int, std::int32_t>>{{2, both[0].second}, {4, kIfServed | kIfTrusted}}));
    host_.rows.push_back({shared, mask, 4});
    host_.rows.push_back({shared, mask, 7});
    ASSERT_TRUE(t.reload(host_, 500, log_));
    EXPECT_EQ(interfacesOf(), (std::vector<std::pair<int, std::int32_t>>{both[0], both[1], {7, both[0].second}}));
    EXPECT_EQ(log_.lines,
              (std::vector<std::string>{"local IP address 10.0.0.1, removed\n", "local IP address 10.0.0.1, added\n",
                                        "local IP address 10.0.0.1, added\n"}));
}

TEST_F(InterfaceTableTest, FullTableReusesTheLongestMissingEntry) {
    host_.rows.clear();
    for (int i = 0; i < 32; ++i)
        host_.rows.push_back({makeIpv4(10, 1, 0, static_cast<std::uint8_t>(i + 1)), makeIpv4(255, 255, 255, 0), 2});
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    ASSERT_EQ(t.size(), 32u);
    // .5 goes first, then .9: .5 has been missing longest.
    host_.rows.erase(host_.rows.begin() + 4);
    t.reload(host_, 200, log_);
    host_.rows.erase(host_.rows.begin() + 7);  // 10.1.0.9
    t.reload(host_, 300, log_);
    host_.rows.push_back({makeIpv4(10, 2, 0, 1), makeIpv4(255, 255, 255, 0), 5});
    t.reload(host_, 400, log_);
    EXPECT_EQ(t.size(), 32u);
    EXPECT_EQ(t.entry(4)->address, makeIpv4(10, 2, 0, 1));
    EXPECT_EQ(t.entry(4)->flags, kIfPresent);  // listed, not served
    EXPECT_EQ(t.entry(8)->address, makeIpv4(10, 1, 0, 9));
    // With every entry present, a further newcomer is not taken.
    host_.rows.push_back({makeIpv4(10, 1, 0, 9), makeIpv4(255, 255, 255, 0), 2});
    host_.rows.push_back({makeIpv4(10, 3, 0, 1), makeIpv4(255, 255, 255, 0), 6});
    t.reload(host_, 500, log_);
    EXPECT_EQ(t.indexOf(makeIpv4(10, 3, 0, 1)), 0);
}

TEST_F(InterfaceTableTest, HostTableFailureLeavesTableEmpty) {
    host_.fail = true;
    InterfaceTable t;
    EXPECT_FALSE(t.build(store_, "Dorvane", host_, 100, log_));
    EXPECT_EQ(t.size(), 0u);
    EXPECT_FALSE(t.reload(host_, 200, log_));
    EXPECT_EQ(log_.lines, std::vector<std::string>{"local IP address reload failed\n"});
}

// The host's table cannot be read at the start: the lists still hold at the first reload that
// reads it, in either selection mode.
TEST_F(InterfaceTableTest, ListsHoldWhenTheHostTableComesOnlyAtAReload) {
    for (const char* key : {"Include", "Exclude"}) {
        SCOPED_TRACE(key);
        store_.writeText("Dorvane", "Include", std::nullopt);
        store_.writeText("Dorvane", key, "192.168.1.1");
        store_.writeText("Dorvane", "Trusted", "192.168.1.1");
        host_.fail = true;
        InterfaceTable t;
        EXPECT_FALSE(t.build(store_, "Dorvane", host_, 100, log_));
        host_.fail = false;
        ASSERT_TRUE(t.reload(host_, 200, log_));
        const bool include = std::string_view(key) == "Include";
        EXPECT_EQ(flagsOf(t, makeIpv4(192, 168, 1, 1)), kIfPresent | kIfTrusted | (include ? kIfServed : 0));
        EXPECT_EQ(flagsOf(t, makeIpv4(10, 0, 0, 1)), kIfPresent | (include ? 0 : kIfServed));
        ASSERT_TRUE(t.writeKeys(store_, "Dorvane"));
        EXPECT_EQ(store_.readText("Dorvane", key, "", 512), "192.168.1.1");
        store_.writeText("Dorvane", key, std::nullopt);
    }
}

TEST_F(InterfaceTableTest, WritingKeysFollowsTheFlagsAndKeepsAbsentAddresses) {
    store_.writeText("Dorvane", "Include", "10.0.0.1,172.16.0.1");
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    t.setServed(makeIpv4(192, 168, 1, 1), true);
    t.setServed(makeIpv4(10, 0, 0, 1), false);
    t.setTrusted(makeIpv4(192, 168, 1, 1), true);
    ASSERT_TRUE(t.writeKeys(store_, "Dorvane"));
    // The absent 172.16.0.1 stays listed so that it is served once it appears.
    EXPECT_EQ(store_.readText("Dorvane", "Include", "", 512), "192.168.1.1,172.16.0.1");
    EXPECT_EQ(store_.readText("Dorvane", "Exclude", "none", 512), "none");
    EXPECT_EQ(store_.readText("Dorvane", "Trusted", "", 512), "192.168.1.1");
    t.setTrusted(makeIpv4(192, 168, 1, 1), false);
    ASSERT_TRUE(t.writeKeys(store_, "Dorvane"));
    EXPECT_EQ(store_.readText("Dorvane", "Trusted", "none", 512), "none");
}

TEST_F(InterfaceTableTest, ExcludeModeWritesTheAddressesNotServed) {
    InterfaceTable t;
    ASSERT_TRUE(t.build(store_, "Dorvane", host_, 100, log_));
    t.setServed(makeIpv4(192, 168, 1, 1), false);
    ASSERT_TRUE(t.writeKeys(store_, "Dorvane"));
    EXPECT_EQ(store_.readText("Dorvane", "Exclude", "", 512), "192.168.1.1");
    EXPECT_EQ(store_.readText("Dorvane", "Include", "none", 512), "none");
}

TEST(ClassMask, ByFirstNumber) {
    EXPECT_EQ(classMask(makeIpv4(192, 0, 0, 1)), makeIpv4(255, 255, 255, 0));
    EXPECT_EQ(classMask(makeIpv4(191, 0, 0, 1)), makeIpv4(255, 255, 0, 0));
    EXPECT_EQ(classMask(makeIpv4(128, 0, 0, 1)), makeIpv4(255, 255, 0, 0));
    EXPECT_EQ(classMask(makeIpv4(127, 0, 0, 1)), makeIpv4(255, 0, 0, 0));
}

}  // namespace
}  // namespace tolmark
