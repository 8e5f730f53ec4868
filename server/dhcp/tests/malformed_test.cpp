// Requests as an attacker or a broken client sends them: options running past the datagram or
// past their own length, oversized fields, and many thousands of generated packets. None may
// crash the engine, read outside the datagram, or leave it unable to serve the next client.

#include <algorithm>
#include <random>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

class MalformedTest : public EngineTest {
protected:
    MalformedTest() {
        settings([](DhcpSettings& d) {
            d.general.enableRa = 1;
            d.general.enableId = 3;
            d.general.name2Uc = 1;
        });
        Profile anyRelay;
        anyRelay.name = "AnyRelay";
        anyRelay.selectorKind = SelectorKind::Relay;
        anyRelay.selectorAddress = kBroadcastAll;
        anyRelay.baseIp = makeIpv4(172, 16, 5, 10);
        anyRelay.range = 20;
        useProfiles({lanProfile(), anyRelay});
    }
    static std::vector<std::uint8_t> messageTypeOf(const Reply& r) {
        const ReplyOption* o = r.find(kMessageType);
        return o == nullptr ? Bytes{} : o->value;
    }
};

TEST_F(MalformedTest, OptionRunningPastTheDatagramEndsTheWalk) {
    // header, cookie, 53 1 1, then a host name claiming 50 bytes with 3 present
    Reply offer = send(discover(mac(1)).raw({kHostName, 50, 'a', 'b', 'c'}).noEnd().length(248));
    EXPECT_EQ(messageTypeOf(offer), Bytes{kOffer});
    EXPECT_EQ(log_.lines.back(), "DHCP  Discov. 00:11:22:33:44:01 (0.0.0.0) if 192.168.1.1\n");
    // A code without its length byte as the last byte.
    EXPECT_EQ(messageTypeOf(send(discover(mac(1)).raw({kHostName}).noEnd().length(244))), Bytes{kOffer});
    // A parameter list that runs past the end is not taken: the default options are sent.
    Reply defaults = send(discover(mac(1)).raw({kParameterList, 200, 6, 1}).noEnd().length(247));
    EXPECT_EQ(defaults.codes(), (std::vector<std::uint8_t>{kMessageType, kServerIdentifier, kLeaseTime, 1, 2, 3, 6}));
    // Shorter than a header: nothing.
    EXPECT_FALSE(send(discover(mac(1)).length(235)));
}

TEST_F(MalformedTest, RelaySubOptionRunningPastItsOptionIsNotTaken) {
    interfaces_.setTrusted(kServer, true);
    const Bytes broken{1, 10, 'a', 'b'};
    Reply plain = send(discover(mac(1)).option(kRelayInformation, broken));
    EXPECT_EQ(plain.yiaddr, lan(100));
    EXPECT_EQ(plain.find(kRelayInformation)->value, broken);
    EXPECT_EQ(dynamicAt(lan(100))->identity, hardwareIdentity(mac(1)));
    // A sound circuit ID before the broken sub-option still counts.
    const Bytes partly{1, 2, 'p', '1', 2, 9, 'x'};
    Reply relayed = send(discover(mac(2)).option(kRelayInformation, partly));
    EXPECT_EQ(relayed.yiaddr, makeIpv4(172, 16, 5, 10));
    const Identity id = records(ClientList::Dynamic).back()->identity;
    EXPECT_EQ(id.kind, kIdentityCircuit);
    EXPECT_EQ(Bytes(id.bytes.begin(), id.bytes.begin() + id.length), (Bytes{'p', '1'}));
    // A client's own option 82 before the one its relay agent appended: the agent's option is
    // the one used, and none of the client's sub-options (a remote ID it chose) mixes into it,
    // so it cannot pose as the static client of that remote ID.
    Identity remote;
    remote.kind = kIdentityRemote;
    remote.length = 5;
    std::copy_n("spoof", 5, remote.bytes.begin());
    clients_.setIdentity(addStatic(mac(9), lan(50), "AnyRelay"), remote);
    Reply appended = send(discover(mac(3))
                              .option(kRelayInformation, {2, 5, 's', 'p', 'o', 'o', 'f'})
                              .option(kRelayInformation, {1, 2, 'p', '2'}));
    ASSERT_TRUE(appended);
    EXPECT_NE(appended.yiaddr, lan(50));
    EXPECT_EQ(appended.find(kRelayInformation)->value, (Bytes{1, 2, 'p', '2'}));
    const Identity agents = dynamicAt(appended.yiaddr)->identity;
    EXPECT_EQ(agents.kind, kIdentityCircuit);
    EXPECT_EQ(Bytes(agents.bytes.begin(), agents.bytes.begin() + agents.length), (Bytes{'p', '2'}));
}

TEST_F(MalformedTest, HardwareLengthAbove16IsClamped) {
    Bytes hardware(16);
    for (std::size_t i = 0; i < hardware.size(); ++i) hardware[i] = static_cast<std::uint8_t>(0xA0 + i);
    Reply offer = send(RequestBuilder().hlen(20).chaddr(hardware).type(kDiscover));
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer.hlen, 16);
    const Identity id = dynamicAt(offer.yiaddr)->identity;
    EXPECT_EQ(Bytes(id.bytes.begin(), id.bytes.begin() + id.length), hardware);
}

TEST_F(MalformedTest, ParameterListOfEveryCode) {
    Bytes all(255);
    for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i + 1);
    Reply offer = send(discover(mac(1)).option(kParameterList, all));
    ASSERT_TRUE(offer);
    EXPECT_TRUE(offer.wellFormed);
    const auto codes = offer.codes();
    EXPECT_EQ(std::vector<std::uint8_t>(codes.begin(), codes.begin() + 7),
              (std::vector<std::uint8_t>{kMessageType, kServerIdentifier, kLeaseTime, 1, 2, 3, 6}));
}

// Valid requests of every kind, the seeds of the mutations below.
std::vector<Bytes> seedRequests() {
    const Ipv4 relay = makeIpv4(10, 9, 0, 1);
    const Bytes relayInfo{1, 4, 'p', 'o', 'r', 't', 2, 3, 'r', 'i', 'd'};
    return {
        RequestBuilder()
            .chaddr(mac(1))
            .type(kDiscover)
            .option(kParameterList, {1, 3, 6, 12, 15, 66, 67, 43})
            .option(kHostName, "host")
            .option(kClientIdentifier, {1, 0, 0x11, 0x22, 0x33, 0x44, 0x01})
            .option(kMaxMessageSize, {2, 64})
            .option(kUserClass, {3, 'l', 'a', 'b'})
            .bytes(),
        RequestBuilder()
            .chaddr(mac(2))
            .type(kRequest)
            .giaddr(relay)
            .option(kRelayInformation, relayInfo)
            .address(kServerIdentifier, kServer)
            .address(kRequestedAddress, makeIpv4(192, 168, 1, 100))
            .bytes(),
        RequestBuilder()
            .chaddr(mac(3))
            .type(kRelease)
            .ciaddr(makeIpv4(192, 168, 1, 101))
            .address(kServerIdentifier, kServer)
            .bytes(),
        RequestBuilder()
            .chaddr(mac(4))
            .type(kInform)
            .ciaddr(makeIpv4(192, 168, 1, 7))
            .option(kVendorClass, "PXEClient")
            .bytes(),
        RequestBuilder().chaddr(mac(5)).option(kAutoConfigure, {1}).bytes(),
    };
}

TEST_F(MalformedTest, GeneratedPacketsNeverBreakTheEngine) {
    Profile lan = lanProfile();
    lan.lease = 60;
    lan.substitution = 1;
    lan.bootFile = "boot/%H/%1%";
    lan.bootName = "%S";
    lan.rootPath = "/srv/%N/%A";
    lan.nodeType = 8;
    lan.dnsAccept = 1;
    addOptionLines(lan, {"43 3 1 2 3", "150 8 10.0.0.1 10.0.0.2", "224 200 \"" + std::string(200, '%'),
                         "225 60 \"%F%2%H%N%A%3%4%Z" + std::string(44, 'x')});
    Profile anyRelay = profiles_.profiles().at(1);
    useProfiles({lan, anyRelay});
    interfaces_.setTrusted(kServer, true);

    std::mt19937 rng(0x7011A4);
    auto below = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    const std::vector<Bytes> seeds = seedRequests();
    const std::uint8_t interesting[] = {12, 50, 53, 54, 55, 57, 60, 61, 77, 82, 116, 0, 255};
    constexpr int kPackets = 20000;
    for (int i = 0; i < kPackets; ++i) {
        if (i == kPackets / 2) {
            settings([](DhcpSettings& d) {
                d.general.changeIp = 1;
                d.general.relayAgent = 0x203;
                d.general.relaySrc = 1;
                d.general.magicNumber = 0;
                d.general.bootp = 2;
                d.general.testIp = 1;
            });
        }
        Bytes d;
        switch (i % 3) {
            case 0:  // random bytes, mostly marked as a request
                d.resize(236 + below(1265));
                for (auto& b : d) b = static_cast<std::uint8_t>(rng());
                if (below(4) != 0) d[kOp] = 1;
                break;
            case 1: {  // a valid request with bytes changed and its end cut
                d = seeds[below(seeds.size())];
                for (std::size_t n = 1 + below(8); n > 0; --n)
                    d[236 + below(d.size() - 236)] = static_cast<std::uint8_t>(rng());
                if (below(2) != 0) d.resize(236 + below(d.size() - 235));
                break;
            }
            default: {  // the cookie and options of random codes and lengths, some lying
                d = RequestBuilder()
                        .chaddr(mac(static_cast<std::uint8_t>(rng())))
                        .hlen(static_cast<std::uint8_t>(rng()))
                        .noEnd()
                        .length(240)
                        .bytes();
                for (std::size_t n = below(40); n > 0; --n) {
                    d.push_back(below(3) == 0 ? static_cast<std::uint8_t>(rng())
                                              : interesting[below(sizeof interesting)]);
                    const std::size_t length = below(4) == 0 ? below(256) : below(12);
                    d.push_back(static_cast<std::uint8_t>(length));
                    for (std::size_t k = below(length + 3); k > 0; --k) d.push_back(static_cast<std::uint8_t>(rng()));
                }
                d.resize(std::min<std::size_t>(d.size(), 1500));
                break;
            }
        }
        const Ipv4 source = below(2) == 0 ? 0 : static_cast<Ipv4>(rng());
        Reply reply = send(d, source, below(4) == 0 ? kOther : kServer);
        if (reply) {
            EXPECT_GE(reply.length, 300u) << i;
            EXPECT_LE(reply.length, kReplyBufferSize) << i;
            if (reply.cookie) {
                EXPECT_TRUE(reply.wellFormed) << "packet " << i;
            }
        }
        clock_.advance(7);
        if (log_.lines.size() > 1000) log_.lines.clear();
    }

    clock_.advance(100000);
    Reply offer = send(discover(mac(0xFE)));
    EXPECT_EQ(messageTypeOf(offer), Bytes{kOffer});
    EXPECT_TRUE(lan.poolContains(offer.yiaddr));
}

}  // namespace
}  // namespace tolmark::dhcp::testing
