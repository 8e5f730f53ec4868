#pragma once
// Name registrations waiting to be sent to DNS. The request processor queues one for every
// acknowledged client of a profile with "DNSUpdate" on; the housekeeping thread takes them off
// the queue and sends them, so that no network exchange happens on the request path.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
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
};

class DnsUpdateQueue {
public:
    // At most this many wait; the oldest goes when a newer one arrives, since it is the most
    // likely to be stale.
    static constexpr std::size_t kCapacity = 1024;

    // Called after every push (wakes the thread that sends them).
    void setWakeUp(std::function<void()> wakeUp) { wakeUp_ = std::move(wakeUp); }
    // An update for a profile without a DNS server ("DNS1IP" 0.0.0.0) is not queued: there is
    // nobody to send it to.
    void push(DnsUpdate update);
    std::vector<DnsUpdate> takeAll();
    // How many updates were dropped for newer ones since the last call.
    std::size_t takeDropped();
    std::size_t size() const;

private:
    mutable std::mutex lock_;
    std::deque<DnsUpdate> updates_;
    std::size_t dropped_ = 0;
    std::function<void()> wakeUp_;
};

}  // namespace tolmark::dhcp
