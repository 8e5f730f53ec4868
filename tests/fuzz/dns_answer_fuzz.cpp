// Fuzz target: a name registration from the client's host name to the DNS messages (with and
// without the DHCID record that marks the name as the client's), and the answer the server
// reads back. The input holds the host name and the domain (each ended by a
// 0 byte), the address, the mask's shape and the message ID, then the answer's bytes.
//
// Every message must fit its buffer and read as DNS: the header's counts, then exactly that
// many records whose names are labels within the limits, ending at the message's end (with the
// pad byte for an odd length). The answer must be taken only as a response to that ID.

#include <array>
#include <string>

#include "base/byte_io.h"
#include "server/dhcp/dns_message.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

using namespace tolmark::dhcp;

std::string takeText(Steering& steer) {
    std::string text;
    for (std::uint8_t c = steer.byte(); c != 0 && !steer.rest().empty(); c = steer.byte()) text += static_cast<char>(c);
    return text;
}

// Reads a name at pos: labels of 1 to 63 bytes, 255 bytes in all; false when it runs out.
bool skipName(ByteReader& in, std::size_t& pos) {
    std::size_t total = 0;
    for (;;) {
        const std::uint8_t length = in.u8(pos);
        if (!in.ok() || length > kDnsMaxLabel) return false;
        total += 1u + length;
        pos += 1u + length;
        if (total > kDnsMaxName) return false;
        if (length == 0) return true;
    }
}

// Header counts, then the zone record and the prerequisite and update records.
bool wellFormed(std::span<const std::uint8_t> message, std::size_t length) {
    ByteReader in(message.first(length));
    const unsigned zones = in.u16be(4), prerequisites = in.u16be(6), updates = in.u16be(8), additional = in.u16be(10);
    if (!in.ok() || zones != 1 || additional != 0) return false;
    std::size_t pos = 12;
    if (!skipName(in, pos)) return false;
    pos += 4;  // type, class
    for (unsigned i = 0; i < prerequisites + updates; ++i) {
        if (!skipName(in, pos)) return false;
        const std::size_t dataLength = in.u16be(pos + 8);
        pos += 10 + dataLength;
        if (!in.ok() || pos > length) return false;
    }
    return pos == length || (pos + 1 == length && length % 2 == 0 && message[pos] == 0);
}

void run(std::span<const std::uint8_t> input) {
    Steering steer(input);
    DnsUpdate update;
    update.hostName = takeText(steer);
    update.domain = takeText(steer);
    update.address = makeIpv4(steer.byte(), steer.byte(), steer.byte(), steer.byte());
    static const Ipv4 kMasks[] = {makeIpv4(255, 255, 255, 0), makeIpv4(255, 255, 0, 0), makeIpv4(255, 0, 0, 0), 0};
    update.mask = kMasks[steer.byte() & 3];
    update.leaseTime = 3600;
    update.dnsServer = makeIpv4(127, 0, 0, 1);
    const std::uint16_t id = steer.u16();
    // Half the inputs name the client by its hardware address, for the DHCID record.
    const std::uint8_t hardware[6] = {2, 0, 0, 0, 0, static_cast<std::uint8_t>(id)};
    if (id & 1) update.clientIdentity = dhcidIdentifier({}, hardware);

    DnsEntryPair entries;
    if (makeDnsEntries(update, entries) == DnsEntryResult::Ok) {
        for (const DnsRecordEntry* entry : {&entries.forward, &entries.reverse}) {
            FUZZ_REQUIRE(isValidDnsName(entry->name) && isValidDnsName(entry->zone));
            FUZZ_REQUIRE(entry->dhcid.empty() || (entry == &entries.forward && entry->dhcid.size() == 35));
            for (DnsMessageKind kind : {DnsMessageKind::Check, DnsMessageKind::Update, DnsMessageKind::Add,
                                        DnsMessageKind::Replace, DnsMessageKind::Remove}) {
                std::array<std::uint8_t, kDnsMessageCapacity> message{};
                const std::size_t length = encodeDnsMessage(kind, *entry, id, message, true);
                FUZZ_REQUIRE(length <= message.size());
                if (length != 0) FUZZ_REQUIRE(wellFormed(message, length));
            }
        }
    }

    const std::span<const std::uint8_t> answer = steer.rest();
    const std::optional<unsigned> rcode = readDnsAnswerCode(answer, id);
    if (rcode) {
        FUZZ_REQUIRE(answer.size() >= 12 && ((answer[0] << 8) | answer[1]) == id && (answer[2] & 0x80) != 0);
        FUZZ_REQUIRE(*rcode == (answer[3] & 0x0Fu));
    }
}

}  // namespace

std::vector<Input> seeds() {
    auto make = [](std::string_view host, std::string_view domain, std::initializer_list<std::uint8_t> tail) {
        Input in = bytesOf(host);
        in.push_back(0);
        in.insert(in.end(), domain.begin(), domain.end());
        in.push_back(0);
        in.insert(in.end(), tail);
        return in;
    };
    return {
        make("pc7", "lab.test", {192, 168, 5, 7, 0, 0, 1, 0x00, 0x01, 0xA8, 0x00, 0, 1, 0, 0, 0, 0, 0, 0}),
        make("printer.office", "example.com", {10, 1, 2, 3, 1, 0, 2, 0x00, 0x02, 0xA8, 0x08, 0, 1, 0, 0, 0, 0, 0, 0}),
        make("h", "a.b.c.d.e", {172, 16, 0, 9, 2, 0x12, 0x34, 0x12, 0x34, 0x80, 0x05}),
        make("-bad-", "x..y", {1, 2, 3, 4, 3, 0, 0}),
    };
}

std::vector<std::string> dictionary() {
    return {".", "..", "-", std::string(63, 'a'), std::string(64, 'b'), "in-addr.arpa"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}
