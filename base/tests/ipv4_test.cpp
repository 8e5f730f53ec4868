#include "base/ipv4.h"

#include <gtest/gtest.h>

namespace tolmark {
namespace {

TEST(Ipv4Text, FirstNumberIsLowestByteInMemory) {
    Ipv4 a = makeIpv4(192, 168, 1, 10);
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&a);
    EXPECT_EQ(bytes[0], 192);
    EXPECT_EQ(bytes[3], 10);
    EXPECT_STREQ(formatIpv4(a).c_str(), "192.168.1.10");
    EXPECT_EQ(ipv4ToHostOrder(a), 0xC0A8010Au);
    EXPECT_EQ(ipv4FromHostOrder(0xC0A8010Au), a);
    EXPECT_STREQ(formatIpv4(kBroadcastAll).c_str(), "255.255.255.255");
}

TEST(Ipv4Text, ParsesLikeTheFourNumberScan) {
    EXPECT_FALSE(parseIpv4("192.168.1.256").ok);
    EXPECT_EQ(parseIpv4("192.168.1.256").address, 0u);
    auto lead = parseIpv4(" 10.0.0.1");
    EXPECT_TRUE(lead.ok);
    EXPECT_EQ(lead.address, makeIpv4(10, 0, 0, 1));
    auto trailing = parseIpv4("10.0.0.1abc");
    EXPECT_TRUE(trailing.ok);
    EXPECT_EQ(trailing.end, 8u);
    EXPECT_TRUE(parseIpv4("10. 0. 0. 1").ok);  // blanks before each number are skipped
    EXPECT_FALSE(parseIpv4("10 .0.0.1").ok);   // but not before a dot
    EXPECT_FALSE(parseIpv4("10.0.0").ok);
    EXPECT_FALSE(parseIpv4("").ok);
    EXPECT_FALSE(parseIpv4("10.0.0.-1").ok);
    EXPECT_FALSE(parseIpv4("99999999999999999999.0.0.1").ok);
}

}  // namespace
}  // namespace tolmark
