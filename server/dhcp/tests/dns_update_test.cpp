// DNS registration: the records a lease produces, the bytes of both messages, and the exchange
// with a server on loopback that answers as the test tells it.

#include <gtest/gtest.h>

#include <atomic>
#include <span>
#include <thread>

#include <sys/resource.h>

#include "platform/udp_socket.h"
#include "server/dhcp/dns_message.h"
#include "server/dhcp/dns_update_client.h"
#include "tests/support/fakes.h"

#include <algorithm>

namespace tolmark::dhcp {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Appends labels of a dotted name in wire form.
void name(Bytes& b, std::string_view dotted) {
    std::size_t start = 0;
    while (start <= dotted.size()) {
        std::size_t dot = dotted.find('.', start);
        if (dot == std::string_view::npos) dot = dotted.size();
        b.push_back(static_cast<std::uint8_t>(dot - start));
        b.insert(b.end(), dotted.begin() + start, dotted.begin() + dot);
        start = dot + 1;
    }
    b.push_back(0);
}
void add(Bytes& b, std::initializer_list<int> values) {
    for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
}

Bytes encode(DnsMessageKind kind, const DnsRecordEntry& e, std::uint16_t id, bool pad = false) {
    Bytes out(kDnsMessageCapacity);
    out.resize(encodeDnsMessage(kind, e, id, out, pad));
    return out;
}

DnsUpdate lease(std::string host, std::string domain, Ipv4 mask = makeIpv4(255, 255, 255, 0)) {
    return DnsUpdate{std::move(host), std::move(domain), makeIpv4(192, 168, 5, 7), mask, 3600, makeIpv4(127, 0, 0, 1)};
}

TEST(DnsEntries, ForwardAndReverseRecordsOfALease) {
    DnsEntryPair e;
    ASSERT_EQ(makeDnsEntries(lease("pc1.home", "lab.test"), e), DnsEntryResult::Ok);
    EXPECT_EQ(e.forward.zone, "lab.test");
    EXPECT_EQ(e.forward.name, "pc1.lab.test");
    EXPECT_EQ(e.forward.address, makeIpv4(192, 168, 5, 7));
    EXPECT_EQ(e.forward.ttl, 3600u);
    EXPECT_EQ(e.reverse.zone, "5.168.192.in-addr.arpa");
    EXPECT_EQ(e.reverse.name, "7.5.168.192.in-addr.arpa");
    EXPECT_EQ(e.reverse.target, "pc1.lab.test");
    EXPECT_TRUE(e.reverse.isPtr());
    // An infinite lease (BOOTP, a static entry) gets the longest TTL a record may have: one with
    // the top bit set counts as 0, and the record would never be cached.
    DnsUpdate forever = lease("pc1", "lab.test");
    forever.leaseTime = 0xFFFFFFFFu;
    ASSERT_EQ(makeDnsEntries(forever, e), DnsEntryResult::Ok);
    EXPECT_EQ(std::make_pair(e.forward.ttl, e.reverse.ttl), std::make_pair(0x7FFFFFFFu, 0x7FFFFFFFu));

    struct {
        Ipv4 mask;
        const char* zone;
    } zones[] = {
        {makeIpv4(255, 255, 255, 128), "5.168.192.in-addr.arpa"},
        {makeIpv4(255, 255, 0, 0), "168.192.in-addr.arpa"},
        {makeIpv4(255, 255, 240, 0), "5.168.192.in-addr.arpa"},  // /20: its third byte is not 0
        {makeIpv4(255, 0, 0, 0), "192.in-addr.arpa"},
        {makeIpv4(255, 255, 255, 255), "5.168.192.in-addr.arpa"},  // one host
        {0, "192.in-addr.arpa"},                                   // no mask: the first byte still
    };
    for (const auto& z : zones) {
        ASSERT_EQ(makeDnsEntries(lease("pc1", "lab.test.", z.mask), e), DnsEntryResult::Ok);
        EXPECT_EQ(e.reverse.zone, z.zone);
        EXPECT_EQ(e.forward.zone, "lab.test") << "an absolute domain names the same zone";
    }

    EXPECT_EQ(makeDnsEntries(lease("", "lab.test"), e), DnsEntryResult::NoName);
    const std::string longLabel(64, 'a');
    for (const std::string& bad :
         {longLabel, std::string("-pc"), std::string("pc_1"), std::string("p c"), std::string(".pc")}) {
        EXPECT_EQ(makeDnsEntries(lease(bad, "lab.test"), e), DnsEntryResult::BadName) << bad;
    }
    EXPECT_EQ(makeDnsEntries(lease("pc1", "lab..test"), e), DnsEntryResult::BadName);
    EXPECT_EQ(makeDnsEntries(lease("pc1", ""), e), DnsEntryResult::BadName);
    // 63 is the longest label; the whole name may take 255 bytes in wire form.
    EXPECT_EQ(makeDnsEntries(lease(std::string(63, 'a'), "lab.test"), e), DnsEntryResult::Ok);
    const std::string domain = std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(63, 'd') + ".";
    EXPECT_EQ(makeDnsEntries(lease("a", domain + std::string(59, 'e')), e), DnsEntryResult::Ok);  // 255 bytes
    EXPECT_EQ(makeDnsEntries(lease("a", domain + std::string(60, 'e')), e), DnsEntryResult::BadName);
}

TEST(DnsMessages, CheckMessageForAnARecord) {
    DnsEntryPair e;
    ASSERT_EQ(makeDnsEntries(lease("pc1", "lab.test"), e), DnsEntryResult::Ok);
    Bytes want;
    add(want, {0x00, 0x01, 0x28, 0x00});                          // ID 1, flags: opcode UPDATE
    add(want, {0x00, 0x01, 0x00, 0x02, 0x00, 0x00, 0x00, 0x00});  // 1 zone, 2 prerequisites, 0 updates, 0 additional
    name(want, "lab.test");
    add(want, {0x00, 0x06, 0x00, 0x01});  // zone: SOA, IN
    name(want, "pc1.lab.test");
    add(want, {0x00, 0x05, 0x00, 0xFE, 0, 0, 0, 0, 0x00, 0x00});  // no CNAME: CNAME, NONE, TTL 0, no data
    name(want, "pc1.lab.test");
    add(want, {0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x04, 192, 168, 5, 7});  // A IN TTL 0, the address
    EXPECT_EQ(want.size(), 78u);
    EXPECT_EQ(encode(DnsMessageKind::Check, e.forward, 1), want);
}

TEST(DnsMessages, UpdateMessageForAPtrRecord) {
    DnsEntryPair e;
    ASSERT_EQ(makeDnsEntries(lease("pc1", "lab.test"), e), DnsEntryResult::Ok);
    Bytes want;
    add(want, {0x00, 0x02, 0x28, 0x00});                          // ID 2, UPDATE
    add(want, {0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00});  // 1 zone, 1 prerequisite, 2 updates
    name(want, "5.168.192.in-addr.arpa");
    add(want, {0x00, 0x06, 0x00, 0x01});
    name(want, "7.5.168.192.in-addr.arpa");
    add(want, {0x00, 0x05, 0x00, 0xFE, 0, 0, 0, 0, 0x00, 0x00});
    name(want, "7.5.168.192.in-addr.arpa");
    add(want, {0x00, 0x0C, 0x00, 0xFF, 0, 0, 0, 0, 0x00, 0x00});  // delete: PTR, ANY, TTL 0, no data
    name(want, "7.5.168.192.in-addr.arpa");
    add(want, {0x00, 0x0C, 0x00, 0x01, 0x00, 0x00, 0x0E, 0x10, 0x00, 0x0E});  // add: PTR IN TTL 3600, 14 bytes
    name(want, "pc1.lab.test");
    EXPECT_EQ(encode(DnsMessageKind::Update, e.reverse, 2), want);

    // The other two: the PTR check carries the target, the A update the TTL and the address.
    const Bytes ptrCheck = encode(DnsMessageKind::Check, e.reverse, 3);
    EXPECT_EQ(ptrCheck.size(), 126u);
    EXPECT_EQ(Bytes(ptrCheck.end() - 14, ptrCheck.end()), Bytes(want.end() - 14, want.end()));
    const Bytes aUpdate = encode(DnsMessageKind::Update, e.forward, 4);
    EXPECT_EQ(Bytes(aUpdate.end() - 10, aUpdate.end()), (Bytes{0x00, 0x00, 0x0E, 0x10, 0x00, 0x04, 192, 168, 5, 7}));
    // And an A record's update holds only while no DHCID marks the name: DHCID, NONE, no data.
    const Bytes noDhcid{0x00, 0x31, 0x00, 0xFE, 0, 0, 0, 0, 0x00, 0x00};
    EXPECT_EQ(aUpdate[7], 2);
    EXPECT_NE(std::search(aUpdate.begin(), aUpdate.end(), noDhcid.begin(), noDhcid.end()), aUpdate.end());
}

Bytes hex(std::string_view text) {
    Bytes b;
    for (std::size_t i = 0; i + 1 < text.size(); i += 2)
        b.push_back(static_cast<std::uint8_t>(std::stoi(std::string(text.substr(i, 2)), nullptr, 16)));
    return b;
}

TEST(DnsMessages, DhcidRecordsAndTheMessagesThatAddOrReplaceAnOwnedName) {
    // The examples of RFC 4701: a client identifier, and an Ethernet address.
    const Bytes clientId{0x01, 0x07, 0x08, 0x09, 0x0a, 0x0b, 0x0c};
    const Bytes ethernet{0x01, 0x02, 0x03, 0x04, 0x05, 0x06};
    EXPECT_EQ(dhcidData(dhcidIdentifier(clientId, ethernet), "chi.example.com"),
              hex("000101"
                  "3920fe5d1dceb3fd0ba3379756a70d73b17009f41d58bddbfcd6a2503956d8da"));
    EXPECT_EQ(dhcidData(dhcidIdentifier({}, ethernet), "Client.Example.COM"),
              hex("000001"
                  "c4b9a5b249651343158dde7bcc77169841f7a4243a572b5c283fffedeb3f75e6"));
    EXPECT_TRUE(dhcidData({}, "a.b").empty());

    DnsUpdate update = lease("pc1", "lab.test");
    update.clientIdentity = dhcidIdentifier({}, ethernet);
    DnsEntryPair e;
    ASSERT_EQ(makeDnsEntries(update, e), DnsEntryResult::Ok);
    ASSERT_EQ(e.forward.dhcid.size(), 35u);
    EXPECT_TRUE(e.reverse.dhcid.empty());
    const auto dhcidRecord = [&](Bytes& b, std::initializer_list<int> ttl) {
        name(b, "pc1.lab.test");
        add(b, {0x00, 0x31, 0x00, 0x01});  // DHCID IN
        add(b, ttl);
        add(b, {0x00, 35});
        b.insert(b.end(), e.forward.dhcid.begin(), e.forward.dhcid.end());
    };
    Bytes add1;
    add(add1, {0x00, 0x05, 0x28, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00});
    name(add1, "lab.test");
    add(add1, {0x00, 0x06, 0x00, 0x01});
    name(add1, "pc1.lab.test");
    add(add1, {0x00, 0xFF, 0x00, 0xFE, 0, 0, 0, 0, 0x00, 0x00});  // the name is not in use: ANY, NONE
    name(add1, "pc1.lab.test");
    add(add1, {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x0E, 0x10, 0x00, 0x04, 192, 168, 5, 7});
    dhcidRecord(add1, {0x00, 0x00, 0x0E, 0x10});
    EXPECT_EQ(encode(DnsMessageKind::Add, e.forward, 5), add1);

    Bytes replace;
    add(replace, {0x00, 0x06, 0x28, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x02, 0x00, 0x00});
    name(replace, "lab.test");
    add(replace, {0x00, 0x06, 0x00, 0x01});
    dhcidRecord(replace, {0, 0, 0, 0});  // the name's DHCID is this one
    name(replace, "pc1.lab.test");
    add(replace, {0x00, 0x01, 0x00, 0xFF, 0, 0, 0, 0, 0x00, 0x00});
    name(replace, "pc1.lab.test");
    add(replace, {0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x0E, 0x10, 0x00, 0x04, 192, 168, 5, 7});
    EXPECT_EQ(encode(DnsMessageKind::Replace, e.forward, 6), replace);
    // No ownership for PTR records or without a DHCID.
    EXPECT_TRUE(encode(DnsMessageKind::Add, e.reverse, 7).empty());
}

TEST(DnsMessages, RemovalsHoldOnlyWhileTheRecordIsStillTheLeases) {
    DnsUpdate update = lease("pc1", "lab.test");
    update.clientIdentity = dhcidIdentifier({}, Bytes{0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    DnsEntryPair e;
    ASSERT_EQ(makeDnsEntries(update, e), DnsEntryResult::Ok);
    Bytes a;
    add(a, {0x00, 0x08, 0x28, 0x00, 0x00, 0x01, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00});  // 2 prerequisites, 2 updates
    name(a, "lab.test");
    add(a, {0x00, 0x06, 0x00, 0x01});
    name(a, "pc1.lab.test");
    add(a, {0x00, 0x31, 0x00, 0x01, 0, 0, 0, 0, 0x00, 35});  // the name's DHCID is this client's
    a.insert(a.end(), e.forward.dhcid.begin(), e.forward.dhcid.end());
    name(a, "pc1.lab.test");
    add(a, {0x00, 0x01, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x04, 192, 168, 5, 7});  // its A records: this one alone
    name(a, "pc1.lab.test");
    add(a, {0x00, 0x01, 0x00, 0xFE, 0, 0, 0, 0, 0x00, 0x04, 192, 168, 5, 7});  // delete this A record (NONE)
    name(a, "pc1.lab.test");
    add(a, {0x00, 0x31, 0x00, 0xFF, 0, 0, 0, 0, 0x00, 0x00});  // delete the DHCID (ANY)
    EXPECT_EQ(encode(DnsMessageKind::Remove, e.forward, 8), a);

    Bytes ptr;
    add(ptr, {0x00, 0x09, 0x28, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});  // 1 prerequisite, 1 update
    name(ptr, "5.168.192.in-addr.arpa");
    add(ptr, {0x00, 0x06, 0x00, 0x01});
    name(ptr, "7.5.168.192.in-addr.arpa");
    add(ptr, {0x00, 0x0C, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x0E});  // its PTR records: this target alone
    name(ptr, "pc1.lab.test");
    name(ptr, "7.5.168.192.in-addr.arpa");
    add(ptr, {0x00, 0x0C, 0x00, 0xFE, 0, 0, 0, 0, 0x00, 0x0E});  // delete this PTR record (NONE)
    name(ptr, "pc1.lab.test");
    EXPECT_EQ(encode(DnsMessageKind::Remove, e.reverse, 9), ptr);

    // Nothing says whose an A record without a DHCID is: no message removes it.
    ASSERT_EQ(makeDnsEntries(lease("pc1", "lab.test"), e), DnsEntryResult::Ok);
    EXPECT_TRUE(encode(DnsMessageKind::Remove, e.forward, 10).empty());
}

TEST(DnsMessages, PadOnlyOddLengthsAndRefuseWhatDoesNotFit) {
    DnsEntryPair e;
    ASSERT_EQ(makeDnsEntries(lease("pc1", "lab.tst"), e), DnsEntryResult::Ok);
    EXPECT_EQ(encode(DnsMessageKind::Check, e.forward, 1).size(), 75u);
    const Bytes padded = encode(DnsMessageKind::Check, e.forward, 1, true);
    ASSERT_EQ(padded.size(), 76u);
    EXPECT_EQ(padded.back(), 0);
    EXPECT_EQ(encode(DnsMessageKind::Update, e.reverse, 1, true).size() % 2, 0u);

    Bytes small(40);
    EXPECT_EQ(encodeDnsMessage(DnsMessageKind::Check, e.forward, 1, small, false), 0u);
}

TEST(DnsMessages, AnswerCountsOnlyAsAResponseWithItsId) {
    EXPECT_EQ(readDnsAnswerCode(Bytes{0x00, 0x07, 0xA8, 0x08, 0, 1, 0, 0, 0, 0, 0, 0}, 7), 8u);
    EXPECT_EQ(readDnsAnswerCode(Bytes{0x00, 0x07, 0xA8, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}, 7), 0u);
    EXPECT_FALSE(readDnsAnswerCode(Bytes{0x00, 0x06, 0xA8, 0x08, 0, 1, 0, 0, 0, 0, 0, 0}, 7));  // other ID
    EXPECT_FALSE(readDnsAnswerCode(Bytes{0x00, 0x07, 0x28, 0x08, 0, 1, 0, 0, 0, 0, 0, 0}, 7));  // not a response
    EXPECT_FALSE(readDnsAnswerCode(Bytes{0x00, 0x07, 0xA8, 0x08, 0, 1, 0, 0, 0, 0, 0}, 7));     // one byte short
}

bool logged(const tolmark::testing::CapturingLog& log, std::string_view text) {
    return std::any_of(log.lines.begin(), log.lines.end(),
                       [&](const std::string& line) { return line.find(text) != std::string::npos; });
}

// A DNS server on loopback: answers each message with the response codes it is given in turn
// (-1: no answer), optionally after stray datagrams: one with the wrong ID, and answers with the
// right ID and code 0 from another port and from another address.
class ScriptedDnsServer {
public:
    explicit ScriptedDnsServer(std::vector<int> codes, bool strayFirst = false)
        : socket_(platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 1), 0)),
          codes_(std::move(codes)),
          strayFirst_(strayFirst),
          otherPort_(platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 1), 0)),
          otherHost_(platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 2), socket_.localPort())) {
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedDnsServer() {
        stop_.signal();
        thread_.join();
    }
    std::uint16_t port() const { return socket_.localPort(); }
    std::vector<Bytes> received() {
        std::lock_guard<std::mutex> g(lock_);
        return received_;
    }

private:
    void serve() {
        const int fds[] = {socket_.fd()};
        for (int code : codes_) {
            bool readable[1] = {false};
            if (platform::waitReadable(fds, &stop_, 5000, readable) != platform::WaitResult::Readable) return;
            Bytes message(kDnsMessageCapacity);
            platform::DatagramInfo from;
            const long n = socket_.receive(message.data(), message.size(), from);
            if (n < 12) return;
            message.resize(static_cast<std::size_t>(n));
            {
                std::lock_guard<std::mutex> g(lock_);
                received_.push_back(message);
            }
            if (code < 0) continue;
            Bytes answer(message.begin(), message.begin() + 12);
            answer[2] |= 0x80;
            answer[3] = static_cast<std::uint8_t>(code);
            if (strayFirst_) {
                Bytes stray = answer;
                stray[1] ^= 0x55;
                stray[3] = 0;
                socket_.send(stray.data(), stray.size(), from.source, from.sourcePort);
                stray[1] ^= 0x55;
                otherPort_.send(stray.data(), stray.size(), from.source, from.sourcePort);
                otherHost_.send(stray.data(), stray.size(), from.source, from.sourcePort);
            }
            socket_.send(answer.data(), answer.size(), from.source, from.sourcePort);
        }
    }

    platform::UdpSocket socket_;
    std::vector<int> codes_;
    bool strayFirst_;
    platform::UdpSocket otherPort_, otherHost_;
    platform::WakeEvent stop_;
    std::thread thread_;
    std::mutex lock_;
    std::vector<Bytes> received_;
};

TEST(DnsUpdateClient, ChecksFirstAndUpdatesOnlyWhatIsMissing) {
    tolmark::testing::CapturingLog log;
    platform::WakeEvent stop;
    // The A record is already there (0); the PTR record is missing (8), so its update follows.
    ScriptedDnsServer server({0, 8, -1});
    DnsUpdateClient client(log, stop, server.port(), std::chrono::milliseconds(2000));
    const DnsUpdate updates[] = {lease("pc1", "lab.test"), lease("", "lab.test")};
    const std::vector<DnsResult> results = client.send(updates);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].outcome, DnsOutcome::Present);
    EXPECT_EQ(results[1].outcome, DnsOutcome::Updated);
    EXPECT_EQ(client.messagesSent(), 3u);
    for (int i = 0; i < 100 && server.received().size() < 3; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const std::vector<Bytes> got = server.received();
    ASSERT_EQ(got.size(), 3u);
    // Each message has an ID of its own, and no counter an outsider could follow gives them.
    std::uint16_t ids[3];
    for (int i = 0; i < 3; ++i) ids[i] = static_cast<std::uint16_t>(got[i].at(0) << 8 | got[i].at(1));
    EXPECT_EQ(ids[2], client.lastId());
    EXPECT_TRUE(ids[0] != ids[1] && ids[1] != ids[2]);
    EXPECT_FALSE(ids[1] == ids[0] + 1 && ids[2] == ids[1] + 1);
    DnsEntryPair e;
    makeDnsEntries(lease("pc1", "lab.test"), e);
    EXPECT_EQ(got[0], encode(DnsMessageKind::Check, e.forward, ids[0], true));
    EXPECT_EQ(got[1], encode(DnsMessageKind::Check, e.reverse, ids[1], true));
    EXPECT_EQ(got[2], encode(DnsMessageKind::Update, e.reverse, ids[2], true));
}

TEST(DnsUpdateClient, StrayAnswersAndSilenceAreNotTakenForTheAnswer) {
    tolmark::testing::CapturingLog log(2);
    platform::WakeEvent stop;
    // Stray answers (other ID, or the right ID from elsewhere, RCODE 0) come first each time:
    // none must count as "present".
    ScriptedDnsServer server({8, 0, -1, -1}, true);
    DnsUpdateClient client(log, stop, server.port(), std::chrono::milliseconds(300));
    const DnsUpdate updates[] = {lease("pc1", "lab.test")};
    const std::vector<DnsResult> results = client.send(updates);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].outcome, DnsOutcome::Updated);
    EXPECT_EQ(results[1].outcome, DnsOutcome::NoAnswer);
    EXPECT_TRUE(logged(log, "DHCP  Error   DNS check of 7.5.168.192.in-addr.arpa: no answer from 127.0.0.1"));

    // A name that cannot be registered is skipped at the normal log level, with the reason.
    log.setLevel(1);
    const std::string tooLong =
        std::string(63, 'b') + "." + std::string(63, 'c') + "." + std::string(63, 'd') + "." + std::string(60, 'e');
    const struct {
        std::string host, domain;
        const char* line;
    } bad[] = {
        {"pc_1", "lab.test", "DHCP  Error   host name pc_1.lab.test not registered in DNS: not a host label\n"},
        {"pc1", "", "host name pc1. not registered in DNS: the domain is not a DNS name\n"},
        {"pc1", "lab..test", "DNS: the domain is not a DNS name\n"},
        {"pc1", tooLong, "DNS: the name is longer than 255 bytes\n"},
    };
    for (const auto& b : bad) {
        const DnsUpdate one[] = {lease(b.host, b.domain)};
        EXPECT_EQ(client.send(one).at(0).outcome, DnsOutcome::NotSent);
        EXPECT_TRUE(logged(log, b.line)) << b.line << "\n" << log.lines.back();
    }
}

TEST(DnsUpdateClient, ASilentServerHoldsUpNoOtherServersUpdates) {
    tolmark::testing::CapturingLog log(1);
    platform::WakeEvent stop;
    // 127.0.0.1 answers "present" for every record; nobody listens at 127.0.0.2.
    ScriptedDnsServer server({0, 0, 0, 0});
    DnsUpdateClient client(log, stop, server.port(), std::chrono::milliseconds(200));
    std::vector<DnsUpdate> updates;
    for (int i = 0; i < 6; ++i) {
        updates.push_back(lease("pc" + std::to_string(i), "lab.test"));
        if (i % 3 != 0) updates.back().dnsServer = makeIpv4(127, 0, 0, 2);
    }
    const std::vector<DnsResult> results = client.send(updates);
    // One wait for the silent server; its other records of the batch are not sent.
    EXPECT_EQ(client.messagesSent(), 5u);
    std::vector<DnsOutcome> outcomes;
    outcomes.reserve(results.size());
    for (const DnsResult& r : results) outcomes.push_back(r.outcome);
    using enum DnsOutcome;
    EXPECT_EQ(outcomes, (std::vector<DnsOutcome>{Present, Present, NoAnswer, NotSent, NotSent, NotSent, Present,
                                                 Present, NotSent, NotSent, NotSent, NotSent}));
    EXPECT_TRUE(logged(log, "DHCP  Error   DNS check of pc1.lab.test: no answer from 127.0.0.2\n"));
    EXPECT_TRUE(logged(log, "DHCP  Error   DNS server 127.0.0.2 did not answer: 7 records not sent\n"));

    // A deadline (a stop's) cuts the wait for an answer short (127.0.0.1 gives no more), and
    // nothing goes out after it; each result names its update.
    {
        DnsUpdateClient stopping(log, stop, server.port(), std::chrono::seconds(2));
        stopping.setDeadline(std::chrono::steady_clock::now() + std::chrono::milliseconds(50));
        const auto started = std::chrono::steady_clock::now();
        const DnsUpdate answered[] = {updates[0], updates[3]};
        const std::vector<DnsResult> late = stopping.send(answered);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
        EXPECT_EQ(stopping.messagesSent(), 1u);
        std::vector<std::pair<DnsOutcome, std::size_t>> cut;
        cut.reserve(late.size());
        for (const DnsResult& r : late) cut.emplace_back(r.outcome, r.update);
        EXPECT_EQ(cut, (std::vector<std::pair<DnsOutcome, std::size_t>>{
                           {NoAnswer, 0}, {NotSent, 0}, {NotSent, 1}, {NotSent, 1}}));
    }

    // Without a socket (no descriptor left) nothing is sent, and the log says why once.
    {
        rlimit saved{};
        ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
        rlimit none = saved;
        none.rlim_cur = 0;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &none), 0);
        const std::vector<DnsResult> unsent = client.send(std::span(updates).first(2));
        setrlimit(RLIMIT_NOFILE, &saved);
        ASSERT_EQ(unsent.size(), 4u);
        for (const DnsResult& r : unsent) EXPECT_EQ(r.outcome, DnsOutcome::SendFailed);
        EXPECT_TRUE(logged(log, "DHCP  Error   DNS updates not sent: no socket: Too many open files\n"));
    }

    // Updates that could not wait while the queue was full are counted, and the count is logged
    // with the next batch.
    DnsUpdateQueue queue;
    for (std::size_t i = 0; i < DnsUpdateQueue::kCapacity + 6; ++i) queue.push(lease("pc1", "lab.test"));
    DnsUpdate removal = lease("pc1", "lab.test");
    removal.removal = true;
    queue.push(removal);
    EXPECT_EQ(queue.size(), DnsUpdateQueue::kCapacity);
    stop.signal();
    EXPECT_EQ(client.sendQueued(queue).size(), 2 * DnsUpdateQueue::kCapacity);
    EXPECT_TRUE(logged(log, "DHCP  Error   6 DNS updates lost: the queue was full\n"));
    EXPECT_TRUE(logged(log, "DHCP  Error   1 DNS removals lost: the queue was full\n"));
    EXPECT_EQ(queue.size(), 0u);
    client.sendQueued(queue);  // logs no loss again: the counts start over
    EXPECT_EQ(std::count_if(log.lines.begin(), log.lines.end(),
                            [](const std::string& l) { return l.find("lost") != std::string::npos; }),
              2);
}

TEST(DnsUpdateClient, ANameOwnedByAnotherClientIsNotTakenOver) {
    struct Case {
        std::vector<int> codes;  // the answers to the messages in turn
        DnsOutcome forward;
        std::size_t messages;  // messages for the A record
        const char* line = nullptr;
        bool anonymous = false;  // a client known by no identity: no DHCID
    };
    for (const Case& c : std::vector<Case>{
             {{0, 0}, DnsOutcome::Present, 1},         // the record is there
             {{8, 0, 0}, DnsOutcome::Updated, 2},      // the name was free: added with its DHCID
             {{8, 6, 0, 0}, DnsOutcome::Updated, 3},   // in use, and this client's: replaced
             {{8, 6, 8, 0}, DnsOutcome::Conflict, 3},  // in use by another, or not by a client
             {{8, 6, 5, 0}, DnsOutcome::Failed, 3, "DNS update of ns.lab.test: rcode 5 (REFUSED) from 127.0.0.1\n"},
             {{2, 0}, DnsOutcome::Failed, 1, "DNS check of ns.lab.test: rcode 2 (SERVFAIL) from 127.0.0.1\n"},
             {{9, 0}, DnsOutcome::Failed, 1, "DNS check of ns.lab.test: rcode 9 (NOTAUTH) from 127.0.0.1\n"},
             {{8, -1, -1}, DnsOutcome::NoAnswer, 2},
             {{8, 0, 0}, DnsOutcome::Updated, 2, nullptr, true},  // without a DHCID: the name was no client's
             {{8, 7}, DnsOutcome::Conflict, 2, nullptr, true},    // it is a client's (YXRRSET)
         }) {
        tolmark::testing::CapturingLog log(2);
        platform::WakeEvent stop;
        ScriptedDnsServer server(c.codes);
        DnsUpdateClient client(log, stop, server.port(), std::chrono::milliseconds(300));
        DnsUpdate update = lease("ns", "lab.test");
        if (!c.anonymous) update.clientIdentity = dhcidIdentifier({}, Bytes{2, 0, 0, 0, 0, 1});
        const DnsUpdate updates[] = {update};
        const std::vector<DnsResult> results = client.send(updates);
        ASSERT_FALSE(results.empty());
        EXPECT_EQ(results[0].outcome, c.forward);
        EXPECT_EQ(results[0].outcome == DnsOutcome::Conflict,
                  logged(log, "DHCP  Error   DNS name ns.lab.test belongs to another client, not updated"));
        if (c.line != nullptr) {
            EXPECT_TRUE(logged(log, c.line)) << log.lines.front();
        }
        // And the PTR record's check, unless the name is another's or the server is silent.
        const bool skipped = c.forward == DnsOutcome::Conflict || c.forward == DnsOutcome::NoAnswer;
        EXPECT_EQ(client.messagesSent(), c.messages + (skipped ? 0 : 1));
    }
    // A profile without a DNS server, or with a broadcast or multicast address for it, queues
    // nothing and sends nothing.
    DnsUpdateQueue queue;
    for (const Ipv4 server : {makeIpv4(0, 0, 0, 0), makeIpv4(255, 255, 255, 255), makeIpv4(224, 0, 0, 251),
                              makeIpv4(239, 1, 2, 3), makeIpv4(240, 0, 0, 1)}) {
        DnsUpdate none = lease("pc1", "lab.test");
        none.dnsServer = server;
        queue.push(none);
        EXPECT_EQ(queue.size(), 0u) << formatIpv4(server).c_str();
    }
}

TEST(DnsUpdateClient, ALeaseThatEndedTakesAwayOnlyItsOwnRecords) {
    using enum DnsOutcome;
    struct Case {
        std::vector<int> codes;  // the answers to the messages in turn
        bool dhcid;              // registered with a DHCID
        std::vector<DnsOutcome> outcomes;
        const char* line;
    };
    for (const Case& c : std::vector<Case>{
             {{0, 0}, true, {Removed, Removed}, "DHCP  DNS     removal pc1.lab.test sent to 127.0.0.1\n"},
             // The name is another's, no longer here, or leads elsewhere now: the PTR record of the
             // lease's address goes while it still names the name.
             {{8, 0}, true, {Kept, Removed}, "DHCP  DNS     pc1.lab.test left in DNS: not this lease's record\n"},
             {{3, 8}, true, {Kept, Kept}, "pc1.lab.test left in DNS"},
             {{0, 8}, true, {Removed, Kept}, "DHCP  DNS     7.5.168.192.in-addr.arpa left in DNS"},
             // A refusal of the forward zone says nothing of the reverse one.
             {{5, 0}, true, {Failed, Removed}, "DHCP  Error   DNS removal of pc1.lab.test: rcode 5 (REFUSED) from"},
             {{-1, 0}, true, {NoAnswer, NotSent}, "Error   DNS removal of pc1.lab.test: no answer from 127.0.0.1"},
             // Without a DHCID the A record stays; the address's PTR goes while it names the name.
             {{0}, false, {Removed}, "DHCP  DNS     removal 7.5.168.192.in-addr.arpa sent"},
         }) {
        tolmark::testing::CapturingLog log(2);
        platform::WakeEvent stop;
        ScriptedDnsServer server(c.codes);
        DnsUpdateClient client(log, stop, server.port(), std::chrono::milliseconds(300));
        DnsUpdate update = lease("pc1", "lab.test");
        update.removal = true;
        if (c.dhcid) update.clientIdentity = dhcidIdentifier({}, Bytes{2, 0, 0, 0, 0, 1});
        const DnsUpdate updates[] = {update};
        std::vector<DnsOutcome> outcomes;
        for (const DnsResult& r : client.send(updates)) outcomes.push_back(r.outcome);
        EXPECT_EQ(outcomes, c.outcomes) << c.line;
        EXPECT_TRUE(logged(log, c.line)) << c.line;
        // One message for each record the lease still had to lose.
        const std::size_t reverse = c.dhcid ? 1 : 0;
        const bool ptrSent = c.outcomes.size() > reverse && c.outcomes[reverse] != NotSent;
        EXPECT_EQ(client.messagesSent(), reverse + (ptrSent ? 1 : 0)) << c.line;
    }
}

// The zone a message names: the first name after the header, in dotted form.
std::string zoneOf(const Bytes& message) {
    std::string zone;
    for (std::size_t at = 12; at < message.size() && message[at] != 0; at += 1 + message[at]) {
        if (!zone.empty()) zone += '.';
        zone.append(message.begin() + static_cast<long>(at) + 1,
                    message.begin() + static_cast<long>(at) + 1 + message[at]);
    }
    return zone;
}

// The server keeps 168.192.in-addr.arpa, not the /24 zone the mask names; later it keeps /24
// zones only, under a /16 mask. The rows run in turn on one client, which remembers where the
// PTR record went. Each row is one batch.
TEST(DnsUpdateClient, APtrRecordGoesToTheReverseZoneTheServerKeeps) {
    using enum DnsOutcome;
    const std::string z24 = "5.168.192.in-addr.arpa", z16 = "168.192.in-addr.arpa", z8 = "192.in-addr.arpa";
    const std::string z24b = "6.168.192.in-addr.arpa";
    const Ipv4 a = makeIpv4(192, 168, 5, 7), b = makeIpv4(192, 168, 5, 8), c = makeIpv4(192, 168, 6, 7);
    const Ipv4 m16 = makeIpv4(255, 255, 0, 0);
    struct Step {
        bool removal;
        std::vector<int> codes;          // the answers in turn: the A record's check first, unless a removal
        std::vector<std::string> zones;  // the zones the PTR record's messages name
        DnsOutcome ptr;                  // the last record's
        Ipv4 mask = makeIpv4(255, 255, 255, 0);
        std::vector<Ipv4> batch = {makeIpv4(192, 168, 5, 7)};  // one record each (only PTRs for several)
    };
    const std::vector<Step> steps = {
        {false, {0, 9, 8, -1}, {z24, z16, z16}, Updated},  // NOTAUTH for the mask's zone
        {false, {0, 0}, {z16}, Present},                   // remembered
        {true, {0}, {z16}, Removed},
        {false, {0, 10, 0}, {z16, z24}, Present},  // the /24 zone made since: the remembered one is given up
        {false, {0, 0}, {z24}, Present},
        {false, {0, 9, 9, 9}, {z24, z16, z8}, Failed},  // no zone is the server's
        {true, {9, 10, 9}, {z24, z16, z8}, Failed},
        {false, {0, 5}, {z24}, Failed},  // any other refusal is the zone's own answer
        {false, {0, 9, -1}, {z24, z16}, NoAnswer},
        // Refused zones are tried once a batch: the second record is not sent, the third tries
        // only its own /24 zone.
        {true, {9, 9, 9, 9}, {z24, z16, z8, z24b}, Failed, makeIpv4(255, 255, 255, 0), {a, b, c}},
        // A /16 network whose server keeps /24 zones: the narrower zone after the wider ones, and
        // remembered as the zone of each address's own /24.
        {false, {0, 9, 9, 8, -1}, {z16, z8, z24, z24}, Updated, m16},
        {false, {0, 0}, {z24}, Present, m16},
        {true, {0}, {z24b}, Removed, m16, {c}},
    };
    std::vector<int> codes;
    std::vector<std::string> want;
    for (const Step& s : steps) {
        codes.insert(codes.end(), s.codes.begin(), s.codes.end());
        if (!s.removal) want.push_back("lab.test");  // the forward zone stays as it is
        want.insert(want.end(), s.zones.begin(), s.zones.end());
    }
    tolmark::testing::CapturingLog log(2);
    platform::WakeEvent stop;
    ScriptedDnsServer server(codes);
    DnsUpdateClient client(log, stop, server.port(), std::chrono::milliseconds(300));
    for (const Step& s : steps) {
        std::vector<DnsUpdate> batch;
        for (Ipv4 address : s.batch) {
            batch.push_back(lease("pc1", "lab.test", s.mask));
            batch.back().address = address;
            batch.back().removal = s.removal;
        }
        EXPECT_EQ(client.send(batch).back().outcome, s.ptr) << s.zones.front();
    }
    for (int i = 0; i < 100 && server.received().size() < want.size(); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::vector<std::string> got;
    for (const Bytes& m : server.received()) got.push_back(zoneOf(m));
    EXPECT_EQ(got, want);
    auto count = [&](std::string_view text) {
        return std::count_if(log.lines.begin(), log.lines.end(),
                             [&](const std::string& l) { return l.find(text) != std::string::npos; });
    };
    EXPECT_EQ(count("DNS     reverse zone 168.192.in-addr.arpa at 127.0.0.1 takes the records of 5.168.192"), 1);
    // Where no zone is the server's, the record's failure is logged once; a record of the batch
    // that had no zone left to try is counted.
    EXPECT_EQ(count("of 7.5.168.192.in-addr.arpa: rcode 9 (NOTAUTH) from 127.0.0.1"), 3);
    EXPECT_EQ(count("DHCP  Error   DNS server 127.0.0.1 keeps none of the reverse zones tried: 1 records not sent"), 1);
}

}  // namespace
}  // namespace tolmark::dhcp
