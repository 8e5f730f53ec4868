// Which options a reply carries and in what order, the client's size limit, and the overload of
// options into `file` and `sname`.

#include <algorithm>
#include <functional>
#include <string>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/request_parser.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

using Codes = std::vector<std::uint8_t>;

OptionCodeList codeList(std::string_view text) {
    OptionCodeList list;
    parseOptionCodeList(text, list);
    return list;
}

class ReplyOptionsTest : public EngineTest {
protected:
    // Options after 53, 54 and 51.
    static Codes requested(const Reply& reply) {
        Codes codes = reply.codes();
        return Codes(codes.begin() + 3, codes.end());
    }

    // Profile options of 100, 100 and four times 20 bytes: requested in this order a reply
    // outgrows 548 bytes with a small option (231) at the overflow point.
    void useLargeProfile(std::string bootFile, std::string bootName, Ipv4 relay = 0) {
        Profile p = lanProfile();
        if (relay != 0) {
            p.selectorKind = SelectorKind::Relay;
            p.selectorAddress = relay;
        }
        p.bootFile = std::move(bootFile);
        p.bootName = std::move(bootName);
        p.rootPath = p.dnsName = p.scopeId = std::string(250, 'n');  // asked for only to fill a reply
        const std::string hundred = "224 100 \"" + std::string(100, 'a');
        const std::string hundred2 = "225 100 \"" + std::string(100, 'b');
        addOptionLines(p, {hundred, hundred2, "228 20 \"cccccccccccccccccccc", "229 20 \"dddddddddddddddddddd",
                           "230 20 \"eeeeeeeeeeeeeeeeeeee", "231 20 \"ffffffffffffffffffff"});
        useProfiles({p});
    }
    RequestBuilder largeDiscover() {
        return discover(mac(1)).option(kParameterList, {1, 3, 224, 225, 228, 229, 230, 231});
    }
};

TEST_F(ReplyOptionsTest, RequestedOptionsFollowTheParameterList) {
    Profile p = lanProfile();
    p.ntp[0] = makeIpv4(10, 0, 0, 123);
    addOptionLines(p, {"43 3 1 2 3", "150 4 10.0.0.9"});
    useProfiles({p});
    // Unknown codes and codes the profile has no value for are skipped; lines not asked for are
    // not sent.
    Reply offer = send(discover(mac(1)).option(kParameterList, {6, 150, 99, 1, 42, 44, 3}));
    EXPECT_EQ(requested(offer), (Codes{6, 150, 1, 42, 3}));
    EXPECT_EQ(offer.addressOption(150), makeIpv4(10, 0, 0, 9));
    EXPECT_EQ(offer.addressOption(42), makeIpv4(10, 0, 0, 123));
    // A 0 code ends the list.
    EXPECT_EQ(requested(send(discover(mac(1)).option(kParameterList, {3, 0, 1}))), Codes{3});
    // A code asked for again is not sent again: a client joins repeated options into one value,
    // and a mask or an address list would come out twice as long.
    Reply repeated = send(discover(mac(1)).option(kParameterList, {1, 3, 1, 150, 3, 150, 1}));
    EXPECT_EQ(requested(repeated), (Codes{1, 3, 150}));
}

TEST_F(ReplyOptionsTest, WithoutAListTheDefaultOptionsThenEveryProfileLine) {
    Profile p = lanProfile();
    p.offset = -3600;
    addOptionLines(p, {"43 3 1 2 3", "150 4 10.0.0.9"});
    useProfiles({p});
    Reply offer = send(discover(mac(1)));
    // 2 is always written; the other defaults only with a value.
    EXPECT_EQ(requested(offer), (Codes{1, 2, 3, 6, 43, 150}));
    EXPECT_EQ(offer.find(2)->value, (Bytes{0xFF, 0xFF, 0xF1, 0xF0}));
    EXPECT_EQ(offer.find(43)->value, (Bytes{1, 2, 3}));

    settings([](DhcpSettings& d) { d.defaultOptions = codeList("6,1"); });
    EXPECT_EQ(requested(send(discover(mac(1)))), (Codes{6, 1, 43, 150}));
    // A line the list sent already is not sent again: the client would join the two.
    settings([](DhcpSettings& d) { d.defaultOptions = codeList("43,1"); });
    EXPECT_EQ(requested(send(discover(mac(1)))), (Codes{43, 1, 150}));
}

TEST_F(ReplyOptionsTest, SendOptionsAreSentUnasked) {
    Profile p = lanProfile();
    addOptionLines(p, {"150 4 10.0.0.9"});
    p.sendOptions = codeList("6,150");
    useProfiles({p});
    // 6 waits for its place in the list; 150 is not in it and goes out first.
    EXPECT_EQ(requested(send(discover(mac(1)).option(kParameterList, {1, 6}))), (Codes{150, 1, 6}));
}

TEST_F(ReplyOptionsTest, MaximumMessageSizeSetsTheReplyLimit) {
    const std::pair<std::uint16_t, std::uint16_t> cases[] = {{1500, 1472}, {576, 548}, {600, 572}, {9000, 1472}};
    for (auto [sent, limit] : cases) {
        const Bytes datagram =
            discover(mac(1))
                .option(kMaxMessageSize, {static_cast<std::uint8_t>(sent >> 8), static_cast<std::uint8_t>(sent)})
                .bytes();
        RequestSummary summary;
        parseRequest(datagram, summary);
        EXPECT_EQ(summary.maxReplySize, limit) << sent;
    }
    // A client that takes large replies gets its options unmoved.
    useLargeProfile("boot/pxe.0", "");
    Reply offer = send(largeDiscover().option(kMaxMessageSize, {0x05, 0xDC}));
    EXPECT_GT(offer.length, 548u);
    EXPECT_EQ(offer.overload, 0);
    EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, 228, 229, 230, 231}));
    EXPECT_EQ(Reply::fieldText(offer.file), "boot/pxe.0");
}

TEST_F(ReplyOptionsTest, OverflowMovesIntoFileAndSname) {
    useLargeProfile("boot/pxe.0", "srv1");
    Reply offer = send(largeDiscover());
    ASSERT_TRUE(offer);
    EXPECT_EQ(offer.length, 548u);
    EXPECT_TRUE(offer.wellFormed);
    EXPECT_EQ(offer.overload, 3);
    // `file` first carries the boot file name, `sname` the server name.
    EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, 228, 229, 230, kOverload, 67, 231, 66}));
    EXPECT_EQ(offer.text(67), std::string("boot/pxe.0\0", 11));
    EXPECT_EQ(offer.text(66), std::string("srv1\0", 5));
    EXPECT_EQ(offer.text(231), std::string(20, 'f'));

    // An option too large for either field is dropped; the smaller one after it still goes. A
    // value in two parts goes whole or not at all: its second part alone would be taken for it.
    Profile p = lanProfile();
    p.bootFile = "boot/pxe.0";
    p.bootName = "srv1";
    addOptionLines(p, {"224 100 \"" + std::string(100, 'a'), "225 100 \"" + std::string(100, 'b'),
                       "226 120 \"" + std::string(120, 'c'), "226 10 \"" + std::string(10, 'd'),
                       "231 20 \"" + std::string(20, 'f')});
    useProfiles({p});
    offer = send(discover(mac(1)).option(kParameterList, {1, 3, 224, 225, 226, 231}));
    EXPECT_TRUE(offer.wellFormed);
    EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, kOverload, 67, 231, 66}));
    EXPECT_EQ(offer.text(231), std::string(20, 'f'));
}

// The relay agent looks for its information only in the options field, where it is the last
// option, however many options move, and whatever its size; also in a reply that a long client
// identifier and long names fill to the server's own limit, for the agent drops one without it.
TEST_F(ReplyOptionsTest, RelayInformationStaysLastInTheOptionsField) {
    settings([](DhcpSettings& d) { d.general.enableRa = 1; });
    useLargeProfile("boot/pxe.0", "srv1", makeIpv4(10, 9, 0, 1));
    const std::pair<bool, std::size_t> rows[] = {{false, 6}, {false, 120}, {false, 255}, {true, 255}};
    for (auto [full, size] : rows) {
        Bytes information{1, static_cast<std::uint8_t>(size - 2)};
        information.resize(size, 'c');
        RequestBuilder b = largeDiscover().giaddr(makeIpv4(10, 9, 0, 1)).option(kRelayInformation, information);
        if (full) b.option(kMaxMessageSize, {0x05, 0xDC}).option(61, Bytes(255, 'L')).option(55, {17, 15, 47});
        Reply offer = send(b);
        ASSERT_TRUE(offer) << size;
        EXPECT_TRUE(offer.wellFormed) << size;
        if (full) {
            EXPECT_LE(offer.length, 1469u) << size;
            EXPECT_EQ(offer.codes().back(), kRelayInformation) << size;
            continue;
        }
        EXPECT_EQ(offer.overload, 3) << size;
        EXPECT_EQ(offer.length, 548u) << size;
        // Last in the options field: right after option 52, before `file` begins with 67.
        const Codes codes = offer.codes();
        const auto at = static_cast<std::size_t>(std::find(codes.begin(), codes.end(), kOverload) - codes.begin());
        ASSERT_LT(at + 2, codes.size()) << size;
        EXPECT_EQ(Codes(codes.begin() + at + 1, codes.begin() + at + 3), (Codes{kRelayInformation, 67})) << size;
        EXPECT_EQ(offer.find(kRelayInformation)->value, information);
        EXPECT_EQ(codes[0], kMessageType) << size;
    }
}

TEST_F(ReplyOptionsTest, ReplyReachingTheLimitIsOverloaded) {
    // 255 bytes up to 51, 1 and 3 to 267, two lines of 102 bytes to 471, then one of n + 2:
    // with n = 74 the end byte is byte 548.
    for (int n : {73, 74}) {
        Profile p = lanProfile();
        p.bootFile = "boot/pxe.0";
        const std::string last = "232 " + std::to_string(n) + " \"" + std::string(static_cast<std::size_t>(n), 'z');
        addOptionLines(p, {"224 100 \"" + std::string(100, 'a'), "225 100 \"" + std::string(100, 'b'), last});
        useProfiles({p});
        Reply offer = send(discover(mac(1)).option(kParameterList, {1, 3, 224, 225, 232}));
        EXPECT_EQ(offer.length, 548u);
        if (n == 73)
            EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, 232}));
        else
            EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, kOverload, 67, 232}));
    }
}

TEST_F(ReplyOptionsTest, ALongBootFileNameKeepsFile) {
    const std::string name(126, 'x');
    useLargeProfile(name, "srv1");
    Reply offer = send(largeDiscover());
    EXPECT_TRUE(offer.wellFormed);
    EXPECT_EQ(offer.overload, 2);
    EXPECT_EQ(Reply::fieldText(offer.file), name);
    EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, 228, 229, 230, kOverload, 66, 231}));

    // With a server name too long as well, or for BOOTP, no field takes options: what still fits
    // in the options field stays there, not only what comes before the first that does not.
    Profile p = lanProfile();
    p.bootFile = name;
    p.bootName = std::string(62, 'n');
    addOptionLines(p, {"224 100 \"" + std::string(100, 'a'), "225 100 \"" + std::string(100, 'b'),
                       "226 120 \"" + std::string(120, 'c'), "231 20 \"" + std::string(20, 'f')});
    useProfiles({p});
    const Bytes list{1, 3, 224, 225, 226, 231};
    offer = send(discover(mac(1)).option(kParameterList, list));
    EXPECT_EQ(offer.overload, 0);
    EXPECT_EQ(requested(offer), (Codes{1, 3, 224, 225, 231}));
    EXPECT_EQ(send(RequestBuilder().chaddr(mac(2)).option(kParameterList, list)).codes(), (Codes{1, 3, 224, 225, 231}));
}

TEST_F(ReplyOptionsTest, UseOptSendsServerAndFileAsOptions) {
    Profile p = lanProfile();
    p.useOpt = 1;
    p.bootName = "%S";
    p.bootFile = "pxelinux.0";
    useProfiles({p});
    Reply offer = send(discover(mac(1)).option(kParameterList, {66, 67}));
    EXPECT_EQ(requested(offer), (Codes{66, 67}));
    EXPECT_EQ(offer.text(66), std::string("192.168.1.1\0", 12));
    EXPECT_EQ(offer.text(67), std::string("pxelinux.0\0", 11));
    EXPECT_EQ(offer.sname, Bytes(64, 0));
    EXPECT_EQ(offer.file, Bytes(128, 0));

    // Without UseOpt the names stand in the header fields instead.
    p.useOpt = 0;
    useProfiles({p});
    offer = send(discover(mac(1)).option(kParameterList, {66, 67}));
    EXPECT_EQ(requested(offer), Codes{});
    EXPECT_EQ(Reply::fieldText(offer.sname), "192.168.1.1");
    EXPECT_EQ(Reply::fieldText(offer.file), "pxelinux.0");
}

// A client that sent a client identifier finds it in every answer, byte for byte, whether or
// not it identifies the client; one that sent none finds none (RFC 6842).
TEST_F(ReplyOptionsTest, ClientIdentifierIsEchoedUnchanged) {
    const Bytes id{1, 0x00, 0x11, 0x22, 0x33, 0x44, 0x01}, longId(255, 'L'), half(150, 'h');
    struct Case {
        const char* name;
        int enableId;
        int replyType;
        std::function<void(RequestBuilder&)> build;
        Bytes echoed;  // empty: none
        Ipv4 source = 0;
    } cases[] = {
        {"OFFER, identified by hardware address", 0, kOffer, [&](auto& b) { b.type(kDiscover).option(61, id); }, id},
        {"OFFER, identified by option 61", 1, kOffer, [&](auto& b) { b.type(kDiscover).option(61, id); }, id},
        {"255 bytes", 1, kOffer, [&](auto& b) { b.type(kDiscover).option(61, longId); }, longId},
        {"none sent", 1, kOffer, [](auto& b) { b.type(kDiscover); }, {}},
        {"sent in two parts: whole",
         1,
         kOffer,
         [](auto& b) {
             b.type(kDiscover).option(61, {1, 2}).option(61, {3});
         },
         {1, 2, 3}},
        // Cut, a client that compares would take it for another's.
        {"too long for one option",
         1,
         kOffer,
         [&](auto& b) { b.type(kDiscover).option(61, half).option(61, half); },
         {}},
        {"ACK", 1, kAck, [&](auto& b) { b.type(kRequest).address(kServerIdentifier, kServer).option(61, id); }, id},
        {"NAK", 1, kNak, [&](auto& b) { b.type(kRequest).ciaddr(lan(130)).option(61, id); }, id, lan(130)},
        {"ACK of an INFORM", 0, kAck, [&](auto& b) { b.type(kInform).ciaddr(lan(5)).option(61, id); }, id, lan(5)},
    };
    useProfiles({lanProfile()});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        settings([&](DhcpSettings& d) { d.general.enableId = c.enableId; });
        RequestBuilder b;
        c.build(b.chaddr(mac(1)).option(kParameterList, {1, 3}));
        Reply reply = send(b, c.source);
        ASSERT_TRUE(reply);
        EXPECT_TRUE(reply.wellFormed);
        EXPECT_EQ(reply.find(kMessageType)->value, Bytes{static_cast<std::uint8_t>(c.replyType)});
        const ReplyOption* echoed = reply.find(kClientIdentifier);
        EXPECT_EQ(echoed != nullptr ? echoed->value : Bytes{}, c.echoed);
    }
    // The answer that tells a refused client not to configure itself echoes it too.
    settings([](DhcpSettings& d) { d.general.regOnly = 1, d.general.autoConfigure = 0; });
    Reply answer = send(discover(mac(2)).option(kAutoConfigure, {1}).option(kClientIdentifier, id));
    EXPECT_EQ(answer.codes(), (Codes{kMessageType, kClientIdentifier, kAutoConfigure}));
    EXPECT_EQ(answer.find(kClientIdentifier)->value, id);
}

}  // namespace
}  // namespace tolmark::dhcp::testing
