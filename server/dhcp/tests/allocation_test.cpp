// Where a new client's address comes from: the lowest unassigned address, the earliest expired
// lease of a full pool, a different address each time under "ChangeIP", and the address test.

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

class AllocationTest : public EngineTest {
protected:
    void usePoolOf(std::int32_t range) {
        Profile p = lanProfile();
        p.range = range;
        useProfiles({p});
    }
    std::vector<Ipv4> dynamicAddresses() {
        std::vector<Ipv4> out;
        for (ClientRecord* r : records(ClientList::Dynamic)) out.push_back(r->address);
        return out;
    }
};

TEST_F(AllocationTest, NewClientTakesTheLowestGap) {
    const std::int64_t leased = clock_.now() + 1000;
    addDynamic(mac(10), lan(100), leased);
    addDynamic(mac(11), lan(101), leased);
    addDynamic(mac(13), lan(103), leased);
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(102));
    EXPECT_EQ(dynamicAddresses(), (std::vector<Ipv4>{lan(100), lan(101), lan(102), lan(103)}));
    EXPECT_EQ(send(discover(mac(2))).yiaddr, lan(104));
}

TEST_F(AllocationTest, FullPoolReusesTheEarliestExpiredLease) {
    usePoolOf(3);
    const std::int64_t now = clock_.now();
    addDynamic(mac(10), lan(100), now - 100);
    addDynamic(mac(11), lan(101), now - 500);
    addDynamic(mac(12), lan(102), now + 1000);
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(101));
    ClientRecord* reused = dynamicAt(lan(101));
    EXPECT_EQ(reused->identity, hardwareIdentity(mac(1)));
    EXPECT_EQ(reused->expiry, 0);
    EXPECT_EQ(records(ClientList::Dynamic).size(), 3u);
}

TEST_F(AllocationTest, ExhaustedPoolRefusesTheClient) {
    usePoolOf(2);
    ASSERT_EQ(bind(mac(1)), lan(100));
    ASSERT_EQ(bind(mac(2)), lan(101));
    log_.lines.clear();
    EXPECT_FALSE(send(discover(mac(3))));
    EXPECT_TRUE(logged("DHCP  Error   dyn. address lookup failed\n"));
    EXPECT_EQ(records(ClientList::Ignored).size(), 1u);
    // At the usual level the administrator learns which pool ran out, and for whom.
    log_.setLevel(1);
    log_.lines.clear();
    EXPECT_FALSE(send(discover(mac(4))));
    EXPECT_EQ(log_.lines,
              (std::vector<std::string>{"DHCP  Error   pool of LAN exhausted: no address for 00:11:22:33:44:04\n"}));
    log_.setLevel(3);
    // Once a lease has run out its address goes to the waiting client.
    clock_.advance(3601);
    EXPECT_EQ(send(discover(mac(3))).yiaddr, lan(100));
}

TEST_F(AllocationTest, ChangeIpGivesADifferentAddressOnEachDiscover) {
    settings([](DhcpSettings& d) { d.general.changeIp = 1; });
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(100));
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(101));
    ClientRecord* given = dynamicAt(lan(100));
    EXPECT_EQ(given->lastAccess, 0);
    EXPECT_EQ(given->expiry, 0);
    // The REQUEST that follows takes the address last offered.
    EXPECT_EQ(send(request(mac(1)).address(kServerIdentifier, kServer)).yiaddr, lan(101));
    // The address the first client gave up goes to the next one at once.
    EXPECT_EQ(send(discover(mac(2))).yiaddr, lan(100));
}

TEST_F(AllocationTest, AddressAnsweringArpIsHeldForTheForeignHost) {
    settings([](DhcpSettings& d) { d.general.testIp = 1; });
    const Mac foreign{0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
    arp_.answers[lan(100)] = foreign;
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(101));
    EXPECT_EQ(arp_.calls, (std::vector<std::string>{"2 192.168.1.1 192.168.1.100", "2 192.168.1.1 192.168.1.101"}));
    ClientRecord* held = dynamicAt(lan(100));
    EXPECT_EQ(held->identity, hardwareIdentity(foreign));
    EXPECT_EQ(held->expiry, clock_.now() + 3600);
    // The client answering for its own address is no conflict.
    arp_.answers[lan(101)] = mac(1);
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(101));
    // A pool of infinite leases ("Lease" 4294967295, read as -1) holds the address for as
    // long, not for no time at all.
    Profile infinite = lanProfile();
    infinite.lease = -1;
    useProfiles({infinite});
    arp_.answers[lan(102)] = foreign;
    EXPECT_EQ(send(discover(mac(2))).yiaddr, lan(103));
    EXPECT_EQ(dynamicAt(lan(102))->expiry, clock_.now() + 4294967295LL);
}

TEST_F(AllocationTest, AddressesNoClientMayHaveAreHeldUntestedAndUnoffered) {
    settings([](DhcpSettings& d) { d.general.testIp = 1; });
    Profile p = lanProfile();
    p.baseIp = kServer;
    p.range = 3;
    useProfiles({p});
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(2));
    EXPECT_EQ(arp_.calls, (std::vector<std::string>{"2 192.168.1.1 192.168.1.2"}));
    ClientRecord* held = dynamicAt(kServer);
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(held->identity, hardwareIdentity(Mac{}));
    EXPECT_EQ(held->expiry, clock_.now() + 3600);
    EXPECT_TRUE(logged("DHCP  Error   pool of LAN holds 192.168.1.1, which no client may have: held\n"));
    // Once the hold has run out and the pool is full, the host's address is held again rather
    // than reused for a client.
    EXPECT_EQ(bind(mac(2)), lan(3));
    clock_.advance(3601);
    bind(mac(1));
    bind(mac(2));
    EXPECT_FALSE(send(discover(mac(3))));
    EXPECT_EQ(dynamicAt(kServer)->identity, hardwareIdentity(Mac{}));

    // Neither the network's broadcast address nor the next network's own address by the mask.
    p.baseIp = lan(254);
    useProfiles({p});
    EXPECT_EQ(bind(mac(4)), lan(254));
    EXPECT_FALSE(send(discover(mac(5))));
    EXPECT_EQ(dynamicAt(lan(255))->identity, hardwareIdentity(Mac{}));
    EXPECT_EQ(dynamicAt(makeIpv4(192, 168, 2, 0))->identity, hardwareIdentity(Mac{}));
}

TEST_F(AllocationTest, AClientIsMovedOffTheHostsAddressAndNoRequestTakesAHoldForItsOwn) {
    Profile p = lanProfile();
    p.baseIp = kServer;
    p.range = 3;
    useProfiles({p});
    addDynamic(mac(9), kServer, clock_.now() + 600);
    EXPECT_EQ(send(discover(mac(9))).yiaddr, lan(2));
    EXPECT_EQ(dynamicAt(kServer)->identity, hardwareIdentity(Mac{}));
    EXPECT_FALSE(send(discover(Mac{})));
}

TEST_F(AllocationTest, PoolsOfTwoProfilesThatOverlapNeverGiveOneAddressTwice) {
    Profile phones = lanProfile();
    phones.name = "Phones";
    phones.selectorKind = SelectorKind::VendorClass;
    phones.selectorValue.length = 7;
    std::copy_n("polycom", 7, phones.selectorValue.bytes.begin());
    useProfiles({lanProfile(), phones});
    const auto phone = [&](const RequestBuilder& r) { return send(RequestBuilder(r).option(kVendorClass, "polycom")); };
    const Reply offer = phone(discover(mac(1)));
    ASSERT_EQ(offer.yiaddr, lan(100));
    EXPECT_EQ(dynamicAt(lan(100))->profile, "Phones");
    // Offered only, the address is the phone's all the same.
    EXPECT_EQ(bind(mac(2)), lan(101));
    EXPECT_TRUE(
        logged("DHCP  Error   pool of LAN holds 192.168.1.100, which another profile's pool gives out: held\n"));
    EXPECT_EQ(phone(request(mac(1)).address(kServerIdentifier, kServer).address(kRequestedAddress, lan(100))).yiaddr,
              lan(100));
    // The phones' pool steps over the address the other pool gave out.
    EXPECT_EQ(phone(discover(mac(3))).yiaddr, lan(102));
}

TEST_F(AllocationTest, ARequestWaitingForItsTestIsNeitherAnsweredNorIgnored) {
    settings([](DhcpSettings& d) { d.general.testIp = 1; });
    arp_.pending = {lan(100)};
    const std::size_t lineCount = log_.lines.size();
    Reply waiting = send(discover(mac(1)));
    EXPECT_EQ(waiting.length, 0u);
    ASSERT_TRUE(lastPlan_.parked);
    const std::uint64_t first = lastPlan_.ticket;
    EXPECT_TRUE(records(ClientList::Ignored).empty());
    EXPECT_EQ(log_.lines.size(), lineCount) << "nothing is logged until the request is answered";
    // Still no answer: it waits on, under a new ticket.
    EXPECT_EQ(resume(first).length, 0u);
    ASSERT_TRUE(lastPlan_.parked);
    const std::uint64_t again = lastPlan_.ticket;
    EXPECT_EQ(resume(first).length, 0u) << "a ticket is taken up once";
    EXPECT_FALSE(lastPlan_.parked);
    // Another client is served meanwhile, with the next address.
    EXPECT_EQ(send(discover(mac(2))).yiaddr, lan(101));
    EXPECT_FALSE(lastPlan_.parked);
    // Its answer in (nobody holds the address), the waiting request gets its offer from the
    // decision it waited with, with the facts its reply is routed by.
    arp_.pending.clear();
    const Reply offer = resume(again);
    EXPECT_EQ(offer.yiaddr, lan(100));
    EXPECT_EQ(lastPlan_.yiaddr, lan(100));
    EXPECT_EQ(lastPlan_.messageType, kOffer);
    EXPECT_EQ(lastPlan_.hardware, mac(1));
    EXPECT_NE(log_.lines.back().find("DHCP  Discov. "), std::string::npos);
    // A test that finds the address taken while the client waited moves it on to the next one.
    arp_.pending = {lan(102)};
    EXPECT_EQ(send(discover(mac(3))).length, 0u);
    arp_.pending.clear();
    arp_.answers[lan(102)] = Mac{0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
    EXPECT_EQ(resume(lastPlan_.ticket).yiaddr, lan(103));
    EXPECT_EQ(dynamicAt(lan(102))->identity, hardwareIdentity(arp_.answers[lan(102)]));
    // A decision that waited while the profiles were loaded again is made afresh.
    arp_.pending = {lan(104)};
    EXPECT_EQ(send(discover(mac(4))).length, 0u);
    useProfiles({lanProfile()});
    arp_.pending.clear();
    EXPECT_EQ(resume(lastPlan_.ticket).yiaddr, lan(104));
}

}  // namespace
}  // namespace tolmark::dhcp::testing
