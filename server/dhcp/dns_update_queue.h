#pragma once
// Name registrations waiting to be sent to DNS. The request processor queues one for every
// acknowledged client of a profile with "DNSUpdate" on, and a removal for every registered lease
// that a RELEASE or DECLINE ends; the housekeeping pass queues removals for leases that expired.
// The DNS thread takes them off the queue and sends them, so that no network exchange happens on
// the request path.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include "base/ipv4.h"

namespace tolmark::dhcp {

struct DnsUpdate {
    std::string hostName;
    std::string domain;
    Ipv4 address = 0;
    Ipv4 mask = 0;
    std::uint32_t leaseTime = 0;
    Ipv4 dnsServer = 0;
    // Who the client is, as its DHCID record names it: the identifier type code (2 bytes) and
    // the identifier (dhcidIdentifier, dns_message.h). Empty: no ownership record.
    std::vector<std::uint8_t> clientIdentity = {};
    // The lease ended: its records are removed where they are still this client's.
    bool removal = false;
};

struct DnsDropped {
    std::size_t updates = 0;
    std::size_t removals = 0;
};

class DnsUpdateQueue {
public:
    // At most this many wait. When full, the oldest removal goes first: a lost removal leaves a
    // stale name, a lost registration a client without one. Without removals waiting, a removal
    // that arrives is dropped, and a registration takes the oldest registration's place, since
    // that one is the most likely to be stale.
    static constexpr std::size_t kCapacity = 1024;

    // Called after every push (wakes the thread that sends them), under the queue's lock: the
    // lookup of static names may push while the server sets it at start.
    void setWakeUp(std::function<void()> wakeUp) {
        std::lock_guard<std::mutex> guard(lock_);
        wakeUp_ = std::move(wakeUp);
    }
    // An update for a profile without a DNS server ("DNS1IP" 0.0.0.0), or with a broadcast or
    // multicast address there, is not queued: there is no one server to send it to.
    void push(DnsUpdate update);
    std::vector<DnsUpdate> takeAll();
    // How many registrations and removals were dropped since the last call.
    DnsDropped takeDropped();
    std::size_t size() const;
    // Takes the waiting removals off the queue (a server that turns out to be the standby removes
    // no names); the registrations stay. Returns how many went.
    std::size_t dropRemovals();

    // Leases that ran out at or before this time have had their removals queued by the expiry
    // pass (or are passed by on purpose); a lease that ran out later may still have its names.
    // A request that takes such a lease's record over, or changes the name it registered,
    // queues the removal itself, since the pass will no longer find what the record named.
    // Until the server sets it, only running leases count.
    void setExpiriesPassed(std::int64_t until) { expiriesPassed_.store(until, std::memory_order_relaxed); }
    std::int64_t expiriesPassed() const { return expiriesPassed_.load(std::memory_order_relaxed); }

private:
    mutable std::mutex lock_;
    std::deque<DnsUpdate> updates_;
    DnsDropped dropped_;
    std::function<void()> wakeUp_;
    std::atomic<std::int64_t> expiriesPassed_{std::numeric_limits<std::int64_t>::max()};
};

}  // namespace tolmark::dhcp
