#include "server/host/reply_destination.h"

#include <gtest/gtest.h>

namespace tolmark {
namespace {

class ReplyDestinationTest : public ::testing::Test {
protected:
    void SetUp() override {
        entry_.address = makeIpv4(192, 168, 1, 10);
        entry_.mask = makeIpv4(255, 255, 255, 0);
        entry_.flags = kIfPresent | kIfServed;
    }
    void setYiaddr(Ipv4 a) { plan_.yiaddr = a; }
    ReplyDestination choose() { return chooseReplyDestination(plan_, entry_, routing_); }

    ReplyPlan plan_;
    InterfaceEntry entry_;
    ReplyRouting routing_;
};

TEST_F(ReplyDestinationTest, RelayedRepliesGoToTheAgentOnTheServerPort) {
    plan_.relayAddress = makeIpv4(10, 0, 0, 1);
    plan_.broadcast = true;
    ReplyDestination d = choose();
    EXPECT_EQ(d.route, ReplyRoute::Relay);
    EXPECT_EQ(d.address, makeIpv4(10, 0, 0, 1));
    EXPECT_EQ(d.port, 67);
}

TEST_F(ReplyDestinationTest, BroadcastFlagWithAndWithoutNetBc) {
    plan_.broadcast = true;
    setYiaddr(makeIpv4(192, 168, 1, 50));
    plan_.sourceAddress = makeIpv4(192, 168, 1, 50);
    EXPECT_EQ(choose().address, kBroadcastAll);
    EXPECT_EQ(choose().port, 68);
    routing_.netBc = true;
    EXPECT_EQ(choose().address, makeIpv4(192, 168, 1, 255));
}

TEST_F(ReplyDestinationTest, InformAnswersGoToTheSourceAddress) {
    plan_.sourceAddress = makeIpv4(192, 168, 1, 77);
    ReplyDestination d = choose();
    EXPECT_EQ(d.route, ReplyRoute::Source);
    EXPECT_EQ(d.address, makeIpv4(192, 168, 1, 77));
}

TEST_F(ReplyDestinationTest, RenewalIsBroadcastUnlessUnicastIsSet) {
    plan_.sourceAddress = makeIpv4(192, 168, 1, 50);
    setYiaddr(makeIpv4(192, 168, 1, 50));
    EXPECT_EQ(choose().route, ReplyRoute::Broadcast);
    routing_.unicast = true;
    EXPECT_EQ(choose().route, ReplyRoute::UnicastAfterArp);
    plan_.offSubnet = true;
    ReplyDestination d = choose();
    EXPECT_EQ(d.route, ReplyRoute::Unicast);
    EXPECT_EQ(d.address, makeIpv4(192, 168, 1, 50));
}

TEST_F(ReplyDestinationTest, ServerPortMovesTheClientPort) {
    routing_.serverPort = 6767;
    EXPECT_EQ(choose().port, 6768);
}

}  // namespace
}  // namespace tolmark
