#include "server/dhcp/dns_update_client.h"

#include <array>

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

std::vector<DnsResult> DnsUpdateClient::send(std::span<const DnsUpdate> updates) {
    std::vector<DnsResult> results;
    if (updates.empty()) return results;
    platform::UdpSocket socket = platform::openBoundUdpSocket(0, 0);
    for (const DnsUpdate& update : updates) {
        DnsEntryPair entries;
        const DnsEntryResult made = makeDnsEntries(update, entries);
        if (made == DnsEntryResult::NoName) continue;
        if (made == DnsEntryResult::BadName) {
            log_.line(2, false, "DHCP  Error   host name %s.%s not registered in DNS\n", update.hostName.c_str(),
                      update.domain.c_str());
            results.push_back(DnsResult{update.hostName, DnsOutcome::NotSent, 0});
            continue;
        }
        for (const DnsRecordEntry* entry : {&entries.forward, &entries.reverse}) {
            // A name that is another's is not pointed at from this client's address either.
            const bool conflict = entry == &entries.reverse && !results.empty() &&
                                  results.back().name == entries.forward.name &&
                                  results.back().outcome == DnsOutcome::Conflict;
            if (stop_.signalled() || conflict) {
                results.push_back(DnsResult{entry->name, DnsOutcome::NotSent, 0});
                continue;
            }
            // Nobody to send to: a profile without a DNS server (0.0.0.0 would reach this host).
            if (entry->server == 0) continue;
            results.push_back(socket.valid() ? registerRecord(socket, *entry)
                                             : DnsResult{entry->name, DnsOutcome::SendFailed, 0});
        }
    }
    return results;
}

DnsResult DnsUpdateClient::registerRecord(platform::UdpSocket& socket, const DnsRecordEntry& entry) {
    std::array<std::uint8_t, kDnsMessageCapacity> message;
    const AddressText server = formatIpv4(entry.server);
    // Messages of odd length carry one zero byte more; servers pass over it.
    std::size_t length = encodeDnsMessage(DnsMessageKind::Check, entry, nextId(), message, true);
    if (length == 0 || !socket.send(message.data(), length, entry.server, port_)) {
        log_.line(2, false, "DHCP  Error   DNS check of %s not sent to %s\n", entry.name.c_str(), server.c_str());
        return DnsResult{entry.name, DnsOutcome::SendFailed, 0};
    }
    const std::optional<unsigned> rcode = awaitAnswer(socket, entry.server, id_);
    if (!rcode) {
        log_.line(2, false, "DHCP  Error   DNS check of %s: no answer from %s\n", entry.name.c_str(), server.c_str());
        return DnsResult{entry.name, DnsOutcome::NoAnswer, 0};
    }
    if (*rcode == kDnsRcodeNoError) return DnsResult{entry.name, DnsOutcome::Present, 0};
    if (*rcode != kDnsRcodeNxRrset) {
        log_.line(2, false, "DHCP  Error   DNS check of %s: rcode %u from %s\n", entry.name.c_str(), *rcode,
                  server.c_str());
        return DnsResult{entry.name, DnsOutcome::Failed, *rcode};
    }
    if (entry.dhcid.empty()) {
        length = encodeDnsMessage(DnsMessageKind::Update, entry, nextId(), message, true);
        if (length == 0 || !socket.send(message.data(), length, entry.server, port_)) {
            log_.line(2, false, "DHCP  Error   DNS update of %s not sent to %s\n", entry.name.c_str(), server.c_str());
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
    std::array<std::uint8_t, kDnsMessageCapacity> message;
    std::optional<unsigned> rcode;
    for (const DnsMessageKind kind : {DnsMessageKind::Add, DnsMessageKind::Replace}) {
        const std::size_t length = encodeDnsMessage(kind, entry, nextId(), message, true);
        if (length == 0 || !socket.send(message.data(), length, entry.server, port_)) {
            log_.line(2, false, "DHCP  Error   DNS update of %s not sent to %s\n", entry.name.c_str(), server.c_str());
            return DnsResult{entry.name, DnsOutcome::SendFailed, 0};
        }
        rcode = awaitAnswer(socket, entry.server, id_);
        if (!rcode) {
            log_.line(2, false, "DHCP  Error   DNS update of %s: no answer from %s\n", entry.name.c_str(),
                      server.c_str());
            return DnsResult{entry.name, DnsOutcome::NoAnswer, 0};
        }
        if (*rcode == kDnsRcodeNoError) {
            log_.line(2, false, "DHCP  DNS     update %s sent to %s\n", entry.name.c_str(), server.c_str());
            return DnsResult{entry.name, DnsOutcome::Updated, *rcode};
        }
        // The name is in use: the next message replaces it if it is this client's.
        if (kind == DnsMessageKind::Add && *rcode == kDnsRcodeYxDomain) continue;
        break;
    }
    if (*rcode == kDnsRcodeNxRrset) {
        log_.line(1, false, "DHCP  Error   DNS name %s belongs to another client, not updated\n", entry.name.c_str());
        return DnsResult{entry.name, DnsOutcome::Conflict, *rcode};
    }
    log_.line(2, false, "DHCP  Error   DNS update of %s: rcode %u from %s\n", entry.name.c_str(), *rcode,
              server.c_str());
    return DnsResult{entry.name, DnsOutcome::Failed, *rcode};
}

// Waits for the answer to message id from the server it was sent to. Datagrams from anyone
// else, or with another ID (a late answer to an earlier message), are read and passed over.
std::optional<unsigned> DnsUpdateClient::awaitAnswer(platform::UdpSocket& socket, Ipv4 server, std::uint16_t id) {
    const auto deadline = std::chrono::steady_clock::now() + answerWait_;
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
