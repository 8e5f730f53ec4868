#include "server/host/reply_destination.h"

#include <gtest/gtest.h>

#include "server/dhcp/dhcp_protocol.h"

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

// A client that says it has an address (ciaddr) is answered there, "Unicast" or not; a client
// given a new address is answered by broadcast unless "Unicast" is set.
TEST_F(ReplyDestinationTest, RenewalGoesToTheClientsAddressAndNewAddressesByUnicastSetting) {
    const Ipv4 local = makeIpv4(192, 168, 1, 50), far = makeIpv4(10, 9, 0, 7);
    struct Case {
        Ipv4 ciaddr, source, yiaddr;
        bool offSubnet, unicast, broadcastFlag;
        ReplyRoute route;
        Ipv4 address;
        int messageType = dhcp::kAck;
    } const cases[] = {
        // RENEW on the segment, and from behind a router that relays nothing.
        {local, local, local, false, false, false, ReplyRoute::Unicast, local},
        {far, far, far, true, false, false, ReplyRoute::Unicast, far},
        {far, far, far, true, true, false, ReplyRoute::Unicast, far},
        // REBIND through a NAT: still the address the client has.
        {far, makeIpv4(192, 168, 1, 2), far, true, false, false, ReplyRoute::Unicast, far},
        // The client asked for a broadcast: not where it has an address (behind a router the
        // broadcast would not reach it), but for a NAK, which says that address is wrong.
        {local, local, local, false, false, true, ReplyRoute::Unicast, local},
        {far, far, far, true, false, true, ReplyRoute::Unicast, far},
        {local, local, 0, false, false, true, ReplyRoute::Broadcast, kBroadcastAll, dhcp::kNak},
        {0, 0, local, false, true, true, ReplyRoute::Broadcast, kBroadcastAll},
        // A new address: broadcast, or unicast after an ARP entry under "Unicast".
        {0, 0, local, false, false, false, ReplyRoute::Broadcast, kBroadcastAll},
        {0, 0, local, false, true, false, ReplyRoute::UnicastAfterArp, local},
        {0, 0, far, true, true, false, ReplyRoute::Unicast, far},
    };
    for (const Case& c : cases) {
        plan_.ciaddr = c.ciaddr;
        plan_.sourceAddress = c.source;
        plan_.broadcast = c.broadcastFlag;
        plan_.offSubnet = c.offSubnet;
        routing_.unicast = c.unicast;
        plan_.messageType = c.messageType;
        setYiaddr(c.yiaddr);
        const ReplyDestination d = choose();
        SCOPED_TRACE(formatIpv4(c.ciaddr).c_str());
        EXPECT_EQ(d.route, c.route);
        EXPECT_EQ(d.address, c.address);
        EXPECT_EQ(d.port, 68);
    }
}

TEST_F(ReplyDestinationTest, ServerPortMovesTheClientPort) {
    routing_.serverPort = 6767;
    EXPECT_EQ(choose().port, 6768);
}

}  // namespace
}  // namespace tolmark
