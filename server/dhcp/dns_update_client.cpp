#include "server/dhcp/dns_update_client.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <string>
#include <string_view>

#include "base/error_text.h"
#include "common/entry_line.h"

namespace tolmark::dhcp {

DnsUpdateClient::DnsUpdateClient(LogSink& log, const platform::WakeEvent& stop, std::uint16_t port,
                                 std::chrono::milliseconds answerWait)
    : log_(log), stop_(stop), port_(port), answerWait_(answerWait), ids_(std::random_device{}()) {}

std::uint16_t DnsUpdateClient::nextId() {
    ++sent_;
    // Never the previous ID, so that a late answer to one message is not taken for the next.
    std::uint16_t id = id_;
    while (id == id_) id = static_cast<std::uint16_t>(ids_());
    return id_ = id;
}

namespace {

// A client's name as the log shows it: control characters would start lines of their own.
std::string shown(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), entryLineChar);
    return out;
}

// The response code as RFC 1035 and RFC 2136 name it, for the log.
const char* rcodeName(unsigned rcode) {
    static constexpr const char* kNames[] = {"NOERROR",  "FORMERR", "SERVFAIL", "NXDOMAIN", "NOTIMP", "REFUSED",
                                             "YXDOMAIN", "YXRRSET", "NXRRSET",  "NOTAUTH",  "NOTZONE"};
    return rcode < std::size(kNames) ? kNames[rcode] : "unknown";
}

// A server that did not answer one message of a batch, and the records of the batch that were
// then not sent to it.
struct SilentServer {
    Ipv4 server;
    unsigned skipped;
};

// Why a message did not go out: it did not fit its buffer (nothing was sent), or the send failed.
std::string notSentReason(std::size_t length) {
    return length == 0 ? std::string("the message does not fit") : errorText(errno);
}

}  // namespace

std::vector<DnsResult> DnsUpdateClient::send(std::span<const DnsUpdate> updates) {
    std::vector<DnsResult> results;
    if (updates.empty()) return results;
    refused_.clear();
    unplaced_.clear();
    platform::UdpSocket socket = platform::openBoundUdpSocket(0, 0);
    // Without a socket (descriptors used up, a sandbox without the network) no record of the
    // batch goes out: one line says why, and the records count as not sent.
    if (!socket.valid())
        log_.line(1, false, "DHCP  Error   DNS updates not sent: no socket: %s\n", errorText(errno).c_str());
    // Each record waits up to 2 seconds for its answer: a server that is down would hold a long
    // batch for hours, and the updates for other servers behind it. Once it has not answered,
    // the batch's other records for it are not sent; the next lease renewal queues them again.
    std::vector<SilentServer> silent;
    for (std::size_t index = 0; index < updates.size(); ++index) {
        const DnsUpdate& update = updates[index];
        const std::size_t first = results.size();
        DnsEntryPair entries;
        const char* why = "";
        const DnsEntryResult made = makeDnsEntries(update, entries, &why);
        if (made == DnsEntryResult::NoName) continue;
        if (made == DnsEntryResult::BadName) {
            log_.line(1, false, "DHCP  Error   host name %s.%s not registered in DNS: %s\n",
                      shown(update.hostName).c_str(), shown(update.domain).c_str(), why);
            results.push_back(DnsResult{update.hostName, DnsOutcome::NotSent, 0, index});
            continue;
        }
        std::optional<DnsOutcome> forward;
        for (const DnsRecordEntry* entry : {&entries.forward, &entries.reverse}) {
            const bool isForward = entry == &entries.forward;
            // Without a DHCID nothing says the name is this client's: an administrator's record
            // of the same name and address looks just the same. The lease's address is the
            // server's to give, so its PTR record goes while it still names this lease's name.
            if (update.removal && isForward && entry->dhcid.empty()) continue;
            // The PTR record goes on its own terms even where the A record stays: the name may lead
            // to the client's address on another network now, but this lease's address is the
            // server's to give, and its PTR record goes while it names this lease's name.
            // A name that is another's is not pointed at from this client's address either.
            const bool conflict = !isForward && forward == DnsOutcome::Conflict;
            auto down = std::find_if(silent.begin(), silent.end(),
                                     [&](const SilentServer& s) { return s.server == entry->server; });
            if (stopping() || conflict || down != silent.end()) {
                if (down != silent.end()) ++down->skipped;
                results.push_back(DnsResult{entry->name, DnsOutcome::NotSent, 0});
                continue;
            }
            // Nobody to send to: a profile without a DNS server (0.0.0.0 would reach this host).
            if (entry->server == 0) continue;
            if (!socket.valid())
                results.push_back(DnsResult{entry->name, DnsOutcome::SendFailed, 0});
            else
                results.push_back(update.removal ? removeRecord(socket, *entry) : registerRecord(socket, *entry));
            if (isForward) forward = results.back().outcome;
            if (results.back().outcome == DnsOutcome::NoAnswer && !stopping())
                silent.push_back(SilentServer{entry->server, 0});
        }
        for (std::size_t i = first; i < results.size(); ++i) results[i].update = index;
    }
    for (const SilentServer& s : silent) {
        if (s.skipped == 0) continue;
        log_.line(1, false, "DHCP  Error   DNS server %s did not answer: %u records not sent\n",
                  formatIpv4(s.server).c_str(), s.skipped);
    }
    for (const auto& [server, records] : unplaced_) {
        log_.line(1, false, "DHCP  Error   DNS server %s keeps none of the reverse zones tried: %u records not sent\n",
                  formatIpv4(server).c_str(), records);
    }
    return results;
}

std::vector<DnsResult> DnsUpdateClient::sendQueued(DnsUpdateQueue& queue, std::vector<DnsUpdate>* taken) {
    std::vector<DnsUpdate> own;
    std::vector<DnsUpdate>& updates = taken != nullptr ? *taken : own;
    updates = queue.takeAll();
    const DnsDropped lost = queue.takeDropped();
    if (lost.updates != 0)
        log_.line(1, false, "DHCP  Error   %zu DNS updates lost: the queue was full\n", lost.updates);
    if (lost.removals != 0)
        log_.line(1, false, "DHCP  Error   %zu DNS removals lost: the queue was full\n", lost.removals);
    return send(updates);
}

// Sends the entry's message of this kind and waits for its answer. A message that could not be
// sent or had no answer is logged as the "what" of the record ("DNS check of ...") and gives
// the record's result in failed.
std::optional<unsigned> DnsUpdateClient::exchange(platform::UdpSocket& socket, DnsMessageKind kind,
                                                  const DnsRecordEntry& entry, const char* what, DnsResult& failed) {
    std::array<std::uint8_t, kDnsMessageCapacity> message;
    const AddressText server = formatIpv4(entry.server);
    // Messages of odd length carry one zero byte more; servers pass over it.
    const std::size_t length = encodeDnsMessage(kind, entry, nextId(), message, true);
    if (length == 0 || !socket.send(message.data(), length, entry.server, port_)) {
        log_.line(1, false, "DHCP  Error   DNS %s of %s not sent to %s: %s\n", what, entry.name.c_str(), server.c_str(),
                  notSentReason(length).c_str());
        failed = DnsResult{entry.name, DnsOutcome::SendFailed, 0};
        return std::nullopt;
    }
    const std::optional<unsigned> rcode = awaitAnswer(socket, entry.server, id_);
    if (!rcode) {
        log_.line(1, false, "DHCP  Error   DNS %s of %s: no answer from %s\n", what, entry.name.c_str(),
                  server.c_str());
        failed = DnsResult{entry.name, DnsOutcome::NoAnswer, 0};
    }
    return rcode;
}

std::optional<unsigned> DnsUpdateClient::knownZone(Ipv4 server, std::string_view derived) const {
    for (const ZoneMemo& m : zoneMemos_) {
        if (m.server == server && m.bytes != 0 && m.derived == derived) return m.bytes;
    }
    return std::nullopt;
}

void DnsUpdateClient::rememberZone(Ipv4 server, std::string_view derived, unsigned bytes, std::string_view found) {
    auto same = std::find_if(zoneMemos_.begin(), zoneMemos_.end(),
                             [&](const ZoneMemo& m) { return m.server == server && m.derived == derived; });
    if (bytes == 0 && same == zoneMemos_.end()) return;
    ZoneMemo& m = same != zoneMemos_.end() ? *same : zoneMemos_[nextMemo_++ % kZoneMemos];
    m.server = server;
    m.derived = derived;
    m.bytes = bytes;
    if (bytes == 0) return;
    const AddressText at = formatIpv4(server);
    if (bytes < reverseZoneBytes(derived))
        log_.line(2, false, "DHCP  DNS     reverse zone %.*s at %s takes the records of %s\n",
                  static_cast<int>(found.size()), found.data(), at.c_str(), m.derived.c_str());
    else
        log_.line(2, false, "DHCP  DNS     reverse zones of %u address bytes (as %.*s) at %s take the records of %s\n",
                  bytes, static_cast<int>(found.size()), found.data(), at.c_str(), m.derived.c_str());
}

std::optional<unsigned> DnsUpdateClient::refusedInBatch(Ipv4 server, std::string_view zone) const {
    for (const RefusedZone& r : refused_) {
        if (r.server == server && r.zone == zone) return r.rcode;
    }
    return std::nullopt;
}

// The first message of a PTR record's exchange. Administrators often keep one reverse zone for a
// block wider than each network ("168.192.in-addr.arpa" for many /24s), or /24 zones under a
// wider network: a server that answers that the zone is not its own (NOTAUTH, NOTZONE) is asked
// again in the enclosing zones, down to the one-byte zone, then in the narrower ones up to the
// address's three-byte zone, and the zone that answered otherwise is remembered. A remembered
// zone that the server no longer keeps is forgotten, and the search starts again from the
// mask's zone. A zone refused once is not asked again in the batch: a server that keeps none
// of them gets one message per zone, not one per zone and record. The entry's zone is left at
// the one the answer came from; when no zone is the server's, the answer of the last one asked
// is the result, and a record none of whose zones was left to ask is not sent.
std::optional<unsigned> DnsUpdateClient::exchangeInZone(platform::UdpSocket& socket, DnsMessageKind kind,
                                                        DnsRecordEntry& entry, const char* what, DnsResult& failed) {
    const unsigned own = entry.isPtr() ? reverseZoneBytes(entry.zone) : 0;
    if (own == 0) return exchange(socket, kind, entry, what, failed);
    const std::string derived = entry.zone;
    const std::optional<unsigned> known = knownZone(entry.server, derived);
    std::array<unsigned, 4> tries{};
    std::size_t count = 0;
    if (known) tries[count++] = *known;
    for (unsigned b = own; b >= 1; --b) tries[count++] = b;
    for (unsigned b = own + 1; b <= 3; ++b) tries[count++] = b;
    std::optional<unsigned> refusal;
    bool asked = false;
    for (std::size_t i = 0; i < count; ++i) {
        const bool remembered = known && i == 0;
        if (!remembered && known && tries[i] == *known) continue;  // asked first already
        const std::optional<std::string_view> zone = reverseZoneOfName(entry.name, tries[i]);
        if (!zone) continue;
        entry.zone = std::string(*zone);
        if (const std::optional<unsigned> earlier = refusedInBatch(entry.server, entry.zone)) {
            refusal = earlier;
            continue;
        }
        const std::optional<unsigned> rcode = exchange(socket, kind, entry, what, failed);
        if (!rcode) return rcode;
        asked = true;
        if (*rcode != kDnsRcodeNotAuth && *rcode != kDnsRcodeNotZone) {
            if (!remembered && tries[i] != own) rememberZone(entry.server, derived, tries[i], entry.zone);
            return rcode;
        }
        refused_.push_back(RefusedZone{entry.server, entry.zone, *rcode});
        refusal = rcode;
        if (remembered) rememberZone(entry.server, derived, 0, {});
        if (stopping()) return rcode;
    }
    if (asked || !refusal) return refusal;
    auto counted = std::find_if(unplaced_.begin(), unplaced_.end(),
                                [&](const std::pair<Ipv4, unsigned>& u) { return u.first == entry.server; });
    if (counted == unplaced_.end()) counted = unplaced_.insert(unplaced_.end(), {entry.server, 0});
    ++counted->second;
    failed = DnsResult{entry.name, DnsOutcome::NotSent, *refusal};
    return std::nullopt;
}

DnsResult DnsUpdateClient::registerRecord(platform::UdpSocket& socket, DnsRecordEntry entry) {
    std::array<std::uint8_t, kDnsMessageCapacity> message;
    const AddressText server = formatIpv4(entry.server);
    DnsResult failed;
    std::optional<unsigned> rcode = exchangeInZone(socket, DnsMessageKind::Check, entry, "check", failed);
    if (!rcode) return failed;
    if (*rcode == kDnsRcodeNoError) return DnsResult{entry.name, DnsOutcome::Present, 0};
    if (*rcode != kDnsRcodeNxRrset) {
        log_.line(1, false, "DHCP  Error   DNS check of %s: rcode %u (%s) from %s\n", entry.name.c_str(), *rcode,
                  rcodeName(*rcode), server.c_str());
        return DnsResult{entry.name, DnsOutcome::Failed, *rcode};
    }
    // A name registered without a DHCID (a client known by relay values only) is added where no
    // client owns it; the answer says whether it was, and a refusal keeps the PTR record back.
    if (entry.dhcid.empty() && !entry.isPtr()) {
        rcode = exchange(socket, DnsMessageKind::Update, entry, "update", failed);
        if (!rcode) return failed;
        if (*rcode == kDnsRcodeNoError) {
            log_.line(2, false, "DHCP  DNS     update %s sent to %s\n", entry.name.c_str(), server.c_str());
            return DnsResult{entry.name, DnsOutcome::Updated, *rcode};
        }
        return refusedUpdate(entry, *rcode, kDnsRcodeYxRrset);
    }
    if (entry.dhcid.empty()) {
        const std::size_t length = encodeDnsMessage(DnsMessageKind::Update, entry, nextId(), message, true);
        if (length == 0 || !socket.send(message.data(), length, entry.server, port_)) {
            log_.line(1, false, "DHCP  Error   DNS update of %s not sent to %s: %s\n", entry.name.c_str(),
                      server.c_str(), notSentReason(length).c_str());
            return DnsResult{entry.name, DnsOutcome::SendFailed, 0};
        }
        log_.line(2, false, "DHCP  DNS     update %s sent to %s\n", entry.name.c_str(), server.c_str());
        return DnsResult{entry.name, DnsOutcome::Updated, kDnsRcodeNxRrset};
    }
    return registerOwned(socket, entry);
}

// A name is registered with a DHCID record that says whose it is: added while nobody uses the
// name, replaced only while the DHCID is this client's. A name that holds records of anyone else
// (another client, or records the server did not put there) is left as it is.
DnsResult DnsUpdateClient::registerOwned(platform::UdpSocket& socket, const DnsRecordEntry& entry) {
    const AddressText server = formatIpv4(entry.server);
    std::optional<unsigned> rcode;
    for (const DnsMessageKind kind : {DnsMessageKind::Add, DnsMessageKind::Replace}) {
        DnsResult failed;
        rcode = exchange(socket, kind, entry, "update", failed);
        if (!rcode) return failed;
        if (*rcode == kDnsRcodeNoError) {
            log_.line(2, false, "DHCP  DNS     update %s sent to %s\n", entry.name.c_str(), server.c_str());
            return DnsResult{entry.name, DnsOutcome::Updated, *rcode};
        }
        // The name is in use: the next message replaces it if it is this client's.
        if (kind == DnsMessageKind::Add && *rcode == kDnsRcodeYxDomain) continue;
        break;
    }
    return refusedUpdate(entry, *rcode, kDnsRcodeNxRrset);
}

// An update the server did not take: with the code its prerequisite that the name is nobody
// else's gives, the name is another client's; any other is a failure.
DnsResult DnsUpdateClient::refusedUpdate(const DnsRecordEntry& entry, unsigned rcode, unsigned taken) {
    if (rcode == taken) {
        log_.line(1, false, "DHCP  Error   DNS name %s belongs to another client, not updated\n", entry.name.c_str());
        return DnsResult{entry.name, DnsOutcome::Conflict, rcode};
    }
    log_.line(1, false, "DHCP  Error   DNS update of %s: rcode %u (%s) from %s\n", entry.name.c_str(), rcode,
              rcodeName(rcode), formatIpv4(entry.server).c_str());
    return DnsResult{entry.name, DnsOutcome::Failed, rcode};
}

// One message removes the record, with prerequisites that hold only while it is the lease's.
// Their failing (NXRRSET, or NXDOMAIN for a name that is gone) leaves the record where it is.
DnsResult DnsUpdateClient::removeRecord(platform::UdpSocket& socket, DnsRecordEntry entry) {
    const AddressText server = formatIpv4(entry.server);
    DnsResult failed;
    const std::optional<unsigned> rcode = exchangeInZone(socket, DnsMessageKind::Remove, entry, "removal", failed);
    if (!rcode) return failed;
    if (*rcode == kDnsRcodeNoError) {
        log_.line(2, false, "DHCP  DNS     removal %s sent to %s\n", entry.name.c_str(), server.c_str());
        return DnsResult{entry.name, DnsOutcome::Removed, *rcode};
    }
    if (*rcode == kDnsRcodeNxRrset || *rcode == kDnsRcodeNxDomain) {
        log_.line(2, false, "DHCP  DNS     %s left in DNS: not this lease's record\n", entry.name.c_str());
        return DnsResult{entry.name, DnsOutcome::Kept, *rcode};
    }
    log_.line(1, false, "DHCP  Error   DNS removal of %s: rcode %u (%s) from %s\n", entry.name.c_str(), *rcode,
              rcodeName(*rcode), server.c_str());
    return DnsResult{entry.name, DnsOutcome::Failed, *rcode};
}

// Waits for the answer to message id from the server it was sent to. Datagrams from anyone
// else, or with another ID (a late answer to an earlier message), are read and passed over.
std::optional<unsigned> DnsUpdateClient::awaitAnswer(platform::UdpSocket& socket, Ipv4 server, std::uint16_t id) {
    const auto deadline = std::min(std::chrono::steady_clock::now() + answerWait_, this->deadline());
    std::array<std::uint8_t, kDnsMessageCapacity> answer;
    const int fds[] = {socket.fd()};
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        bool readable[1] = {false};
        const platform::WaitResult r = platform::waitReadable(fds, &stop_, static_cast<int>(left.count()), readable);
        if (r != platform::WaitResult::Readable) return std::nullopt;
        platform::DatagramInfo from;
        const long n = socket.receive(answer.data(), answer.size(), from, true);
        if (n < 0 || from.source != server || from.sourcePort != port_) continue;
        const std::optional<unsigned> rcode =
            readDnsAnswerCode(std::span<const std::uint8_t>(answer.data(), static_cast<std::size_t>(n)), id);
        if (rcode) return rcode;
    }
}

}  // namespace tolmark::dhcp
