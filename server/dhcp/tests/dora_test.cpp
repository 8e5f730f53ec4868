// The DHCP exchanges of one client: DISCOVER, REQUEST in its states, RELEASE, DECLINE, INFORM,
// and the NAK.

#include <array>
#include <atomic>
#include <map>
#include <thread>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/dns_removal.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

using DoraTest = EngineTest;
using Codes = std::vector<std::uint8_t>;

TEST_F(DoraTest, DiscoverOfferRequestAck) {
    Reply offer = send(discover(mac(1)).xid(0xCAFE0001).option(kParameterList, {1, 3, 6}));
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer.length, 548u);
    EXPECT_EQ(offer.op, 2);
    EXPECT_EQ(offer.xid, 0xCAFE0001u);
    EXPECT_EQ(offer.chaddr, Bytes({0x00, 0x11, 0x22, 0x33, 0x44, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(offer.yiaddr, lan(100));
    EXPECT_EQ(offer.siaddr, kServer);
    EXPECT_TRUE(offer.wellFormed);
    EXPECT_EQ(offer.codes(), (Codes{kMessageType, kServerIdentifier, kLeaseTime, 1, 3, 6}));
    EXPECT_EQ(offer.find(kMessageType)->value, Bytes{kOffer});
    EXPECT_EQ(offer.addressOption(kServerIdentifier), kServer);
    EXPECT_EQ(offer.u32Option(kLeaseTime), 3600u);
    EXPECT_EQ(offer.addressOption(1), makeIpv4(255, 255, 255, 0));
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Discov. 00:11:22:33:44:01 (0.0.0.0) if 192.168.1.1\n"});
    // An offer binds nothing: the record holds the address only through its identity.
    ClientRecord* rec = dynamicAt(lan(100));
    ASSERT_NE(rec, nullptr);
    EXPECT_EQ(rec->identity, hardwareIdentity(mac(1)));
    EXPECT_EQ(rec->expiry, 0);
    EXPECT_EQ(rec->lastAccess, clock_.now());
    EXPECT_EQ(rec->seenVia, kServer);

    // SELECTING names this server; option 50 naming another address does not matter.
    log_.lines.clear();
    Reply ack = send(request(mac(1))
                         .address(kServerIdentifier, kServer)
                         .address(kRequestedAddress, lan(120))
                         .option(kHostName, "pc1"));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack.yiaddr, lan(100));
    EXPECT_EQ(ack.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(ack.u32Option(kLeaseTime), 3600u);
    EXPECT_EQ(log_.lines, std::vector<std::string>{
                              "DHCP  Request 00:11:22:33:44:01 ACK 192.168.1.100 3600 nm pc1 if 192.168.1.1\n"});
    EXPECT_EQ(rec->expiry, clock_.now() + 3600);

    EXPECT_EQ(bind(mac(2)), lan(101));
}

TEST_F(DoraTest, RenewKeepsTheAddressAndReleaseFreesIt) {
    ASSERT_EQ(bind(mac(1)), lan(100));
    clock_.advance(1800);
    Reply renew = send(request(mac(1)).ciaddr(lan(100)), lan(100));
    ASSERT_TRUE(renew);
    EXPECT_EQ(renew.yiaddr, lan(100));
    EXPECT_EQ(renew.ciaddr, lan(100));
    EXPECT_EQ(lastPlan_.ciaddr, lan(100));  // answered at the address it renews
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() + 3600);
    // A renewal that also names another address (option 50, which RENEWING and REBINDING must
    // not send) is one of the address in ciaddr: the lease runs on and is not lost.
    clock_.advance(60);
    Reply named = send(request(mac(1)).ciaddr(lan(100)).address(kRequestedAddress, lan(140)), lan(100));
    ASSERT_TRUE(named);
    EXPECT_EQ(named.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(named.yiaddr, lan(100));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() + 3600);

    log_.lines.clear();
    EXPECT_FALSE(send(message(mac(1), kRelease).ciaddr(lan(100)).address(kServerIdentifier, kServer), lan(100)));
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Release 00:11:22:33:44:01 (192.168.1.100)\n"});
    EXPECT_EQ(dynamicAt(lan(100))->expiry, 0);
    // The free record keeps its identity, so the client comes back to its address.
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(100));
}

TEST_F(DoraTest, DeclineHoldsTheAddressBack) {
    ASSERT_EQ(bind(mac(1)), lan(100));
    clock_.advance(10);
    log_.lines.clear();
    EXPECT_FALSE(
        send(message(mac(1), kDecline).address(kRequestedAddress, lan(100)).address(kServerIdentifier, kServer)));
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Decline 00:11:22:33:44:01 (192.168.1.100)\n"});
    ClientRecord* held = dynamicAt(lan(100));
    EXPECT_EQ(held->identity->length(), 0);
    EXPECT_EQ(held->expiry, clock_.now() + 3600);
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(101));
}

TEST_F(DoraTest, InformIsAnsweredWithoutAddressOrLease) {
    // A host configured by hand, then one whose static entry gives it a class and no address:
    // neither gets a pool address tied to it, which the next client would then miss.
    addStatic(mac(2), 0, "LAN");
    for (std::uint8_t client : {1, 2}) {
        log_.lines.clear();
        Reply ack = send(message(mac(client), kInform).ciaddr(lan(5)).option(kParameterList, {3, 1}), lan(5));
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack.yiaddr, 0u);
        EXPECT_EQ(ack.ciaddr, lan(5));
        EXPECT_EQ(ack.codes(), (Codes{kMessageType, kServerIdentifier, 3, 1}));
        EXPECT_EQ(ack.find(kMessageType)->value, Bytes{kAck});
        EXPECT_EQ(ack.addressOption(1), makeIpv4(255, 255, 255, 0));
        EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Inform  00:11:22:33:44:0" + std::to_string(client) +
                                                       " (192.168.1.5) if 192.168.1.1\n"});
        EXPECT_TRUE(records(ClientList::Dynamic).empty());
    }
    EXPECT_EQ(bind(mac(3)), lan(100));
    // A client that holds a lease is answered from its record, which stays as it was.
    clock_.advance(60);
    ASSERT_TRUE(send(message(mac(3), kInform).ciaddr(lan(100)), lan(100)));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() - 60 + 3600);
    EXPECT_EQ(records(ClientList::Dynamic).size(), 1u);
}

TEST_F(DoraTest, RequestForAnotherServerFreesTheRecord) {
    ASSERT_TRUE(send(discover(mac(1))));
    EXPECT_FALSE(send(request(mac(1)).address(kServerIdentifier, lan(2)).address(kRequestedAddress, lan(100))));
    ClientRecord* rec = dynamicAt(lan(100));
    EXPECT_EQ(rec->identity->length(), 0);
    EXPECT_EQ(rec->expiry, 0);
    // So is an address of this host the server does not listen on: no copy reaches it there.
    interfaces_.setServed(kOther, false);
    const Ipv4 offered = send(discover(mac(2))).yiaddr;
    EXPECT_FALSE(send(request(mac(2)).address(kServerIdentifier, kOther).address(kRequestedAddress, offered)));
    EXPECT_EQ(dynamicAt(offered)->identity->length(), 0);
}

TEST_F(DoraTest, InitRebootIsNakedForAnotherSubnetOrALeaseElsewhereAndIgnoredOtherwise) {
    ASSERT_EQ(bind(mac(1)), lan(100));
    EXPECT_EQ(send(request(mac(1)).address(kRequestedAddress, lan(100))).yiaddr, lan(100));

    log_.lines.clear();
    Reply nak = send(request(mac(1)).address(kRequestedAddress, makeIpv4(10, 1, 1, 5)));
    ASSERT_TRUE(nak);
    EXPECT_EQ(nak.find(kMessageType)->value, Bytes{kNak});
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Request 00:11:22:33:44:01 (10.1.1.5) NAK\n"});
    EXPECT_EQ(dynamicAt(lan(100))->expiry, 0);

    log_.lines.clear();
    EXPECT_FALSE(send(request(mac(1)).address(kRequestedAddress, lan(140))));
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Request 00:11:22:33:44:01 (192.168.1.140) ignored\n"});

    // A client this server holds a lease for at another address has the wrong one in mind: it
    // is told at once, rather than waiting out its reboot time to start over. So it is when it
    // names another client's address.
    ASSERT_EQ(bind(mac(2)), lan(101));
    for (const Ipv4 named : {lan(140), lan(101)}) {
        ASSERT_EQ(bind(mac(1)), lan(100));
        log_.lines.clear();
        Reply told = send(request(mac(1)).address(kRequestedAddress, named));
        ASSERT_TRUE(told);
        EXPECT_EQ(told.find(kMessageType)->value, Bytes{kNak});
        EXPECT_EQ(log_.lines, std::vector<std::string>{std::string("DHCP  Request 00:11:22:33:44:01 (") +
                                                       formatIpv4(named).c_str() + ") NAK\n"});
        EXPECT_EQ(dynamicAt(lan(100))->expiry, 0);
        EXPECT_EQ(dynamicAt(lan(101))->identity, hardwareIdentity(mac(2)));
    }
    // An address of the subnet outside the pool only another server gives: the client may hold
    // a lease of it there, which a NAK would cut off.
    ASSERT_EQ(bind(mac(1)), lan(100));
    EXPECT_FALSE(send(request(mac(1)).address(kRequestedAddress, lan(20))));

    settings([](DhcpSettings& d) { d.general.soleServer = 1; });
    Reply sole = send(request(mac(1)).address(kRequestedAddress, lan(140)));
    ASSERT_TRUE(sole);
    EXPECT_EQ(sole.find(kMessageType)->value, Bytes{kNak});
    // The only server of its network knows every lease on it: a lease it has no record of is
    // no lease.
    Reply rebind = send(request(mac(5)).ciaddr(lan(20)), lan(20));
    ASSERT_TRUE(rebind);
    EXPECT_EQ(rebind.find(kMessageType)->value, Bytes{kNak});
}

// A REQUEST refused to a client the server holds no record for gives it nothing, so it takes
// nothing either: no record is made for it and no address is tested, kept or saved for it. A
// flood of such REQUESTs from made-up hardware addresses would otherwise fill the pool.
TEST_F(DoraTest, ARefusedRequestOfAClientWithoutARecordTakesNothing) {
    const struct {
        const char* name;
        RequestBuilder message;
        Ipv4 source;
        int reply;  // 0: none
        const char* line;
    } cases[] = {
        {"INIT-REBOOT from another subnet", request(mac(1)).address(kRequestedAddress, makeIpv4(10, 1, 1, 5)), 0, kNak,
         "DHCP  Request 00:11:22:33:44:01 (10.1.1.5) NAK\n"},
        {"INIT-REBOOT for an address of this subnet", request(mac(2)).address(kRequestedAddress, lan(140)), 0, 0,
         "DHCP  Request 00:11:22:33:44:02 (192.168.1.140) ignored\n"},
        {"RENEW of an address not its own", request(mac(3)).ciaddr(lan(130)), lan(130), kNak,
         "DHCP  Request 00:11:22:33:44:03 (192.168.1.130) NAK\n"},
        // Rebinding a lease of another server of the link: an address of the subnet outside the
        // pool, which only another server can have given. It is left to that server.
        {"REBIND of another server's lease", request(mac(7)).ciaddr(lan(20)), lan(20), 0,
         "DHCP  Request 00:11:22:33:44:07 (192.168.1.20) ignored\n"},
        {"REBIND of an address of another subnet", request(mac(12)).ciaddr(makeIpv4(10, 1, 1, 5)),
         makeIpv4(10, 1, 1, 5), kNak, "DHCP  Request 00:11:22:33:44:0c (10.1.1.5) NAK\n"},
        {"REQUEST for another server",
         request(mac(4)).address(kServerIdentifier, lan(2)).address(kRequestedAddress, lan(100)), 0, 0, nullptr},
        // Types a server receives but answers with nothing: an OFFER a client echoes, a lease query.
        {"OFFER", message(mac(5), kOffer), 0, 0, nullptr},
        {"LEASEQUERY (type 10)", message(mac(6), 10).ciaddr(lan(100)), lan(100), 0, nullptr},
    };
    settings([](DhcpSettings& d) { d.general.testIp = 1; });
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.lines.clear();
        Reply reply = send(c.message, c.source);
        EXPECT_EQ(reply ? reply.find(kMessageType)->value : Bytes{},
                  c.reply != 0 ? Bytes{std::uint8_t(c.reply)} : Bytes{});
        EXPECT_EQ(log_.lines, c.line != nullptr ? std::vector<std::string>{c.line} : std::vector<std::string>{});
        EXPECT_TRUE(records(ClientList::Dynamic).empty());
        EXPECT_TRUE(arp_.calls.empty());
    }
    // The first address is still the first client's to be offered.
    EXPECT_EQ(send(discover(mac(9))).yiaddr, lan(100));

    // Nor do these types change a lease the client holds: a relay agent's lease queries would
    // otherwise keep a lease running whose client went away, and its address would never free.
    settings([](DhcpSettings& d) { d.general.testIp = 0; });
    ASSERT_EQ(bind(mac(8)), lan(101));
    clock_.advance(600);
    const ClientRecord before = *dynamicAt(lan(101));
    for (const int type : {int(kOffer), int(kAck), int(kNak), 10, 13}) {
        SCOPED_TRACE(type);
        EXPECT_FALSE(send(message(mac(8), std::uint8_t(type)).ciaddr(lan(101)), lan(101)));
        const ClientRecord* after = dynamicAt(lan(101));
        ASSERT_NE(after, nullptr);
        EXPECT_EQ(after->expiry, before.expiry);
        EXPECT_EQ(after->lastAccess, before.lastAccess);
        EXPECT_EQ(after->seenVia, before.seenVia);
    }
}

TEST_F(DoraTest, RenewForAnotherAddressGetsANakOfTheRightLayout) {
    ASSERT_EQ(bind(mac(1)), lan(100));
    log_.lines.clear();
    Profile booting = lanProfile();
    booting.bootFile = "pxelinux.0";
    booting.bootName = "bootserver";
    useProfiles({booting});
    // Neither the options asked for nor, without a list, the profile's: a NAK configures nothing.
    for (const bool listed : {true, false}) {
        RequestBuilder renew = request(mac(1)).ciaddr(lan(130));
        if (listed) renew.option(kParameterList, {1, 3, 67});
        Reply refused = send(renew, lan(130));
        ASSERT_TRUE(refused);
        EXPECT_EQ(refused.codes(), (Codes{kMessageType, kServerIdentifier})) << listed;
        EXPECT_EQ(refused.file, Bytes(128, 0)) << listed;
        EXPECT_EQ(refused.sname, Bytes(64, 0)) << listed;
    }
    ASSERT_EQ(bind(mac(1)), lan(100));
    log_.lines.clear();
    Reply nak = send(request(mac(1)).ciaddr(lan(130)).option(kParameterList, {1, 3}), lan(130));
    ASSERT_TRUE(nak);
    EXPECT_TRUE(nak.flags & 0x8000);
    EXPECT_EQ(nak.ciaddr, 0u);
    EXPECT_EQ(nak.yiaddr, 0u);
    EXPECT_EQ(nak.siaddr, 0u);
    EXPECT_EQ(nak.codes(), (Codes{kMessageType, kServerIdentifier}));
    EXPECT_EQ(nak.find(kMessageType)->value, Bytes{kNak});
    EXPECT_EQ(nak.addressOption(kServerIdentifier), kServer);
    EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Request 00:11:22:33:44:01 (192.168.1.130) NAK\n"});
    EXPECT_EQ(dynamicAt(lan(100))->expiry, 0);
}

TEST_F(DoraTest, RequestWithoutAnyAddressIsAcked) {
    Reply ack = send(request(mac(1)));
    ASSERT_TRUE(ack);
    EXPECT_EQ(ack.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(ack.yiaddr, lan(100));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() + 3600);
}

TEST_F(DoraTest, OfferAnnouncesTheTimeLeftOfACurrentLease) {
    ASSERT_EQ(bind(mac(1)), lan(100));
    clock_.advance(2600);
    Reply offer = send(discover(mac(1)));
    EXPECT_EQ(offer.yiaddr, lan(100));
    EXPECT_EQ(offer.u32Option(kLeaseTime), 1000u);
    // The offer does not touch the running lease.
    EXPECT_EQ(dynamicAt(lan(100))->expiry, clock_.now() + 1000);
    // An infinite lease has infinite time left: it is not offered as one of 136 years.
    Profile infinite = lanProfile();
    infinite.lease = -1;
    useProfiles({infinite});
    ASSERT_EQ(bind(mac(2)), lan(101));
    clock_.advance(2600);
    EXPECT_EQ(send(discover(mac(2))).u32Option(kLeaseTime), 0xFFFFFFFFu);
}

TEST_F(DoraTest, MessagesBreakingTheirRulesAreIgnored) {
    ASSERT_EQ(bind(mac(1)), lan(100));
    const std::int64_t expiry = dynamicAt(lan(100))->expiry;
    const RequestBuilder broken[] = {
        message(mac(1), kDiscover).ciaddr(lan(100)),
        message(mac(1), kDecline)
            .ciaddr(lan(100))
            .address(kRequestedAddress, lan(100))
            .address(kServerIdentifier, kServer),
        message(mac(1), kRelease).address(kServerIdentifier, kServer),
        message(mac(1), kRelease).ciaddr(lan(100)).address(kServerIdentifier, lan(2)),
        message(mac(1), kInform).ciaddr(lan(100)).address(kRequestedAddress, lan(100)),
    };
    for (const RequestBuilder& b : broken) EXPECT_FALSE(send(b, lan(100)));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, expiry);
    ASSERT_EQ(records(ClientList::Ignored).size(), 1u);
    EXPECT_EQ(records(ClientList::Ignored)[0]->remark, "DHCP");
    EXPECT_EQ(log_.lines.back(), "DHCP  Ignored Inform 00:11:22:33:44:01 (192.168.1.100)\n");

    // A RELEASE of an address the client never had.
    log_.lines.clear();
    EXPECT_FALSE(send(message(mac(1), kRelease).ciaddr(lan(140)).address(kServerIdentifier, kServer), lan(140)));
    EXPECT_EQ(log_.lines.front(), "DHCP  Error   dyn. address lookup failed\n");
    EXPECT_EQ(dynamicAt(lan(100))->expiry, expiry);
}

TEST_F(DoraTest, OwnServerProbeIsAnsweredWithoutTrace) {
    const std::uint8_t hardware[] = {'_', 'D', 'H', 'C', 'P', '_'};
    RequestBuilder probe;
    probe.chaddr(hardware).type(kDiscover).option(kVendorClass, std::string_view("Tolmark Server\0", 15));
    Reply offer = send(probe.length(300));
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer.length, 548u);
    EXPECT_EQ(offer.yiaddr, 0u);
    EXPECT_EQ(offer.siaddr, kServer);
    EXPECT_EQ(offer.find(kMessageType)->value, Bytes{kOffer});
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_TRUE(records(ClientList::Dynamic).empty());
    EXPECT_TRUE(records(ClientList::Ignored).empty());

    // A message with the marks but other bytes around them gets the probe's own answer: none of
    // its broken options go back out.
    RequestBuilder marked;
    marked.chaddr(hardware).type(kDiscover).option(kVendorClass, std::string_view("Tolmark Server\0junk", 19));
    Reply answer = send(marked.raw({2, 5, 0xdc}).noEnd().length(300));
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer.wellFormed);
    EXPECT_EQ(answer.codes(), (std::vector<std::uint8_t>{kMessageType, kVendorClass}));
    EXPECT_EQ(answer.bytes, offer.bytes);
}

}  // namespace
}  // namespace tolmark::dhcp::testing

namespace tolmark::dhcp::testing {
namespace {

// Acknowledged clients with a name are queued for DNS; offers and nameless clients are not.
TEST_F(DoraTest, AcknowledgedNamesAreQueuedForDns) {
    DnsUpdateQueue queue;
    int wakeUps = 0;
    queue.setWakeUp([&] { ++wakeUps; });
    engine_.setDnsUpdateQueue(&queue);
    Profile p = lanProfile();
    p.dnsAccept = 1;
    p.dnsName = "lab.test";
    p.dns = {makeIpv4(192, 168, 1, 53), 0, 0, 0};
    useProfiles({p});
    send(discover(mac(7)).option(kHostName, "pc7"));
    EXPECT_EQ(queue.size(), 0u);
    send(request(mac(7)).option(kHostName, "pc7"));
    send(request(mac(8)));  // no name to register
    // An INFORM comes from an address the client has from elsewhere: the pool address the
    // server keeps for it is not where the name is to point. The client informing from its own
    // lease is registered again.
    send(message(mac(9), kInform).ciaddr(lan(5)).option(kHostName, "fixed9"), lan(5));
    send(message(mac(7), kInform).ciaddr(lan(100)).option(kHostName, "pc7"), lan(100));
    auto updates = queue.takeAll();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[1].hostName, "pc7");
    EXPECT_EQ(updates[1].address, lan(100));
    updates.pop_back();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(wakeUps, 2);
    EXPECT_EQ(updates[0].hostName, "pc7");
    EXPECT_EQ(updates[0].domain, "lab.test");
    EXPECT_EQ(updates[0].address, lan(100));
    EXPECT_EQ(updates[0].mask, makeIpv4(255, 255, 255, 0));
    EXPECT_EQ(updates[0].dnsServer, makeIpv4(192, 168, 1, 53));
    EXPECT_EQ(updates[0].leaseTime, 3600u);
    EXPECT_EQ(updates[0].clientIdentity,
              (std::vector<std::uint8_t>{0, 0, 1, 0x00, 0x11, 0x22, 0x33, 0x44, 7}));  // Ethernet, chaddr

    // A static entry's name is the entry's, owned by the hardware address the entry names, also
    // when its client sends a client identifier that counts ("EnableID"): its removal, made from
    // the entry alone, names the same owner.
    settings([](DhcpSettings& d) { d.general.enableId = 1; });
    p.dnsSend = 1;
    useProfiles({p});
    ClientRecord& fixed = addStatic(mac(9), lan(5), p.name);
    fixed.hostName = "fixed9";
    send(request(mac(9)).option(kClientIdentifier, Bytes{1, 2, 3}));
    updates = queue.takeAll();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(std::tie(updates[0].hostName, updates[0].address), std::make_tuple(std::string("fixed9"), lan(5)));
    EXPECT_EQ(updates[0].clientIdentity, recordDhcidIdentifier(fixed.identity));
}

class DnsRemovalTest : public EngineTest {
protected:
    DnsRemovalTest() {
        engine_.setDnsUpdateQueue(&queue_);
        Profile base = named(lanProfile(), 50);  // names made of "DNSBase" and the address
        base.name = "Base";
        base.selectorAddress = kOther;
        base.baseIp = makeIpv4(172, 16, 0, 100);
        base.dnsBase = "host";
        useProfiles({named(lanProfile(), 50), base});
    }
    static Profile named(Profile p, std::int32_t range) {
        p.dnsAccept = p.dnsSend = 1;
        p.dnsName = "lab.test";
        p.range = range;
        return p;
    }
    // DISCOVER and REQUEST with the name (none: empty), through the interface; the registration.
    DnsUpdate bindNamed(const Mac& m, std::string_view name, Ipv4 interface = kServer, Bytes clientId = {}) {
        for (RequestBuilder b : {discover(m), request(m)}) {
            if (!name.empty()) b.option(kHostName, name);
            if (!clientId.empty()) b.option(kClientIdentifier, clientId);
            send(b, 0, interface);
        }
        std::vector<DnsUpdate> all = queue_.takeAll();
        return all.size() == 1 ? all[0] : DnsUpdate{};
    }
    RequestBuilder release(const Mac& m, Ipv4 address, Ipv4 server = kServer) {
        return message(m, kRelease).ciaddr(address).address(kServerIdentifier, server);
    }
    DnsUpdateQueue queue_;
};

// A RELEASE or DECLINE that ends a running dynamic lease removes what its ACK registered: the
// name the record keeps (a RELEASE carries none), or the one "DNSBase" gives; the DHCID
// identifier is the registration's. So does every other end the server's rules give a running
// lease: a NAK, a REQUEST for another server, a "ChangeIP" DISCOVER that gives up the client's own.
TEST_F(DnsRemovalTest, ReleaseAndDeclineRemoveTheNamesTheLeaseRegistered) {
    const Ipv4 other = makeIpv4(172, 16, 0, 100);
    const DnsUpdate pc7 = bindNamed(mac(7), "pc7"), pc8 = bindNamed(mac(8), "pc8");
    const DnsUpdate based = bindNamed(mac(9), "", kOther);
    ASSERT_EQ(based.hostName, "host-172-16-0-100");
    addStatic(mac(10), lan(5), "LAN").hostName = "fixed";
    ASSERT_EQ(bindNamed(mac(10), "").hostName, "fixed");
    const DnsUpdate pc12 = bindNamed(mac(12), "pc12"), pc13 = bindNamed(mac(13), "pc13");
    const DnsUpdate pc14 = bindNamed(mac(14), "pc14"), pc15 = bindNamed(mac(15), "pc15");
    arp_.answers[pc15.address] = Mac{0x66, 0x66, 0x66, 0x66, 0x66, 0x66};
    addDynamic(Mac{}, lan(149), clock_.now() + 600).hostName = "held";  // an address held back
    const RequestBuilder decline8 =
        message(mac(8), kDecline).address(kRequestedAddress, lan(101)).address(kServerIdentifier, kServer);
    const RequestBuilder elsewhere12 = request(mac(12)).address(kRequestedAddress, makeIpv4(10, 0, 0, 5));
    const RequestBuilder chose13 =
        request(mac(13)).address(kRequestedAddress, lan(103)).address(kServerIdentifier, lan(250));
    const struct {
        RequestBuilder message;
        Ipv4 source, interface;
        const DnsUpdate* removes;  // nullptr: nothing queued
        bool changeIp = false;
        bool testIp = false;
    } steps[] = {
        // Before any lease of the pool has ended: "ChangeIP" gives up all of the client's own.
        {discover(Mac{}), 0, kServer, nullptr, true},  // a hold is no lease
        {discover(mac(14)), 0, kServer, &pc14, true},
        {discover(mac(14)), 0, kServer, nullptr, true},  // offered only: no lease to give up
        {release(mac(7), lan(100)), lan(100), kServer, &pc7},
        {release(mac(7), lan(100)), lan(100), kServer, nullptr},  // released already
        {decline8, 0, kServer, &pc8},
        {release(mac(9), other, kOther), other, kOther, &based},
        {release(mac(10), lan(5)), lan(5), kServer, nullptr},      // a static entry's address
        {release(mac(11), lan(102)), lan(102), kServer, nullptr},  // never leased
        {elsewhere12, 0, kServer, &pc12},                          // NAK: moved to another subnet
        {elsewhere12, 0, kServer, nullptr},                        // its lease ended with the first
        {chose13, 0, kServer, &pc13},                              // chose another server
        // Another host answers for the lease's address: held for that host, the lease ends.
        {discover(mac(15)), 0, kServer, &pc15, false, true},
        {discover(mac(15)), 0, kServer, nullptr, false, true},  // offered elsewhere, nothing leased
    };
    for (const auto& step : steps) {
        settings([&](DhcpSettings& d) {
            d.general.changeIp = step.changeIp ? 1 : 0;
            d.general.testIp = step.testIp ? 1 : 0;
        });
        send(step.message, step.source, step.interface);
        const std::vector<DnsUpdate> got = queue_.takeAll();
        EXPECT_EQ(got.size(), step.removes != nullptr ? 1u : 0u) << "step " << &step - steps;
        if (got.size() != 1) continue;
        const DnsUpdate& want = *step.removes;
        EXPECT_TRUE(got[0].removal);
        EXPECT_EQ(std::tie(got[0].hostName, got[0].domain, got[0].address, got[0].mask, got[0].clientIdentity),
                  std::tie(want.hostName, want.domain, want.address, want.mask, want.clientIdentity));
    }
}

// Leases that run out are found by the housekeeping pass: each once, in the pass after its
// expiry, with the identity its registration had; renewed, declined and released leases not.
// A burst of them goes out over several passes.
TEST_F(DnsRemovalTest, TheExpiryPassRemovesEachLeaseThatRanOutOnce) {
    const std::int64_t t0 = clock_.now();
    DnsExpiryPass pass(t0, t0);
    const DnsUpdate a = bindNamed(mac(1), "pca"), b = bindNamed(mac(2), "pcb", kServer, {1, 2, 3, 4});
    bindNamed(mac(3), "pcc");
    bindNamed(mac(4), "pcd");
    clock_.advance(100);
    bindNamed(mac(5), "pce");  // runs out 100 s later
    send(message(mac(3), kDecline).address(kRequestedAddress, lan(102)).address(kServerIdentifier, kServer));
    send(release(mac(4), lan(103)), lan(103));
    queue_.takeAll();
    const auto runAt = [&](std::int64_t at) {
        clock_.set(at);
        std::vector<std::string> names;
        pass.run(state_, queue_, at);
        for (const DnsUpdate& u : queue_.takeAll()) {
            names.push_back(u.hostName);
            if (u.hostName != "pce") {
                EXPECT_EQ(u.clientIdentity, (u.hostName == "pca" ? a : b).clientIdentity);
            }
        }
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(runAt(t0 + 3599), Names{});
    EXPECT_EQ(runAt(t0 + 3600), (Names{"pca", "pcb"}));  // expiry t0 + 3600 is in (t0 + 3599, t0 + 3600]
    EXPECT_EQ(runAt(t0 + 3630), Names{});
    send(request(mac(5)).ciaddr(lan(104)), lan(104));  // renewed at t0 + 3630
    queue_.takeAll();
    EXPECT_EQ(runAt(t0 + 3800), Names{});
    // A clock set back: the window starts again from there.
    EXPECT_EQ(runAt(t0 + 100), Names{});
    EXPECT_EQ(runAt(t0 + 3620), (Names{"pca", "pcb"}));
    EXPECT_EQ(runAt(t0 + 3630 + 3600), Names{"pce"});

    // A server started after pca, pcb and pce ran out takes, in its first passes and after what
    // runs out since its start (pcf), those that ran out after the last run saved its leases;
    // one paused by another server removes nothing, also once it takes over.
    const DnsUpdate f = bindNamed(mac(6), "pcf");  // runs out at t0 + 10830
    const struct {
        std::int64_t stopped;
        bool paused;
        Names names;
    } starts[] = {
        {0, false, {"pcf", "pca", "pcb", "pce"}},
        {t0 + 3600, false, {"pcf", "pce"}},  // pca and pcb ran out while the last run was up
        {t0 + 7240, false, {"pcf"}},
        {0, true, {}},
    };
    for (const auto& start : starts) {
        DnsExpiryPass started(t0 + 7240, start.stopped);
        if (start.paused)
            started.passOver(queue_, t0 + 10830);
        else
            started.run(state_, queue_, t0 + 10830);
        Names names;
        for (const DnsUpdate& u : queue_.takeAll()) names.push_back(u.hostName);
        EXPECT_EQ(names, start.names) << "stopped at " << start.stopped - t0;
        EXPECT_EQ(started.run(state_, queue_, t0 + 10840), 0u);
    }
    send(release(mac(6), f.address), f.address);
    queue_.takeAll();

    useProfiles({named(lanProfile(), 300)});
    std::size_t bound = 0;
    for (int i = 0; i < 300; ++i) {
        const Mac m{2, 0, 0, 1, static_cast<std::uint8_t>(i >> 8), static_cast<std::uint8_t>(i)};
        bound += bindNamed(m, "burst").hostName.empty() ? 0 : 1;
    }
    std::array<std::size_t, 3> perPass{};
    for (std::size_t& queued : perPass) queued = pass.run(state_, queue_, clock_.now() + 4000);
    EXPECT_EQ(perPass, (std::array<std::size_t, 3>{kDnsRemovalsPerPass, bound - kDnsRemovalsPerPass, 0}));
}

// A name the record is about to forget goes first, while the lease's names may still be there
// (it runs, or ran out after the expiry pass last came): a client that comes with another name
// (or none, and gets the "DNSBase" one), or another client taking the record over. Removals
// ("-") carry the identity of the registration ("+") they undo.
TEST_F(DnsRemovalTest, ANameTheRecordForgetsIsRemovedFirst) {
    const auto named = [](RequestBuilder b, std::string_view name) {
        if (!name.empty()) b.option(kHostName, name);
        return b;
    };
    const RequestBuilder renew20 = request(mac(20)).ciaddr(lan(100));
    const std::string based = "host-172-16-0-100";
    const struct {
        RequestBuilder message;
        std::vector<std::string> queued;
        Ipv4 source = 0, interface = kServer;
        std::int64_t advance = 0;  // before the step, with the expiry pass run (passed) or not
        bool passed = false;
        bool changeIp = false;
    } steps[] = {
        {named(discover(mac(20)), "pc-a"), {}},
        {named(request(mac(20)), "pc-a"), {"+pc-a"}},
        {named(discover(mac(22)), "pc-g"), {}},
        {named(request(mac(22)), "pc-g"), {"+pc-g"}},
        {named(renew20, "pc-a"), {"+pc-a"}, lan(100)},            // the same name: nothing to remove
        {named(renew20, "PC-A"), {"+PC-A"}, lan(100)},            // DNS names differ not by case
        {named(renew20, "pc-a.home"), {"+pc-a.home"}, lan(100)},  // the profile's domain follows the label
        {named(renew20, "pc-a"), {"+pc-a"}, lan(100)},
        {named(renew20, "pc-b"), {"-pc-a", "+pc-b"}, lan(100)},
        // An offer registers nothing: the lease keeps the name it has in DNS, and the record
        // with it, until an acknowledgement registers the new one (the client may stay).
        {named(discover(mac(20)), "pc-x"), {}},
        {named(renew20, "pc-b"), {"+pc-b"}, lan(100)},
        {named(discover(mac(20)), "pc-c"), {}},
        {named(request(mac(20)), "pc-c"), {"-pc-b", "+pc-c"}},
        {named(discover(mac(21)), "pc-d"), {}, 0, kOther},
        {named(request(mac(21)), "pc-d"), {"+pc-d"}, 0, kOther},
        {request(mac(21)), {"-pc-d", "+" + based}, 0, kOther},  // no name: the "DNSBase" one
        {request(mac(21)), {"+" + based}, 0, kOther},
        // All three leases ran out; the pass has not come since.
        {named(request(mac(20)), "pc-e"), {"-pc-c", "+pc-e"}, 0, kServer, 3601},
        {discover(mac(23)), {"-pc-g"}, 0, kServer, 0, false, true},  // takes pc-g's record over
        // Ran out, and the pass came after: their names went with it.
        {named(request(mac(20)), "pc-f"), {"+pc-f"}, 0, kServer, 3601, true},
        {discover(mac(24)), {}, 0, kServer, 3601, true, true},
    };
    queue_.setExpiriesPassed(clock_.now());
    std::map<std::string, DnsUpdate> registered;
    for (const auto& step : steps) {
        clock_.advance(step.advance);
        if (step.passed) queue_.setExpiriesPassed(clock_.now() - 1);
        settings([&](DhcpSettings& d) { d.general.changeIp = step.changeIp ? 1 : 0; });
        send(step.message, step.source, step.interface);
        std::vector<std::string> got;
        for (const DnsUpdate& u : queue_.takeAll()) {
            got.push_back((u.removal ? "-" : "+") + u.hostName);
            if (!u.removal) {
                registered[u.hostName] = u;
            } else if (registered.contains(u.hostName)) {
                const DnsUpdate& want = registered[u.hostName];
                EXPECT_EQ(std::tie(u.address, u.clientIdentity), std::tie(want.address, want.clientIdentity))
                    << u.hostName;
            }
        }
        EXPECT_EQ(got, step.queued) << "step " << &step - steps;
    }
}

TEST(DnsUpdateQueue, KeepsTheNewestWhenFull) {
    DnsUpdateQueue queue;
    for (std::size_t i = 0; i < DnsUpdateQueue::kCapacity + 5; ++i) {
        queue.push(DnsUpdate{"h" + std::to_string(i), "", 0, 0, 0, makeIpv4(192, 168, 1, 53)});
    }
    auto all = queue.takeAll();
    ASSERT_EQ(all.size(), DnsUpdateQueue::kCapacity);
    EXPECT_EQ(all.front().hostName, "h5");
    EXPECT_EQ(queue.size(), 0u);
    EXPECT_EQ(queue.takeDropped().updates, 5u);

    // Removals give way to registrations: a queue full of them drops the oldest removal, and a
    // removal finds no place in a queue of registrations.
    for (bool removals : {true, false}) {
        for (std::size_t i = 0; i <= DnsUpdateQueue::kCapacity; ++i) {
            DnsUpdate u{"h" + std::to_string(i), "", 0, 0, 0, makeIpv4(192, 168, 1, 53)};
            u.removal = removals ? i < DnsUpdateQueue::kCapacity : i == DnsUpdateQueue::kCapacity;
            queue.push(std::move(u));
        }
        all = queue.takeAll();
        EXPECT_EQ(all.front().hostName, removals ? "h1" : "h0");
        EXPECT_EQ(std::count_if(all.begin(), all.end(), [](const DnsUpdate& u) { return !u.removal; }),
                  removals ? 1 : static_cast<long>(DnsUpdateQueue::kCapacity));
    }
    EXPECT_EQ(queue.takeDropped().removals, 2u);

    // The wake-up is set at start while the lookup of static names may push already.
    std::atomic<int> woken{0};
    std::thread lookup([&] {
        for (int i = 0; i < 200; ++i) queue.push(DnsUpdate{"s", "", 0, 0, 0, makeIpv4(192, 168, 1, 53)});
    });
    queue.setWakeUp([&] { woken.fetch_add(1); });
    lookup.join();
    queue.push(DnsUpdate{"s", "", 0, 0, 0, makeIpv4(192, 168, 1, 53)});
    EXPECT_GE(woken.load(), 1);
}

}  // namespace
}  // namespace tolmark::dhcp::testing
