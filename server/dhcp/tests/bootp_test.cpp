// BOOTP clients: with and without the cookie, the reply lengths, and the lease that never ends.

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

using BootpTest = EngineTest;

TEST_F(BootpTest, ReplyIsFilledTo300Or548) {
    Reply reply = send(RequestBuilder().chaddr(mac(1)));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply.length, 300u);
    EXPECT_EQ(reply.yiaddr, lan(100));
    EXPECT_TRUE(reply.wellFormed);
    // No DHCP options; the defaults with a value follow the cookie directly.
    EXPECT_EQ(reply.codes(), (std::vector<std::uint8_t>{1, 2, 3, 6}));
    EXPECT_EQ(log_.lines,
              std::vector<std::string>{"BOOTP Request 00:11:22:33:44:01 assigned 192.168.1.100 if 192.168.1.1\n"});
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() + 3600);
    // A lease time means nothing to a BOOTP client, which never renews: none goes out, even asked.
    EXPECT_EQ(send(RequestBuilder().chaddr(mac(1)).option(kParameterList, {51, 1})).codes(),
              std::vector<std::uint8_t>{1});

    settings([](DhcpSettings& d) { d.general.bootp = 2; });
    EXPECT_EQ(send(RequestBuilder().chaddr(mac(1))).length, 548u);
}

TEST_F(BootpTest, RequestWithoutCookieGetsExactly300BytesWithAZeroVendorArea) {
    Reply reply = send(RequestBuilder().chaddr(mac(1)).noCookie().noEnd().length(239));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply.length, 300u);
    EXPECT_EQ(reply.yiaddr, lan(100));
    EXPECT_EQ(Bytes(reply.bytes.begin() + 236, reply.bytes.end()), Bytes(64, 0));
}

TEST_F(BootpTest, LeaseZeroIsInfiniteForBootpAndRefusedForDhcp) {
    Profile p = lanProfile();
    p.lease = 0;
    useProfiles({p});
    ASSERT_TRUE(send(RequestBuilder().chaddr(mac(1))));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() + 4294967295LL);

    log_.lines.clear();
    EXPECT_FALSE(send(discover(mac(2))));
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Ignored Discov. 00:11:22:33:44:02 (0.0.0.0)\n"});
    auto ignored = records(ClientList::Ignored);
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0]->remark, "DHCP");
    EXPECT_EQ(ignored[0]->identity, hardwareIdentity(mac(2)));
}

}  // namespace
}  // namespace tolmark::dhcp::testing
