// Which profile and record serve a client: class profiles, static entries, MAC ranges and
// registered-only service, and what happens to the clients that are refused.

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/identity_match.h"
#include "server/dhcp/ignored_clients.h"
#include "server/dhcp/profile_selection.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

Profile classProfile(std::string name, SelectorKind kind, Bytes value, Ipv4 dns) {
    Profile p;
    p.name = std::move(name);
    p.selectorKind = kind;
    p.selectorValue.length = static_cast<std::uint8_t>(value.size());
    std::copy(value.begin(), value.end(), p.selectorValue.bytes.begin());
    p.dns[0] = dns;
    return p;
}

Bytes text(std::string_view s) { return Bytes(s.begin(), s.end()); }

class IdentificationTest : public EngineTest {
protected:
    const Ipv4 kLabDns = makeIpv4(10, 0, 0, 3);
    void useClassProfiles() {
        useProfiles({lanProfile(),
                     classProfile("Phones", SelectorKind::VendorClass, text("polycom"), makeIpv4(10, 0, 0, 2)),
                     classProfile("Lab", SelectorKind::UserClass, text("lab"), kLabDns),
                     classProfile("Printers", SelectorKind::MacClass, {0x00, 0xAA, 0xBB}, makeIpv4(10, 0, 0, 4))});
    }
    // The profile a client was served with: DNS server of the reply and the remark of its record.
    std::pair<Ipv4, std::string> servedBy(const RequestBuilder& request) {
        Reply offer = send(request);
        ClientRecord* rec = offer ? dynamicAt(offer.yiaddr) : nullptr;
        return {offer.addressOption(6), rec != nullptr ? std::string(rec->remark.view()) : "-"};
    }
};

TEST_F(IdentificationTest, ClassProfilesSupplyOptionsAndThePoolComesFromTheNetwork) {
    useClassProfiles();
    const Mac printer{0x00, 0xAA, 0xBB, 0x01, 0x02, 0x03};
    EXPECT_EQ(servedBy(discover(mac(1)).option(kVendorClass, "polycom-vvx")),
              std::make_pair(makeIpv4(10, 0, 0, 2), std::string("Phones")));
    EXPECT_EQ(servedBy(discover(mac(2)).option(kUserClass, {3, 'l', 'a', 'b'})),
              std::make_pair(kLabDns, std::string("Lab")));
    EXPECT_EQ(servedBy(discover(printer)), std::make_pair(makeIpv4(10, 0, 0, 4), std::string("Printers")));
    EXPECT_EQ(servedBy(discover(mac(3))), std::make_pair(kServer, std::string()));
    // The user class is preferred to the vendor class.
    EXPECT_EQ(servedBy(discover(mac(4)).option(kVendorClass, "polycom").option(kUserClass, "lab")),
              std::make_pair(kLabDns, std::string("Lab")));
    EXPECT_EQ(dynamicAt(lan(104))->profile, "LAN");
}

TEST_F(IdentificationTest, StaticClientListedTwiceIsServedByItsUserClassEntry) {
    useClassProfiles();
    addStatic(mac(1), lan(10), "LAN");
    addStatic(mac(1), lan(20), "Lab");
    Reply plain = send(discover(mac(1)));
    EXPECT_EQ(plain.yiaddr, lan(10));
    EXPECT_TRUE(lastPlan_.fixedAddress);
    Reply lab = send(discover(mac(1)).option(kUserClass, {3, 'l', 'a', 'b'}));
    EXPECT_EQ(lab.yiaddr, lan(20));
    EXPECT_EQ(lab.addressOption(6), kLabDns);
    EXPECT_EQ(send(request(mac(1)).option(kUserClass, {3, 'l', 'a', 'b'})).yiaddr, lan(20));
    EXPECT_TRUE(records(ClientList::Dynamic).empty());
    // Listed again in the same profile: the later entry serves it (what -check tells).
    addStatic(mac(1), lan(30), "LAN");
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(30));
}

TEST_F(IdentificationTest, StaticEntryWithTheNeverServeAddressIsIgnored) {
    addStatic(mac(1), kNeverServe, "LAN");
    EXPECT_FALSE(send(discover(mac(1))));
    EXPECT_EQ(records(ClientList::Ignored).size(), 1u);
    EXPECT_TRUE(records(ClientList::Dynamic).empty());
}

TEST_F(IdentificationTest, MacRangeServesOnlyItsPrefixes) {
    settings([](DhcpSettings& d) { d.general.macRange = parseMacRange("00-11"); });
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(100));
    const Mac outside{0x00, 0x12, 0x22, 0x33, 0x44, 0x01};
    EXPECT_FALSE(send(discover(outside)));
    EXPECT_EQ(log_.lines.at(1), "DHCP  Ignored responding to configured MAC ranges only\n");
    EXPECT_EQ(log_.lines.at(2), "DHCP  Ignored Discov. 00:12:22:33:44:01 (0.0.0.0)\n");
}

TEST_F(IdentificationTest, RegisteredOnlyServesStaticClients) {
    settings([](DhcpSettings& d) { d.general.regOnly = 1; });
    addStatic(mac(1), lan(10), "");
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(10));
    EXPECT_FALSE(send(discover(mac(2))));
    EXPECT_TRUE(logged("DHCP  Ignored responding to registered clients only\n"));
}

TEST_F(IdentificationTest, RefusedClientMayBeToldNotToAutoConfigure) {
    settings([](DhcpSettings& d) { d.general.regOnly = 1; });
    EXPECT_FALSE(send(discover(mac(1)).option(kAutoConfigure, {1})));

    settings([](DhcpSettings& d) { d.general.autoConfigure = 0; });
    Reply answer = send(discover(mac(1)).option(kAutoConfigure, {1}));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer.length, 548u);
    EXPECT_EQ(answer.yiaddr, 0u);
    EXPECT_EQ(answer.siaddr, kServer);
    EXPECT_EQ(answer.codes(), (std::vector<std::uint8_t>{kMessageType, kAutoConfigure}));
    EXPECT_EQ(answer.find(kMessageType)->value, Bytes{kOffer});
    EXPECT_EQ(answer.find(kAutoConfigure)->value, Bytes{0});
    // Only a DISCOVER is answered so.
    EXPECT_FALSE(send(request(mac(1)).option(kAutoConfigure, {1})));
}

TEST_F(IdentificationTest, IgnoredClientIsLoggedWithItsDetailsAndRecordedOnce) {
    settings([](DhcpSettings& d) {
        d.general.regOnly = 1;
        d.general.enableId = 1;
    });
    const Ipv4 relay = makeIpv4(10, 9, 0, 1);
    RequestBuilder b = discover(mac(1))
                           .giaddr(relay)
                           .option(kClientIdentifier, {1, 0x00, 0x11, 0x22, 0x33, 0x44, 0x01})
                           .option(kUserClass, {3, 'l', 'a', 'b'})
                           .option(kVendorClass, "vend")
                           .option(kHostName, "host1");
    EXPECT_FALSE(send(b, relay));
    EXPECT_EQ(log_.lines.back(),
              "DHCP  Ignored Discov. 00:11:22:33:44:01 (10.9.0.1) ci 01001122334401 uc 036c6162 "
              "vc \"vend\" gw 10.9.0.1 nm host1\n");
    clock_.advance(60);
    EXPECT_FALSE(send(b, relay));
    auto ignored = records(ClientList::Ignored);
    ASSERT_EQ(ignored.size(), 1u);
    EXPECT_EQ(ignored[0]->identity->kind(), kIdentityClientId);
    EXPECT_EQ(ignored[0]->remark, "?lab");
    EXPECT_EQ(ignored[0]->hostName, "host1");
    EXPECT_EQ(ignored[0]->seenVia, relay);
    EXPECT_EQ(ignored[0]->lastAccess, clock_.now());
}

}  // namespace
}  // namespace tolmark::dhcp::testing

namespace tolmark::dhcp::testing {
namespace {

// Refused clients are remembered, but a flood of them cannot grow the table without end.
TEST_F(EngineTest, IgnoredListKeepsTheMostRecentClientsOnly) {
    settings([](DhcpSettings& d) { d.general.regOnly = 1; });
    const std::size_t flood = kMaxIgnoredClients + 50;
    for (std::size_t i = 0; i < flood; ++i) {
        Mac m = {0x02,
                 0x00,
                 static_cast<std::uint8_t>(i >> 16),
                 static_cast<std::uint8_t>(i >> 8),
                 static_cast<std::uint8_t>(i),
                 0x01};
        send(discover(m));
    }
    EXPECT_EQ(clients_.size(ClientList::Ignored), kMaxIgnoredClients);
    const ClientRecord* newest = clients_.first(ClientList::Ignored);
    ASSERT_NE(newest, nullptr);
    const std::size_t last = flood - 1;
    EXPECT_EQ(newest->identity->data()[4], static_cast<std::uint8_t>(last));
    EXPECT_EQ(newest->identity->data()[3], static_cast<std::uint8_t>(last >> 8));
    // The oldest fifty made room.
    EXPECT_EQ(clients_.last(ClientList::Ignored)->identity->data()[4], 50);
}

// Clients without a hardware address (hlen 0, as InfiniBand and FireWire clients send) are told
// apart by their client identifier, whatever "EnableID" says; without one nothing identifies
// them, and no two of them may share one lease.
TEST_F(EngineTest, ClientsWithoutHardwareAddressAreKeptApartByTheirClientIdentifier) {
    const Bytes port1{0xFF, 0, 0, 0, 1, 0, 2, 0, 0, 2, 0xc9, 0, 0, 0x11}, port2{0xFF, 0, 0, 0, 2, 0, 2, 0, 0, 2},
        tooShort{0xFF};
    const auto ib = [&](int type, const Bytes* clientId) {
        RequestBuilder r = RequestBuilder().htype(32).hlen(0).flags(0x8000).type(type);
        return clientId != nullptr ? r.option(kClientIdentifier, *clientId) : r;
    };
    struct Step {
        int type;
        const Bytes* clientId;
        int replyType;  // 0: no reply
        Ipv4 yiaddr;
    } const steps[] = {
        {kDiscover, &port1, kOffer, lan(100)},
        {kRequest, &port1, kAck, lan(100)},
        {kDiscover, &port2, kOffer, lan(101)},
        {kRequest, &port2, kAck, lan(101)},
        {kRequest, &port1, kAck, lan(100)},
        {kDiscover, nullptr, 0, 0},
        {kRequest, nullptr, 0, 0},
        {kDiscover, &tooShort, 0, 0},
    };
    for (const Step& step : steps) {
        const Reply r = send(ib(step.type, step.clientId));
        SCOPED_TRACE(step.type);
        EXPECT_EQ(r.find(kMessageType) != nullptr ? r.find(kMessageType)->value : Bytes{},
                  step.replyType != 0 ? Bytes{static_cast<std::uint8_t>(step.replyType)} : Bytes{});
        EXPECT_EQ(r.yiaddr, step.yiaddr);
    }
    EXPECT_EQ(records(ClientList::Dynamic).size(), 2u);
    EXPECT_EQ(records(ClientList::Dynamic)[0]->identity->kind(), kIdentityClientId);
    EXPECT_EQ(records(ClientList::Ignored).size(), 1u);
}

}  // namespace
}  // namespace tolmark::dhcp::testing
