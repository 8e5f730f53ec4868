#pragma once
// The host's ARP cache, and ARP requests for an address.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/ipv4.h"
#include "platform/wake_event.h"

namespace tolmark::platform {

enum class ArpEntryType { Dynamic = 3, Static = 4 };

class ArpCache {
public:
    virtual ~ArpCache() = default;
    virtual bool setEntry(int ifIndex, Ipv4 address, const std::uint8_t* hardware6, ArpEntryType type) = 0;
    virtual bool deleteEntry(int ifIndex, Ipv4 address) = 0;
};
std::unique_ptr<ArpCache> makeArpCache();

// Who holds an address, asked by ARP without waiting for the answer: many addresses can be
// asked at once while the caller goes on with other work.
enum class ProbeState { Pending, Free, Taken };
struct ProbeResult {
    ProbeState state = ProbeState::Pending;
    std::array<std::uint8_t, 6> holder{};  // the answering hardware address when Taken
};

class ArpProber {
public:
    virtual ~ArpProber() = default;
    // Pending: the request went out from the interface (now or earlier) and its answer is not in;
    // completed() is signalled once it is, or once the time-out has passed. Free: nobody answered
    // in time, or no test is possible here. Taken: holder answered. A finished answer is kept for
    // a few seconds, so that the caller can ask again and get it.
    virtual ProbeResult probe(int ifIndex, Ipv4 source, Ipv4 target) = 0;
    virtual WakeEvent& completed() = 0;
    // False when no address can be tested here (no packet socket): every address counts as free.
    virtual bool ready() const { return true; }
};
// Answers within timeoutMs count. Needs CAP_NET_RAW; without it every address is Free.
std::unique_ptr<ArpProber> makeArpProber(int timeoutMs = 1000);

}  // namespace tolmark::platform
