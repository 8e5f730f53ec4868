#include "server/dhcp/tests/engine_fixture.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "server/dhcp/dhcp_protocol.h"

namespace tolmark::dhcp::testing {

Mac mac(std::uint8_t last) { return {0x00, 0x11, 0x22, 0x33, 0x44, last}; }

Identity hardwareIdentity(const Mac& m) {
    Identity id;
    id.kind = kIdentityHardware;
    id.length = 6;
    std::copy(m.begin(), m.end(), id.bytes.begin());
    return id;
}

// ---- RequestBuilder ----

RequestBuilder::RequestBuilder() { op(1).htype(1).hlen(6).xid(0x12345678); }

RequestBuilder& RequestBuilder::set(std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
    std::copy(bytes.begin(), bytes.end(), header_.begin() + static_cast<long>(offset));
    return *this;
}

RequestBuilder& RequestBuilder::setAddress(std::size_t offset, Ipv4 address) {
    std::memcpy(&header_[offset], &address, 4);
    return *this;
}

RequestBuilder& RequestBuilder::xid(std::uint32_t v) {
    return set(4, {std::uint8_t(v >> 24), std::uint8_t(v >> 16), std::uint8_t(v >> 8), std::uint8_t(v)});
}

RequestBuilder& RequestBuilder::chaddr(std::span<const std::uint8_t> bytes) {
    std::fill_n(&header_[kChaddr], 16, 0);
    std::copy_n(bytes.begin(), std::min<std::size_t>(bytes.size(), 16), &header_[kChaddr]);
    return *this;
}

RequestBuilder& RequestBuilder::option(std::uint8_t code, std::span<const std::uint8_t> value) {
    options_.push_back(code);
    options_.push_back(static_cast<std::uint8_t>(value.size()));
    options_.insert(options_.end(), value.begin(), value.end());
    return *this;
}

RequestBuilder& RequestBuilder::address(std::uint8_t code, Ipv4 address) {
    std::uint8_t bytes[4];
    std::memcpy(bytes, &address, 4);
    return option(code, std::span<const std::uint8_t>(bytes, 4));
}

Bytes RequestBuilder::bytes() const {
    Bytes out(header_.begin(), header_.end());
    if (cookie_) out.insert(out.end(), std::begin(kCookieBytes), std::end(kCookieBytes));
    out.insert(out.end(), options_.begin(), options_.end());
    if (end_) out.push_back(kEnd);
    out.resize(length_ != 0 ? length_ : std::max<std::size_t>(out.size(), 300), 0);
    return out;
}

// ---- Reply ----

namespace {

// Walks one option area; false when it does not end with 255 inside [from, to).
bool walkArea(const Bytes& b, std::size_t from, std::size_t to, std::vector<ReplyOption>& out) {
    std::size_t p = from;
    while (p < to) {
        const std::uint8_t code = b[p];
        if (code == kEnd) return true;
        if (code == kPad) {
            ++p;
            continue;
        }
        if (p + 1 >= to || p + 2 + b[p + 1] > to) return false;
        out.push_back(
            {code, Bytes(b.begin() + static_cast<long>(p) + 2, b.begin() + static_cast<long>(p) + 2 + b[p + 1])});
        p += 2 + b[p + 1];
    }
    return false;
}

Ipv4 addressAt(const Bytes& b, std::size_t at) {
    Ipv4 a;
    std::memcpy(&a, &b[at], 4);
    return a;
}

}  // namespace

Reply readReply(std::span<const std::uint8_t> buffer, std::size_t length) {
    Reply r;
    r.length = length;
    if (length < kCookie || length > buffer.size()) return r;
    const Bytes& b = r.bytes = Bytes(buffer.begin(), buffer.begin() + static_cast<long>(length));
    r.op = b[kOp];
    r.hlen = b[kHlen];
    r.xid = (std::uint32_t{b[4]} << 24) | (std::uint32_t{b[5]} << 16) | (std::uint32_t{b[6]} << 8) | b[7];
    r.flags = static_cast<std::uint16_t>((b[kFlags] << 8) | b[kFlags + 1]);
    r.ciaddr = addressAt(b, kCiaddr);
    r.yiaddr = addressAt(b, kYiaddr);
    r.siaddr = addressAt(b, kSiaddr);
    r.giaddr = addressAt(b, kGiaddr);
    r.chaddr.assign(b.begin() + kChaddr, b.begin() + kChaddr + 16);
    r.sname.assign(b.begin() + kSname, b.begin() + kSname + kSnameSize);
    r.file.assign(b.begin() + kFile, b.begin() + kFile + kFileSize);
    r.cookie = length >= kOptions && std::equal(std::begin(kCookieBytes), std::end(kCookieBytes), b.begin() + kCookie);
    if (!r.cookie) return r;
    r.wellFormed = walkArea(b, kOptions, length, r.options);
    if (const ReplyOption* o = r.find(kOverload); o != nullptr && o->value.size() == 1) {
        r.overload = o->value[0];
        // The client reads `file` before `sname`.
        if (r.overload & 1) r.wellFormed &= walkArea(b, kFile, kFile + kFileSize, r.options);
        if (r.overload & 2) r.wellFormed &= walkArea(b, kSname, kSname + kSnameSize, r.options);
    }
    return r;
}

std::vector<std::uint8_t> Reply::codes() const {
    std::vector<std::uint8_t> out;
    for (const ReplyOption& o : options) out.push_back(o.code);
    return out;
}

const ReplyOption* Reply::find(std::uint8_t code) const {
    for (const ReplyOption& o : options) {
        if (o.code == code) return &o;
    }
    return nullptr;
}

Ipv4 Reply::addressOption(std::uint8_t code) const {
    const ReplyOption* o = find(code);
    if (o == nullptr || o->value.size() < 4) return 0;
    return addressAt(o->value, 0);
}

std::uint32_t Reply::u32Option(std::uint8_t code) const {
    const ReplyOption* o = find(code);
    if (o == nullptr || o->value.size() != 4) return 0;
    const Bytes& v = o->value;
    return (std::uint32_t{v[0]} << 24) | (std::uint32_t{v[1]} << 16) | (std::uint32_t{v[2]} << 8) | v[3];
}

std::string Reply::text(std::uint8_t code) const {
    const ReplyOption* o = find(code);
    return o == nullptr ? std::string() : std::string(o->value.begin(), o->value.end());
}

std::string Reply::fieldText(const Bytes& field) {
    return std::string(field.begin(), std::find(field.begin(), field.end(), 0));
}

// ---- FakeArpProber ----

platform::ProbeResult FakeArpProber::probe(int ifIndex, Ipv4 source, Ipv4 target) {
    calls.push_back(std::to_string(ifIndex) + " " + formatIpv4(source).c_str() + " " + formatIpv4(target).c_str());
    if (pending.count(target) != 0) return {};
    auto it = answers.find(target);
    if (it == answers.end()) return {platform::ProbeState::Free, {}};
    return {platform::ProbeState::Taken, it->second};
}

// ---- EngineTest ----

EngineTest::EngineTest() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tolmark_engine_XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) directory_ = pattern;
    ConfigStore store(directory_ + "/registry.ini");
    store.setIniPath(directory_ + "/", "Dorvane");
    tolmark::testing::FakeHostAddresses host;
    host.rows = {{kServer, makeIpv4(255, 255, 255, 0), 2}, {kOther, makeIpv4(255, 255, 0, 0), 3}};
    tolmark::testing::CapturingLog buildLog{0};
    EXPECT_TRUE(interfaces_.build(store, kGeneralSection, host, clock_.now(), buildLog));
    useProfiles({lanProfile()});
}

EngineTest::~EngineTest() {
    std::error_code ignored;
    if (!directory_.empty()) std::filesystem::remove_all(directory_, ignored);
}

Profile EngineTest::lanProfile() {
    Profile p;
    p.name = "LAN";
    p.lease = 3600;
    p.selectorKind = SelectorKind::Interface;
    p.selectorAddress = kServer;
    p.baseIp = lan(100);
    p.range = 50;
    p.subnetMask = makeIpv4(255, 255, 255, 0);
    p.gateway[0] = kServer;
    p.dns[0] = kServer;
    return p;
}

void EngineTest::addOptionLines(Profile& profile, std::initializer_list<std::string_view> lines) {
    std::size_t at = 0;
    while (at + 3 <= profile.options.size() && profile.options[at] != 0) at += 3u + profile.options[at + 2];
    for (std::string_view line : lines) {
        auto room = std::span<std::uint8_t>(profile.options).subspan(at, profile.options.size() - 4 - at);
        ParsedOptionLine parsed = parseOptionLine(line, builtInDefaultOptions(), room);
        ASSERT_GT(parsed.result, 0) << line;
        at += parsed.entrySize;
    }
}

Reply EngineTest::send(const RequestBuilder& request, Ipv4 source, Ipv4 interface) {
    const Bytes datagram = request.bytes();
    return send(datagram, source, interface);
}

Reply EngineTest::send(std::span<const std::uint8_t> datagram, Ipv4 source, Ipv4 interface) {
    // Exactly sized, so that the sanitizer sees every read past the datagram.
    const Bytes copy(datagram.begin(), datagram.end());
    Bytes buffer(kReplyBufferSize, 0xEE);
    lastPlan_ = engine_.process(copy, buffer, Arrival{interface, source});
    return readReply(buffer, lastPlan_.length);
}

Reply EngineTest::resume(std::uint64_t ticket) {
    Bytes buffer(kReplyBufferSize, 0xEE);
    lastPlan_ = engine_.resume(ticket, buffer);
    return readReply(buffer, lastPlan_.length);
}

Ipv4 EngineTest::bind(const Mac& m) {
    Reply offer = send(discover(m));
    if (!offer) return 0;
    Reply ack = send(request(m).address(kServerIdentifier, kServer).address(kRequestedAddress, offer.yiaddr));
    return ack && ack.find(kMessageType)->value[0] == kAck ? ack.yiaddr : 0;
}

ClientRecord& EngineTest::addStatic(const Mac& m, Ipv4 address, std::string_view profile) {
    ClientRecord* rec = clients_.take();
    clients_.setIdentity(*rec, hardwareIdentity(m));
    clients_.setAddress(*rec, address);
    clients_.setProfile(*rec, profile);
    clients_.appendStatic(*rec);
    return *rec;
}

ClientRecord& EngineTest::addDynamic(const Mac& m, Ipv4 address, std::int64_t expiry) {
    ClientRecord* after = nullptr;
    for (ClientRecord* r : records(ClientList::Dynamic)) {
        if (ipv4ToHostOrder(r->address) < ipv4ToHostOrder(address)) after = r;
    }
    ClientRecord* rec = clients_.take();
    clients_.setIdentity(*rec, hardwareIdentity(m));
    clients_.setAddress(*rec, address);
    clients_.setProfile(*rec, "LAN");
    clients_.setExpiry(*rec, expiry);
    rec->lastAccess = clock_.now() - 10;
    clients_.insertDynamicAfter(after, *rec);
    return *rec;
}

std::vector<ClientRecord*> EngineTest::records(ClientList list) {
    std::vector<ClientRecord*> out;
    for (ClientRecord* r = clients_.first(list); r != nullptr; r = clients_.next(*r)) out.push_back(r);
    return out;
}

ClientRecord* EngineTest::dynamicAt(Ipv4 address) {
    for (ClientRecord* r : records(ClientList::Dynamic)) {
        if (r->address == address) return r;
    }
    return nullptr;
}

bool EngineTest::logged(std::string_view line) const {
    return std::find(log_.lines.begin(), log_.lines.end(), line) != log_.lines.end();
}

}  // namespace tolmark::dhcp::testing
