// Clients behind relay agents: relay agent information taken and echoed, relay-class profiles
// with circuit ID values, and the per-relay limit of profiles for any relay.

#include <string>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

const Ipv4 kRelay = makeIpv4(10, 9, 0, 1);

class RelayTest : public EngineTest {
protected:
    RelayTest() {
        settings([](DhcpSettings& d) { d.general.enableRa = 1; });
    }

    static Profile relayProfile(std::string name, Ipv4 relay, Ipv4 base) {
        Profile p;
        p.name = std::move(name);
        p.lease = 3600;
        p.selectorKind = SelectorKind::Relay;
        p.selectorAddress = relay;
        p.baseIp = base;
        p.range = 20;
        p.subnetMask = makeIpv4(255, 255, 255, 0);
        return p;
    }
    static Bytes circuit(std::string_view id) {
        Bytes v{1, static_cast<std::uint8_t>(id.size())};
        v.insert(v.end(), id.begin(), id.end());
        return v;
    }
    RequestBuilder viaRelay(const Mac& m, int type, Ipv4 relay, std::string_view circuitId) {
        RequestBuilder b = message(m, type).giaddr(relay);
        if (!circuitId.empty()) b.option(kRelayInformation, circuit(circuitId));
        return b;
    }
};

TEST_F(RelayTest, RelayInformationIsEchoedAndKeysTheClient) {
    useProfiles({lanProfile(), relayProfile("Remote", kRelay, makeIpv4(10, 9, 0, 100))});
    Bytes info = circuit("port");
    info.insert(info.end(), {2, 3, 'r', 'i', 'd'});
    Reply offer = send(
        message(mac(1), kDiscover).giaddr(kRelay).option(kRelayInformation, info).option(kParameterList, {1}), kRelay);
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer.yiaddr, makeIpv4(10, 9, 0, 100));
    EXPECT_EQ(offer.giaddr, kRelay);
    EXPECT_TRUE(lastPlan_.offSubnet);
    EXPECT_EQ(offer.codes(),
              (std::vector<std::uint8_t>{kMessageType, kServerIdentifier, kLeaseTime, 1, kRelayInformation}));
    EXPECT_EQ(offer.find(kRelayInformation)->value, info);
    EXPECT_EQ(log_.lines, std::vector<std::string>{
                              "DHCP  Discov. 00:11:22:33:44:01 (10.9.0.1) rc \"port\" gw 10.9.0.1 if 192.168.1.1\n"});
    // The pool has no circuit value, so the record is keyed by the circuit alone: whatever
    // device sits on that port gets its address.
    ClientRecord* rec = records(ClientList::Dynamic).at(0);
    EXPECT_EQ(rec->identity->kind(), kIdentityCircuit);
    EXPECT_EQ(rec->seenVia, kRelay);
    Reply ack = send(viaRelay(mac(2), kRequest, kRelay, "port").address(kServerIdentifier, kServer), kRelay);
    EXPECT_EQ(ack.yiaddr, makeIpv4(10, 9, 0, 100));
}

TEST_F(RelayTest, InformationIsTakenWithoutGiaddrOnlyOnATrustedInterface) {
    useProfiles({lanProfile(), relayProfile("AnyRelay", kBroadcastAll, makeIpv4(172, 16, 5, 10))});
    Reply untrusted = send(viaRelay(mac(1), kDiscover, 0, "port"));
    EXPECT_EQ(untrusted.yiaddr, lan(100));
    EXPECT_EQ(untrusted.find(kRelayInformation), nullptr);
    EXPECT_EQ(dynamicAt(lan(100))->identity, hardwareIdentity(mac(1)));

    interfaces_.setTrusted(kServer, true);
    Reply trusted = send(viaRelay(mac(2), kDiscover, 0, "port"));
    EXPECT_EQ(trusted.yiaddr, makeIpv4(172, 16, 5, 10));
    ASSERT_NE(trusted.find(kRelayInformation), nullptr);
    EXPECT_EQ(trusted.find(kRelayInformation)->value, circuit("port"));
}

TEST_F(RelayTest, CircuitIdValueWithAWildcardByte) {
    Profile floor = relayProfile("Floor", kRelay, makeIpv4(10, 9, 0, 100));
    floor.relaySelectorType = RelaySelectorType::CircuitId;
    floor.selectorValue.length = 4;
    std::copy_n("ab.d", 4, floor.selectorValue.bytes.begin());
    useProfiles({lanProfile(), floor});

    EXPECT_EQ(send(viaRelay(mac(1), kDiscover, kRelay, "abXd"), kRelay).yiaddr, makeIpv4(10, 9, 0, 100));
    EXPECT_EQ(send(viaRelay(mac(1), kDiscover, kRelay, "abYdef"), kRelay).yiaddr, makeIpv4(10, 9, 0, 101));
    log_.lines.clear();
    Bytes tooShort = circuit("abX");
    tooShort.insert(tooShort.end(), {2, 3, 'r', 'i', 'd'});
    EXPECT_FALSE(send(message(mac(1), kDiscover).giaddr(kRelay).option(kRelayInformation, tooShort), kRelay));
    EXPECT_EQ(log_.lines,
              (std::vector<std::string>{
                  "DHCP  Error   profile lookup failed, if 192.168.1.1\n",
                  "DHCP  Ignored Discov. 00:11:22:33:44:01 (10.9.0.1) rc \"abX\" rr \"rid\" gw 10.9.0.1\n"}));
    EXPECT_FALSE(send(viaRelay(mac(1), kDiscover, kRelay, "abXe"), kRelay));
}

TEST_F(RelayTest, ProfileForAnyRelayIsTheLastFallbackWhateverItsValue) {
    Profile floor = relayProfile("Floor", kRelay, makeIpv4(10, 9, 0, 100));
    floor.relaySelectorType = RelaySelectorType::CircuitId;
    floor.selectorValue.length = 2;
    std::copy_n("ab", 2, floor.selectorValue.bytes.begin());
    Profile any = relayProfile("AnyRelay", kBroadcastAll, makeIpv4(172, 16, 5, 10));
    any.relaySelectorType = RelaySelectorType::CircuitId;
    any.selectorValue.length = 2;
    std::copy_n("zz", 2, any.selectorValue.bytes.begin());
    useProfiles({lanProfile(), floor, any});
    const Ipv4 otherRelay = makeIpv4(10, 8, 0, 1);
    struct Case {
        Ipv4 relay;
        const char* circuitId;
        Ipv4 offered;
    } cases[] = {
        {kRelay, "abc", makeIpv4(10, 9, 0, 100)},      // the relay's own profile, value matches
        {kRelay, "xyz", makeIpv4(172, 16, 5, 10)},     // value differs from both: any relay
        {otherRelay, "q", makeIpv4(172, 16, 5, 11)},   // unknown relay
        {otherRelay, "zz", makeIpv4(172, 16, 5, 12)},  // the fallback's own value
    };
    int client = 1;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.circuitId);
        EXPECT_EQ(send(viaRelay(mac(client++), kDiscover, c.relay, c.circuitId), c.relay).yiaddr, c.offered);
    }
}

TEST_F(RelayTest, ProfileForAnyRelayLimitsLeasesPerRelay) {
    useProfiles({lanProfile(), relayProfile("AnyRelay", kBroadcastAll, makeIpv4(172, 16, 5, 10))});
    const Ipv4 other = makeIpv4(10, 9, 0, 2);
    ASSERT_TRUE(send(viaRelay(mac(1), kDiscover, kRelay, ""), kRelay));
    ASSERT_TRUE(send(viaRelay(mac(1), kRequest, kRelay, "").address(kServerIdentifier, kServer), kRelay));

    log_.lines.clear();
    EXPECT_FALSE(send(viaRelay(mac(2), kDiscover, kRelay, ""), kRelay));
    EXPECT_TRUE(logged("DHCP  Error   dyn. address lookup failed\n"));
    EXPECT_EQ(send(viaRelay(mac(3), kDiscover, other, ""), other).yiaddr, makeIpv4(172, 16, 5, 11));
    // The client holding the lease keeps being served.
    EXPECT_EQ(send(viaRelay(mac(1), kDiscover, kRelay, ""), kRelay).yiaddr, makeIpv4(172, 16, 5, 10));
    // Once it is seen through the other relay, its lease counts there and no longer here.
    ASSERT_TRUE(send(viaRelay(mac(1), kRequest, other, "").address(kServerIdentifier, kServer), other));
    EXPECT_TRUE(send(viaRelay(mac(2), kDiscover, kRelay, ""), kRelay));
    log_.lines.clear();
    EXPECT_FALSE(send(viaRelay(mac(4), kDiscover, other, ""), other));
    EXPECT_TRUE(logged("DHCP  Error   dyn. address lookup failed\n"));
}

// A client behind a relay agent renews by unicast, straight to the server: no giaddr names its
// network then, and the interface the renewal arrives on is not the one its lease came from.
TEST_F(RelayTest, ARenewalPastTheRelayIsAnsweredFromTheLeaseItRenews) {
    Profile plain;  // a static entry's profile of no class and no pool: the network's pool serves
    plain.name = "Plain";
    plain.lease = 3600;
    Profile remote = relayProfile("Remote", kRelay, makeIpv4(10, 9, 0, 100));
    remote.gateway[0] = kRelay;
    Profile phone = relayProfile("Phone", 0, makeIpv4(10, 9, 0, 200));  // a class with its own pool
    phone.selectorKind = SelectorKind::MacClass;
    phone.selectorValue.length = 6;
    std::copy_n(mac(5).begin(), 6, phone.selectorValue.bytes.begin());
    phone.gateway[0] = kRelay;
    useProfiles({lanProfile(), remote, plain, phone});
    addStatic(mac(2), 0, "Plain");
    addStatic(mac(3), makeIpv4(10, 9, 0, 50), "Remote");  // a reservation behind the relay
    struct Case {
        std::uint8_t client;
        Ipv4 address;
        Ipv4 router;     // told to an INFORM from there
        Ipv4 stray = 0;  // option 50 beside ciaddr: still a renewal of ciaddr
    } cases[] = {
        {1, makeIpv4(10, 9, 0, 100), kRelay},
        {2, makeIpv4(10, 9, 0, 101), 0},  // the static entry's profile, which gives its options, has none
        {3, makeIpv4(10, 9, 0, 50), kRelay},
        {5, makeIpv4(10, 9, 0, 200), kRelay},
        {6, makeIpv4(10, 9, 0, 102), kRelay, lan(140)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(int(c.client));
        const Ipv4 a = c.address;
        ASSERT_EQ(send(viaRelay(mac(c.client), kDiscover, kRelay, ""), kRelay).yiaddr, a);
        ASSERT_EQ(
            send(viaRelay(mac(c.client), kRequest, kRelay, "").address(kServerIdentifier, kServer), kRelay).yiaddr, a);
        clock_.advance(1800);
        log_.lines.clear();
        RequestBuilder renewal = request(mac(c.client)).ciaddr(a);
        Reply renew = send(c.stray != 0 ? renewal.address(kRequestedAddress, c.stray) : renewal, a);
        ASSERT_TRUE(renew);
        EXPECT_EQ(renew.find(kMessageType)->value, Bytes{kAck});
        EXPECT_EQ(renew.yiaddr, a);
        const ClientRecord* rec = c.client == 3 ? records(ClientList::Static).at(1) : dynamicAt(a);
        EXPECT_EQ(rec->expiry, clock_.now() + 3600);
        // Still the relay's client: it keeps counting toward the relay's leases.
        EXPECT_EQ(rec->seenVia, kRelay);
        EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Request 00:11:22:33:44:0" + std::to_string(c.client) +
                                                       " ACK " + formatIpv4(a).c_str() + " 3600 if 192.168.1.1\n"});
        Reply inform = send(message(mac(c.client), kInform).ciaddr(a).option(kParameterList, {3}), a);
        EXPECT_EQ(inform.addressOption(3), c.router);
        EXPECT_EQ(rec->seenVia, kRelay);
        log_.lines.clear();
        EXPECT_FALSE(send(message(mac(c.client), kRelease).ciaddr(a).address(kServerIdentifier, kServer), a));
        EXPECT_EQ(log_.lines, std::vector<std::string>{"DHCP  Release 00:11:22:33:44:0" + std::to_string(c.client) +
                                                       " (" + formatIpv4(a).c_str() + ")\n"});
    }
    EXPECT_TRUE(records(ClientList::Ignored).empty());
    // No record of the receiving interface's pool was taken for them.
    EXPECT_EQ(records(ClientList::Dynamic).size(), 4u);
    // An address that is not the client's lease is still refused.
    EXPECT_EQ(send(request(mac(4)).ciaddr(makeIpv4(10, 9, 0, 150)), makeIpv4(10, 9, 0, 150)).find(kMessageType)->value,
              Bytes{kNak});
}

// An INFORM is answered with the options of the network its address (ciaddr) is in, whichever
// way it comes: a host of a second subnet on the server's wire, a host behind a relay agent that
// asks straight from its address, one of a relay's secondary subnet. A host no profile's network
// holds gets no answer, rather than a mask and router that would cut it off.
TEST_F(RelayTest, AnInformIsAnsweredForTheNetworkItsAddressIsIn) {
    const Ipv4 secondRelay = makeIpv4(10, 20, 0, 1);
    Profile remote = relayProfile("Remote", kRelay, makeIpv4(10, 9, 0, 100));
    remote.gateway[0] = kRelay;
    Profile second = relayProfile("Second", secondRelay, makeIpv4(10, 20, 0, 100));
    second.gateway[0] = secondRelay;
    Profile other = lanProfile();
    other.name = "Other";
    other.selectorAddress = kOther;
    other.baseIp = makeIpv4(172, 16, 1, 100);
    other.subnetMask = makeIpv4(255, 255, 0, 0);
    other.gateway[0] = kOther;
    useProfiles({lanProfile(), remote, second, other});
    const struct {
        const char* name;
        Ipv4 relay;
        Ipv4 ciaddr;
        Ipv4 router;  // 0: no answer
        Ipv4 mask;
    } cases[] = {
        {"host of the second subnet on the wire", 0, makeIpv4(172, 16, 5, 5), kOther, makeIpv4(255, 255, 0, 0)},
        {"host behind the relay, straight", 0, makeIpv4(10, 9, 0, 5), kRelay, makeIpv4(255, 255, 255, 0)},
        {"host of no profile's network", 0, makeIpv4(10, 77, 0, 5), 0, 0},
        {"host of the relay's secondary subnet", kRelay, makeIpv4(10, 20, 0, 6), secondRelay,
         makeIpv4(255, 255, 255, 0)},
        {"host behind the relay of no profile's network", kRelay, makeIpv4(10, 66, 0, 6), 0, 0},
    };
    std::uint8_t client = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        log_.lines.clear();
        RequestBuilder inform = message(mac(++client), kInform).ciaddr(c.ciaddr).option(kParameterList, {1, 3});
        Reply ack = send(c.relay != 0 ? inform.giaddr(c.relay) : inform, c.relay != 0 ? c.relay : c.ciaddr);
        if (c.router == 0) {
            EXPECT_FALSE(ack);
            EXPECT_TRUE(logged(std::string("DHCP  Error   no profile for the subnet of ") +
                               formatIpv4(c.ciaddr).c_str() + ", if 192.168.1.1\n"));
            continue;
        }
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack.addressOption(3), c.router);
        EXPECT_EQ(ack.addressOption(1), c.mask);
    }
    EXPECT_TRUE(records(ClientList::Dynamic).empty());
}

// A relay agent given two addresses of this server sends each a copy of every request. The copy
// of a REQUEST that reaches the address the client did not choose is no REQUEST for another
// server: the lease the other copy acknowledged stays the client's.
TEST_F(RelayTest, ACopyOfARequestForAnotherAddressOfThisServerLeavesTheLease) {
    useProfiles({lanProfile(), relayProfile("Remote", kRelay, makeIpv4(10, 9, 0, 100))});
    const Ipv4 a = makeIpv4(10, 9, 0, 100);
    for (Ipv4 server : {kServer, kOther})
        ASSERT_EQ(send(viaRelay(mac(1), kDiscover, kRelay, ""), kRelay, server).yiaddr, a);
    const RequestBuilder chosen = viaRelay(mac(1), kRequest, kRelay, "").address(kServerIdentifier, kServer);
    EXPECT_EQ(send(chosen, kRelay, kServer).yiaddr, a);
    log_.lines.clear();
    EXPECT_FALSE(send(chosen, kRelay, kOther));
    EXPECT_TRUE(log_.lines.empty());
    EXPECT_EQ(dynamicAt(a)->identity, hardwareIdentity(mac(1)));
    EXPECT_EQ(dynamicAt(a)->expiry, clock_.now() + 3600);
}

}  // namespace
}  // namespace tolmark::dhcp::testing
