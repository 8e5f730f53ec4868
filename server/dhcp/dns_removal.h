#pragma once
// Removing the DNS records of leases that ended. A RELEASE or DECLINE ends a lease on the request
// path; an expiry ends it by time passing, which no request sees: a pass on the housekeeping
// thread finds the leases that expired since the pass before. Removals go through the same
// queue as registrations, and the records go only where they are still the lease's.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "config/profiles.h"
#include "platform/clock.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/dhcp/request_summary.h"
#include "server/leases/client_rules.h"
#include "server/leases/engine_state.h"

namespace tolmark::dhcp {

// The name the server registered for a dynamic lease: the one the client sent, which the record
// keeps ("DNSAccept"), else the one "DNSBase" gives the address.
std::string_view leaseHostName(const Profile& profile, const ClientRecord& record, char (&buffer)[kHostNameChars + 1]);

// The removal of what a dynamic lease of the profile registered, with the client's identity as
// its DHCID names it: the request's (client identifier, else hardware address) when one is
// given, else the one the record keeps. None when the profile registers nothing, the lease had
// no name, or the record holds its address for no client; the identity is made only for a
// removal.
std::optional<DnsUpdate> leaseRemoval(const Profile& profile, const ClientRecord& record,
                                      const RequestView* request = nullptr);

// True while what a lease registered may still be in DNS: it runs at now, or it ran out after
// passedUntil (DnsUpdateQueue::expiriesPassed), where the expiry pass has not come yet.
bool leaseNamesMayRemain(const ClientRecord& record, std::int64_t now, std::int64_t passedUntil);

// The same for a lease that ends while its names may still be there (a release, a NAK, a
// removal through the pipe); none for one whose removal the expiry pass queued already.
std::optional<DnsUpdate> runningLeaseRemoval(const Profile& profile, const ClientRecord& record,
                                             const RequestView* request, std::int64_t now, std::int64_t passedUntil);

// The client of the lease gets another name now (another option 12, or none and the "DNSBase"
// name): the removal of the name the lease registered before, since the record keeps only the
// new one. None when the name stays or the lease's names are gone already. Allocates only for a
// removal.
std::optional<DnsUpdate> renamedLeaseRemoval(const Profile& profile, const ClientRecord& record,
                                             std::string_view newName, const RequestView& request, std::int64_t now,
                                             std::int64_t passedUntil);

// A dynamic lease of the table that a change ends while its names may still be there (a
// removal, a purge, a reservation for a static entry, another client taking its record over):
// the removal by the profile its record names, with the identity the record keeps. Call under
// the engine lock, which guards both.
std::optional<DnsUpdate> tableLeaseRemoval(const ProfileList& profiles, const ClientRecord& record, std::int64_t now,
                                           std::int64_t passedUntil);

// The removal of what a static entry with an address registers as it stands: the name its
// replies carry (its stored name, or the "DNSBase" one when it has none), or the name its client
// sent, which the entry keeps ("DNSAccept"), at its address, under the profile that serves it,
// owned by the DHCID its identity gives. None when it registers nothing. A change to the entry that gives another
// removal (changedStaticRecords) leaves the old records behind unless they go at once.
std::optional<DnsUpdate> staticEntryRemoval(const ProfileList& profiles, const ClientRecord& record);
bool changedStaticRecords(const DnsUpdate& before, const std::optional<DnsUpdate>& after);

// runningLeaseRemoval and tableLeaseRemoval, queued at once, judged by how far the queue says
// the expiry pass has come. Nothing without a queue.
void queueRunningLeaseRemoval(DnsUpdateQueue* queue, const Profile& profile, const ClientRecord& record,
                              const RequestView* request, std::int64_t now);
void queueTableLeaseRemoval(DnsUpdateQueue* queue, const ProfileList& profiles, const ClientRecord& record,
                            std::int64_t now);

// The same for each lease the table's rules end; the lease judged running by the clock.
// Nothing without a queue and a clock.
LeaseEnding queueTableLeaseRemovals(DnsUpdateQueue* queue, const platform::Clock* clock, const ProfileList& profiles);

// The DHCID identifier a record's identity gives: its client identifier or hardware address, as
// the client sent them. Empty for relay values, which say nothing of what the client sent.
std::vector<std::uint8_t> recordDhcidIdentifier(const Identity& identity);

// The client as its DHCID record names it: by the client identifier it sent, else its hardware
// address. A client identifier counts with the 64 bytes its lease keeps of it, so that the
// expiry pass, which has only those, names the client as its registration did.
std::vector<std::uint8_t> requestDhcidIdentifier(const RequestView& request);

// Records looked at per hold of the engine lock, and removals queued per pass at most: a burst
// of expiries goes out over several passes rather than pushing registrations out of the queue.
inline constexpr std::size_t kDnsExpiryRun = 1024;
inline constexpr std::size_t kDnsRemovalsPerPass = 256;

// Finds the leases whose expiry passed after the last pass and no later than now, and queues
// their removals. The first passes also take, with what the new expiries leave of their share,
// the leases that expired while the server was stopped (after `stopped`, the time the last run
// saved its leases, up to the start) and still name their client: nobody removed their names
// then. Leases that ran out while an earlier run was up had theirs removed by it, and are not
// sent again at every start. The removal's own checks leave a name that has moved on since.
class DnsExpiryPass {
public:
    DnsExpiryPass(std::int64_t start, std::int64_t stopped)
        : done_(start), beforeStart_{.from = stopped, .until = stopped < start ? start : 0} {}

    // Takes the engine lock in runs (call it holding no lock below it). Returns how many removals
    // it queued.
    std::size_t run(EngineState& engine, DnsUpdateQueue& queue, std::int64_t now);

    // A server paused by backup detection removes no names, neither now nor once it takes over:
    // its table is not kept up to date meanwhile, and the server that serves the clients may
    // have renewed those leases and their names. Everything that ran out until now is passed by.
    void passOver(DnsUpdateQueue& queue, std::int64_t now) {
        beforeStart_ = Window{};
        window_ = Window{};
        done_ = now;
        moved_.clear();
        seen_.clear();
        seenGeneration_.reset();
        queue.setExpiriesPassed(now);
    }

    // Leases that ran out up to here have had their removals queued (or passed by); published
    // to the queue after every pass.
    std::int64_t passedUntil() const;

    // A profile whose "DNSName" or "DNS1IP" changed while it registers names: the leases whose
    // names may remain are registered under the old domain, or at the old server, and would keep
    // those names for good (their removals go by the profile as it is now). Each pass after the
    // change queues, within its share, their removals as the profile was, and for the leases
    // that run the registration as it is now. The first call only notes the profiles.
    void noticeMovedNames(EngineState& engine);

private:
    // The leases that expired in (from, until], and where the walk stands: the profile, and the
    // pool offset. until 0: no window.
    struct Window {
        std::int64_t from = 0;
        std::int64_t until = 0;
        std::uint64_t generation = 0;
        std::size_t profile = 0;
        std::uint32_t offset = 0;
    };
    // Walks the window on; true when it is done, false when the pass has queued its share.
    static bool walk(EngineState& engine, DnsUpdateQueue& queue, Window& window, std::size_t& queued);
    std::size_t walkWindows(EngineState& engine, DnsUpdateQueue& queue, std::int64_t now);

    struct Moved {
        Profile before;
        std::uint32_t offset = 0;  // where the walk of its pool stands
    };
    void walkMoved(EngineState& engine, DnsUpdateQueue& queue, std::int64_t now, std::size_t& queued);

    std::int64_t done_;  // leases that expired up to here are done
    Window window_;      // the window since the last pass
    Window beforeStart_;
    std::optional<std::uint64_t> seenGeneration_;  // of the profiles as seen_ holds them
    std::vector<Profile> seen_;                    // empty before the first call
    std::vector<Moved> moved_;
};

}  // namespace tolmark::dhcp
