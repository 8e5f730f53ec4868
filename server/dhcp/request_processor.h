#pragma once
// The request processor the receive loop hands every accepted datagram to, under the engine
// lock. It builds the reply in the reply buffer and returns a plan: the reply's length and the
// facts the receive loop routes it by.

#include <cstddef>
#include <cstdint>
#include <span>

#include "server/dhcp/request_summary.h"

namespace tolmark {

// Where a datagram arrived: the served address it belongs to, and its sender.
struct Arrival {
    Ipv4 interfaceAddress = 0;
    Ipv4 sourceAddress = 0;
};

struct ReplyPlan {
    std::size_t length = 0;     // 0: no reply
    int messageType = 0;        // 2 OFFER, 5 ACK, 6 NAK; 0 for BOOTP or no DHCP reply
    Ipv4 relayAddress = 0;      // the relay agent to answer, 0 when the request came directly
    Ipv4 sourceAddress = 0;     // the requester's source address
    bool offSubnet = false;     // the address handed out lies outside the receiving subnet
    bool fixedAddress = false;  // the address is a static entry's
    // No reply yet: the request waits for the ARP test of its address and is to be handed to
    // the processor again once the test has its answer (or its time-out).
    bool parked = false;
};

class RequestProcessor {
public:
    virtual ~RequestProcessor() = default;
    virtual ReplyPlan process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                              const Arrival& arrival) = 0;
};

}  // namespace tolmark
