#pragma once
// Sends the queued name registrations to DNS, on a thread of their own. For each record it
// asks the server first whether the record is already there (the check message) and sends the
// update only when the answer says it is not (NXRRSET). A client's A record goes with a DHCID
// record that marks the name as the client's, so that no other client can take the name over;
// a client known by no identity of its own gets its A record only where no DHCID marks the name.
// There are no retries: the next lease renewal queues the registration again. When a lease
// ends, its records are removed with one message each whose prerequisites keep anything that is
// no longer the lease's (another client's name, a name that moved, records of anyone else).
// A PTR record's zone is the one the profile's mask names; where the server says that zone is
// not its own, the enclosing reverse zones are tried in turn, then the narrower ones as far as
// the address's /24 zone, and the one that took the record is remembered for that server. A zone the
// server refused is not tried again in the same batch.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <random>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/log_sink.h"
#include "platform/udp_socket.h"
#include "platform/wake_event.h"
#include "server/dhcp/dns_message.h"
#include "server/dhcp/dns_update_queue.h"

namespace tolmark::dhcp {

enum class DnsOutcome {
    Present,     // the check found the record: nothing sent
    Updated,     // the check said NXRRSET: the update was sent (and, with a DHCID, taken)
    Conflict,    // the name is another client's or holds records the server did not put there
    Removed,     // a lease that ended: its record is gone
    Kept,        // a lease that ended: the record is not (or no longer) the lease's, and stays
    NoAnswer,    // no valid answer from the server within the wait
    Failed,      // the check was answered with another response code
    SendFailed,  // no socket, or the message could not be sent
    NotSent,     // the name cannot be written as a DNS name, its DNS server did not answer earlier
                 // in the batch, or the server is stopping (or past the deadline)
};

struct DnsResult {
    std::string name;
    DnsOutcome outcome = DnsOutcome::NotSent;
    unsigned rcode = 0;
    std::size_t update = 0;  // the index of the update the record belongs to
};

// True when the record did not reach the server or had no answer from it: sent again later, it
// may still be taken.
inline bool dnsNotDelivered(DnsOutcome outcome) {
    return outcome == DnsOutcome::NoAnswer || outcome == DnsOutcome::NotSent || outcome == DnsOutcome::SendFailed;
}

class DnsUpdateClient {
public:
    // port and answerWait are those of DNS (53, 2 seconds); tests use their own.
    DnsUpdateClient(LogSink& log, const platform::WakeEvent& stop, std::uint16_t port = kDnsPort,
                    std::chrono::milliseconds answerWait = std::chrono::seconds(2));

    // Registers (or, for a removal, removes) the forward and reverse records of each update, in
    // order, over one socket.
    std::vector<DnsResult> send(std::span<const DnsUpdate> updates);
    // Takes every update off the queue and sends them; logs how many the full queue dropped.
    // taken, when given, receives the updates (DnsResult::update indexes them).
    std::vector<DnsResult> sendQueued(DnsUpdateQueue& queue, std::vector<DnsUpdate>* taken = nullptr);
    // No message goes out after this time, and no answer is waited for beyond it: the records
    // left count as not sent. May be set from another thread while a batch is under way.
    void setDeadline(std::chrono::steady_clock::time_point deadline) {
        deadline_.store(deadline.time_since_epoch().count(), std::memory_order_relaxed);
    }

    // The ID of the last message sent, and how many messages were sent.
    std::uint16_t lastId() const { return id_; }
    unsigned messagesSent() const { return sent_; }

private:
    DnsResult registerRecord(platform::UdpSocket& socket, DnsRecordEntry entry);
    DnsResult registerOwned(platform::UdpSocket& socket, const DnsRecordEntry& entry);
    DnsResult refusedUpdate(const DnsRecordEntry& entry, unsigned rcode, unsigned taken);
    DnsResult removeRecord(platform::UdpSocket& socket, DnsRecordEntry entry);
    std::optional<unsigned> exchange(platform::UdpSocket& socket, DnsMessageKind kind, const DnsRecordEntry& entry,
                                     const char* what, DnsResult& failed);
    std::optional<unsigned> exchangeInZone(platform::UdpSocket& socket, DnsMessageKind kind, DnsRecordEntry& entry,
                                           const char* what, DnsResult& failed);
    std::optional<unsigned> knownZone(Ipv4 server, std::string_view derived) const;
    void rememberZone(Ipv4 server, std::string_view derived, unsigned bytes, std::string_view found);
    std::optional<unsigned> refusedInBatch(Ipv4 server, std::string_view zone) const;
    std::optional<unsigned> awaitAnswer(platform::UdpSocket& socket, Ipv4 server, std::uint16_t id);
    std::uint16_t nextId();
    std::chrono::steady_clock::time_point deadline() const {
        return std::chrono::steady_clock::time_point(
            std::chrono::steady_clock::duration(deadline_.load(std::memory_order_relaxed)));
    }
    bool stopping() const { return stop_.signalled() || std::chrono::steady_clock::now() >= deadline(); }

    LogSink& log_;
    const platform::WakeEvent& stop_;
    std::uint16_t port_;
    std::chrono::milliseconds answerWait_;
    std::atomic<std::chrono::steady_clock::rep> deadline_{std::chrono::steady_clock::duration::max().count()};
    // Message IDs are drawn at random (RFC 5452): with the socket's random port they keep a
    // sender elsewhere from guessing an answer that would be taken for the server's.
    std::mt19937 ids_;
    std::uint16_t id_ = 0;
    unsigned sent_ = 0;

    // Reverse zones found other than the mask says, per DNS server: a server that keeps one zone
    // for 168.192.in-addr.arpa takes the PTR records of every 192.168.x.0/24 network there, and
    // one that keeps /24 zones those of a /16 network each in the zone of its address.
    // A fixed number, the oldest given up for a new one.
    struct ZoneMemo {
        Ipv4 server = 0;
        std::string derived;  // the zone the profile's mask names
        unsigned bytes = 0;   // the address bytes of the zone the server took the update in; 0: none
    };
    static constexpr std::size_t kZoneMemos = 32;
    std::array<ZoneMemo, kZoneMemos> zoneMemos_;
    std::size_t nextMemo_ = 0;

    // The batch under way: the zones a server said are not its own (asked once a batch), and per
    // server the records then left with no zone to try.
    struct RefusedZone {
        Ipv4 server = 0;
        std::string zone;
        unsigned rcode = 0;
    };
    std::vector<RefusedZone> refused_;
    std::vector<std::pair<Ipv4, unsigned>> unplaced_;
};

}  // namespace tolmark::dhcp
