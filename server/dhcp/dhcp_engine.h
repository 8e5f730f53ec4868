#pragma once
// The request processor: one received request through three steps. Deciding reads the request
// and the tables and produces a decision (the record, the profile, the reply, every change to
// make) without changing anything; committing applies the changes; writing renders the reply
// and the facts it is routed by. A decision that waits for an address test, or for the lease
// database's answer to its claim, is kept and taken up again when the answer is in.
//
// Facts found while deciding are committed at once, because the search goes on from them: an
// address that answered ARP for another host is held for it, an address under test is the
// client's while the answer is awaited, and under "ChangeIP" a DISCOVER's client gives up its
// own leases before it is moved to another address.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "config/settings_holder.h"
#include "platform/clock.h"
#include "server/dhcp/decision.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/dhcp/engine_context.h"
#include "server/dhcp/profile_selection.h"
#include "server/dhcp/request_processor.h"
#include "server/leases/client_rules.h"
#include "server/leases/shared_leases.h"

namespace tolmark::dhcp {

class DhcpEngine final : public RequestProcessor {
public:
    DhcpEngine(ClientTable& clients, const ProfileList& profiles, const InterfaceTable& interfaces,
               const SettingsHolder& settings, LogSink& log, const platform::Clock& clock, platform::ArpProber* arp);

    // Called under the engine lock.
    ReplyPlan process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                      const Arrival& arrival) override;
    ReplyPlan resume(std::uint64_t ticket, std::span<std::uint8_t> reply) override;

    // Where acknowledged clients' names are queued for registration in DNS; none: not queued.
    void setDnsUpdateQueue(DnsUpdateQueue* queue);
    // Leases shared with other servers: every lease is claimed from the lease database before
    // it is acknowledged, and every change is written to it. None: the table is this server's.
    void setSharedLeases(SharedLeases* shared) { shared_ = shared; }
    // The database's answer to the claim a parked request waits for; resume(ticket) then goes on.
    void claimAnswered(std::uint64_t ticket, ClaimOutcome outcome) override;

    // Requests waiting for an address test or a claim: at most this many, for at most this long.
    static constexpr std::size_t kParkedPlaces = kParkedRequestPlaces;
    static constexpr std::uint64_t kLongestWaitMs = 5000;
    // A request whose claims were lost this often is left unanswered (its client asks again).
    static constexpr int kClaimRounds = 4;

private:
    enum class WaitingFor : std::uint8_t { AddressTest, Claim };
    // A request that waits, with what was decided for it so far.
    struct Parked {
        std::uint64_t ticket = 0;  // 0: the place is free
        std::uint64_t sinceMs = 0;
        std::vector<std::uint8_t> datagram;
        std::size_t length = 0;
        Arrival arrival;
        WaitingFor waitingFor = WaitingFor::AddressTest;
        Selection selection;
        PoolChoice allocateFrom;
        // A claim: the whole decision, the time it was made at, and the answer once it is in.
        Decision decision;
        std::int64_t decidedAt = 0;
        bool answered = false;
        ClaimOutcome answer = ClaimOutcome::Unavailable;
        int claimRounds = 0;
        std::uint64_t profilesGeneration = 0;
        std::uint64_t settingsGeneration = 0;
    };

    // The typed settings, built again when the holder's generation moves on.
    const EngineSettings& engineSettings();
    // Decides, commits and writes; `parked`: what a waiting request was left with.
    ReplyPlan handle(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply, const Arrival& arrival,
                     const Parked* parked);
    // The record search with its address tests; false when the request is to wait.
    // An address no client may be given: one of this host's, or the network's own or broadcast
    // address by the pool profile's mask.
    bool unusableForClients(Ipv4 address, const Profile& pool) const;
    // A REQUEST whose server identifier is another of this host's addresses, one the server
    // listens on.
    bool namesAnotherOwnAddress(const RequestView& view) const;
    // The planned address is offered or leased by a pool of another profile (pools that overlap).
    bool givenByAnotherPool(const AddressPlan& plan, std::int64_t now);
    bool allocate(RequestView& view, const RequestInput& in, const PoolChoice& choice, Selection& selection,
                  const AddressPlan* resumed);
    // With shared leases: a lease is claimed before it is given (true: the request waits for
    // the answer, ticket set); while no claim can be made only a client's current lease is
    // served, anything else gets no answer.
    bool claimFirst(const RequestInput& in, Decision& d, const Parked* parked, std::uint64_t& ticket);
    // With shared leases: a REQUEST refused for naming an address this server does not know as
    // the client's is decided again for that address, for the database to say whose it is.
    void tryNamedAddress(const RequestInput& in, Decision& d);
    bool parkedStillHolds(const Parked& parked, std::int64_t now);
    // The reply of an INFORM answered without a record is written from this one, which no list
    // holds: the client's address, identity and name.
    const ClientRecord& unlistedRecord(const RequestInput& in, const Decision& d);
    Parked& place();
    void freePlace(Parked& p);
    // Gives back the places of requests never taken up again (stale: older than the longest wait).
    void reclaimStalePlaces();
    ReplyPlan park(Parked& place, std::span<const std::uint8_t> request, const Arrival& arrival);

    EngineTables tables_;
    const SettingsHolder& settings_;
    EngineSettings typed_;
    std::uint64_t typedGeneration_ = 0;
    const platform::Clock& clock_;
    DnsUpdateQueue* dnsQueue_ = nullptr;
    LeaseEnding leaseEnding_;  // queues the removals of the table's leases that end (made once)
    SharedLeases* shared_ = nullptr;
    std::vector<Parked> parked_;
    std::vector<std::uint16_t> freePlaces_;  // places without a ticket
    std::uint64_t nextTicket_ = 1;
    int claimRounds_ = 0;                // of the request being handled: claims it lost before
    std::vector<std::uint8_t> resumed_;  // the datagram of the request taken up again
    int requestType_ = -1;               // of the request being handled, once parsed
    ClientRecord unlisted_;
    ClientFields unlistedFields_;
};

}  // namespace tolmark::dhcp
