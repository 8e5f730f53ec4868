#include "server/dhcp/dns_message.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

#include "base/byte_io.h"

namespace tolmark::dhcp {
namespace {

// Header fields and record codes of a dynamic update (RFC 2136).
constexpr std::uint16_t kFlagsUpdate = 0x2800;  // opcode 5, UPDATE
constexpr std::uint16_t kFlagResponse = 0x8000;
constexpr std::size_t kHeaderSize = 12;
constexpr std::uint16_t kTypeA = 1;
constexpr std::uint16_t kTypeCname = 5;
constexpr std::uint16_t kTypeSoa = 6;
constexpr std::uint16_t kTypePtr = 12;
constexpr std::uint16_t kTypeDhcid = 49;
constexpr std::uint16_t kTypeAny = 255;
constexpr std::uint32_t kLongestTtl = 0x7FFFFFFF;
constexpr std::uint8_t kDigestSha256 = 1;
constexpr std::uint16_t kClassIn = 1;
constexpr std::uint16_t kClassNone = 254;
constexpr std::uint16_t kClassAny = 255;

// Length of text in DNS wire form: a length byte per label, the label, and the final zero byte.
std::size_t wireNameLength(std::string_view text) { return text.size() + 2; }

// Writes records one after another, remembering the position; a write past the end fails the
// whole message through the writer's flag.
class MessageBuilder {
public:
    explicit MessageBuilder(std::span<std::uint8_t> out) : out_(out), w_(out) {}

    void header(std::uint16_t id, std::uint16_t prerequisites, std::uint16_t updates) {
        w_.u16be(0, id);
        w_.u16be(2, kFlagsUpdate);
        w_.u16be(4, 1);  // one zone
        w_.u16be(6, prerequisites);
        w_.u16be(8, updates);
        w_.u16be(10, 0);
        at_ = kHeaderSize;
    }
    void name(std::string_view text) {
        std::size_t start = 0;
        while (start <= text.size()) {
            std::size_t dot = text.find('.', start);
            if (dot == std::string_view::npos) dot = text.size();
            const std::string_view label = text.substr(start, dot - start);
            w_.u8(at_, static_cast<std::uint8_t>(label.size()));
            w_.bytes(at_ + 1, label.data(), label.size());
            at_ += 1 + label.size();
            start = dot + 1;
        }
        w_.u8(at_++, 0);
    }
    void u16(std::uint16_t value) {
        w_.u16be(at_, value);
        at_ += 2;
    }
    void u32(std::uint32_t value) {
        w_.u32be(at_, value);
        at_ += 4;
    }
    // A resource record with no data: name, type, class, TTL, data length 0.
    void emptyRecord(std::string_view owner, std::uint16_t type, std::uint16_t cls, std::uint32_t ttl) {
        name(owner);
        u16(type);
        u16(cls);
        u32(ttl);
        u16(0);
    }
    // The entry's own record with its data: the address, or the target name. Class IN, or NONE
    // to delete just this record.
    void dataRecord(const DnsRecordEntry& e, std::uint32_t ttl, std::uint16_t cls = kClassIn) {
        name(e.name);
        u16(e.isPtr() ? kTypePtr : kTypeA);
        u16(cls);
        u32(ttl);
        if (e.isPtr()) {
            u16(static_cast<std::uint16_t>(wireNameLength(e.target)));
            name(e.target);
        } else {
            u16(4);
            w_.ipv4(at_, e.address);
            at_ += 4;
        }
    }
    // The DHCID record with its data.
    void dhcidRecord(std::string_view owner, std::uint32_t ttl, std::span<const std::uint8_t> data) {
        name(owner);
        u16(kTypeDhcid);
        u16(kClassIn);
        u32(ttl);
        u16(static_cast<std::uint16_t>(data.size()));
        w_.bytes(at_, data.data(), data.size());
        at_ += data.size();
    }
    std::size_t finish(bool padOddLength) {
        if (padOddLength && at_ % 2 != 0) w_.u8(at_++, 0);
        return w_.ok() && at_ <= out_.size() ? at_ : 0;
    }

private:
    std::span<std::uint8_t> out_;
    ByteWriter w_;
    std::size_t at_ = 0;
};

bool isLetterDigitHyphen(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

}  // namespace

bool isValidDnsName(std::string_view text) {
    if (text.empty() || wireNameLength(text) > kDnsMaxName) return false;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) dot = text.size();
        const std::size_t length = dot - start;
        if (length == 0 || length > kDnsMaxLabel) return false;
        start = dot + 1;
    }
    return true;
}

bool isValidHostLabel(std::string_view text) {
    if (text.empty() || text.size() > kDnsMaxLabel || text.front() == '-' || text.back() == '-') return false;
    for (char c : text) {
        if (!isLetterDigitHyphen(c)) return false;
    }
    return true;
}

bool sameRegisteredName(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return std::tolower(static_cast<unsigned char>(c)); };
    return std::ranges::equal(a.substr(0, a.find('.')), b.substr(0, b.find('.')),
                              [&](char x, char y) { return lower(x) == lower(y); });
}

std::vector<std::uint8_t> dhcidIdentifier(std::span<const std::uint8_t> clientIdentifier,
                                          std::span<const std::uint8_t> hardwareAddress) {
    if (!clientIdentifier.empty()) {
        std::vector<std::uint8_t> identity{0, 1};
        identity.insert(identity.end(), clientIdentifier.begin(), clientIdentifier.end());
        return identity;
    }
    if (hardwareAddress.empty()) return {};
    std::vector<std::uint8_t> identity{0, 0, 1};
    identity.insert(identity.end(), hardwareAddress.begin(), hardwareAddress.end());
    return identity;
}

std::vector<std::uint8_t> dhcidData(std::span<const std::uint8_t> identity, std::string_view fullName) {
    if (identity.size() < 2 || !isValidDnsName(fullName)) return {};
    std::vector<std::uint8_t> input(identity.begin() + 2, identity.end());
    std::size_t start = 0;
    while (start <= fullName.size()) {
        std::size_t dot = fullName.find('.', start);
        if (dot == std::string_view::npos) dot = fullName.size();
        input.push_back(static_cast<std::uint8_t>(dot - start));
        for (std::size_t i = start; i < dot; ++i)
            input.push_back(static_cast<std::uint8_t>(std::tolower(static_cast<unsigned char>(fullName[i]))));
        start = dot + 1;
    }
    input.push_back(0);
    std::vector<std::uint8_t> data{identity[0], identity[1], kDigestSha256};
    data.resize(3 + SHA256_DIGEST_LENGTH);
    SHA256(input.data(), input.size(), data.data() + 3);
    return data;
}

std::string reverseName(Ipv4 address) {
    char text[48];
    std::snprintf(text, sizeof text, "%u.%u.%u.%u.in-addr.arpa", ipv4Octet(address, 3), ipv4Octet(address, 2),
                  ipv4Octet(address, 1), ipv4Octet(address, 0));
    return text;
}

std::string reverseZone(Ipv4 address, Ipv4 mask) {
    char text[40];
    if (ipv4Octet(mask, 2) != 0) {
        std::snprintf(text, sizeof text, "%u.%u.%u.in-addr.arpa", ipv4Octet(address, 2), ipv4Octet(address, 1),
                      ipv4Octet(address, 0));
    } else if (ipv4Octet(mask, 1) != 0) {
        std::snprintf(text, sizeof text, "%u.%u.in-addr.arpa", ipv4Octet(address, 1), ipv4Octet(address, 0));
    } else {
        std::snprintf(text, sizeof text, "%u.in-addr.arpa", ipv4Octet(address, 0));
    }
    return text;
}

namespace {

constexpr std::string_view kReverseSuffix = ".in-addr.arpa";

}  // namespace

unsigned reverseZoneBytes(std::string_view zone) {
    if (!zone.ends_with(kReverseSuffix)) return 0;
    zone.remove_suffix(kReverseSuffix.size());
    const auto bytes = static_cast<unsigned>(std::count(zone.begin(), zone.end(), '.') + 1);
    return zone.empty() || bytes > 3 ? 0 : bytes;
}

std::optional<std::string_view> reverseZoneOfName(std::string_view name, unsigned bytes) {
    if (bytes < 1 || bytes > 3 || !name.ends_with(kReverseSuffix)) return std::nullopt;
    // The name's own labels less the leading ones of the host bytes.
    std::string_view zone = name;
    const std::size_t labels = static_cast<std::size_t>(
        std::count(name.begin(), name.end() - static_cast<std::ptrdiff_t>(kReverseSuffix.size()), '.') + 1);
    if (labels <= bytes) return std::nullopt;
    for (std::size_t i = 0; i < labels - bytes; ++i) zone.remove_prefix(zone.find('.') + 1);
    return zone;
}

DnsEntryResult makeDnsEntries(const DnsUpdate& update, DnsEntryPair& out, const char** why) {
    if (update.hostName.empty()) return DnsEntryResult::NoName;
    const std::string label = update.hostName.substr(0, update.hostName.find('.'));
    // A domain written as an absolute name ("example.org.") names the same zone.
    std::string_view domain = update.domain;
    if (!domain.empty() && domain.back() == '.') domain.remove_suffix(1);
    const std::string fullName = label + "." + std::string(domain);
    // A TTL is at most 2^31 - 1; one with the top bit set (an infinite lease) counts as 0.
    const std::uint32_t ttl = std::min<std::uint32_t>(update.leaseTime, kLongestTtl);
    const char* fault = !isValidHostLabel(label)    ? "not a host label"
                        : !isValidDnsName(domain)   ? "the domain is not a DNS name"
                        : !isValidDnsName(fullName) ? "the name is longer than 255 bytes"
                                                    : nullptr;
    if (fault != nullptr) {
        if (why != nullptr) *why = fault;
        return DnsEntryResult::BadName;
    }
    out.forward = DnsRecordEntry{std::string(domain),
                                 fullName,
                                 {},
                                 update.address,
                                 ttl,
                                 update.dnsServer,
                                 dhcidData(update.clientIdentity, fullName)};
    out.reverse = DnsRecordEntry{
        reverseZone(update.address, update.mask), reverseName(update.address), fullName, 0, ttl, update.dnsServer};
    return DnsEntryResult::Ok;
}

std::size_t encodeDnsMessage(DnsMessageKind kind, const DnsRecordEntry& entry, std::uint16_t id,
                             std::span<std::uint8_t> out, bool padOddLength) {
    if (!isValidDnsName(entry.zone) || !isValidDnsName(entry.name) ||
        (entry.isPtr() && !isValidDnsName(entry.target))) {
        return 0;
    }
    const std::uint16_t type = entry.isPtr() ? kTypePtr : kTypeA;
    const bool owned = kind == DnsMessageKind::Add || kind == DnsMessageKind::Replace;
    if (owned && (entry.isPtr() || entry.dhcid.empty())) return 0;
    if (kind == DnsMessageKind::Remove && !entry.isPtr() && entry.dhcid.empty()) return 0;
    MessageBuilder m(out);
    const bool check = kind == DnsMessageKind::Check;
    const bool removePtr = kind == DnsMessageKind::Remove && entry.isPtr();
    // An A record without a DHCID goes only where no client's DHCID marks the name.
    std::uint16_t prerequisites = kind == DnsMessageKind::Update && !entry.isPtr() ? 2 : 1;
    std::uint16_t updates = 2;
    if (check) {
        prerequisites = 2;
        updates = 0;
    } else if (kind == DnsMessageKind::Remove) {
        prerequisites = removePtr ? 1 : 2;
        updates = removePtr ? 1 : 2;
    }
    m.header(id, prerequisites, updates);
    // Zone section: the zone's SOA, class IN, no TTL and no data.
    m.name(entry.zone);
    m.u16(kTypeSoa);
    m.u16(kClassIn);
    switch (kind) {
        case DnsMessageKind::Check:
            // The name is no alias, and the record with exactly this value exists.
            m.emptyRecord(entry.name, kTypeCname, kClassNone, 0);
            m.dataRecord(entry, 0);
            break;
        case DnsMessageKind::Update:
            // The name is no alias (nor, for an A record, a client's); delete the record set,
            // then add the record.
            m.emptyRecord(entry.name, kTypeCname, kClassNone, 0);
            if (!entry.isPtr()) m.emptyRecord(entry.name, kTypeDhcid, kClassNone, 0);
            m.emptyRecord(entry.name, type, kClassAny, 0);
            m.dataRecord(entry, entry.ttl);
            break;
        case DnsMessageKind::Add:
            // Nobody uses the name; the record and the client's DHCID are added.
            m.emptyRecord(entry.name, kTypeAny, kClassNone, 0);
            m.dataRecord(entry, entry.ttl);
            m.dhcidRecord(entry.name, entry.ttl, entry.dhcid);
            break;
        case DnsMessageKind::Replace:
            // The name's DHCID is this client's; the record set is replaced.
            m.dhcidRecord(entry.name, 0, entry.dhcid);
            m.emptyRecord(entry.name, type, kClassAny, 0);
            m.dataRecord(entry, entry.ttl);
            break;
        case DnsMessageKind::Remove:
            // The record set is exactly this record (and the DHCID this client's): the record
            // goes, and with it the DHCID that marked the name as the client's.
            if (removePtr) {
                m.dataRecord(entry, 0);
                m.dataRecord(entry, 0, kClassNone);
                break;
            }
            m.dhcidRecord(entry.name, 0, entry.dhcid);
            m.dataRecord(entry, 0);
            m.dataRecord(entry, 0, kClassNone);
            m.emptyRecord(entry.name, kTypeDhcid, kClassAny, 0);
            break;
    }
    return m.finish(padOddLength);
}

std::optional<unsigned> readDnsAnswerCode(std::span<const std::uint8_t> answer, std::uint16_t id) {
    ByteReader r(answer);
    const std::uint16_t answerId = r.u16be(0);
    const std::uint16_t flags = r.u16be(2);
    if (!r.ok() || answer.size() < kHeaderSize || answerId != id || (flags & kFlagResponse) == 0) return std::nullopt;
    return flags & 0x0Fu;
}

}  // namespace tolmark::dhcp
