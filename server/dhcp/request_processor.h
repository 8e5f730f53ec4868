#pragma once
// The request processor the receive loop hands every accepted datagram to, under the engine
// lock. It builds the reply in the reply buffer and returns a plan: the reply's length and every
// fact the receive loop routes it by, so that the loop never reads the reply back.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "server/dhcp/request_summary.h"
#include "server/leases/shared_leases.h"

namespace tolmark {

// Requests a processor keeps waiting at most; a ticket names its place in its low bits.
inline constexpr unsigned kParkedPlaceBits = 10;
inline constexpr std::size_t kParkedRequestPlaces = std::size_t{1} << kParkedPlaceBits;
inline constexpr std::uint64_t kParkedPlaceMask = kParkedRequestPlaces - 1;

// Where a datagram arrived: the served address it belongs to, and its sender.
struct Arrival {
    Ipv4 interfaceAddress = 0;
    Ipv4 sourceAddress = 0;
};

struct ReplyPlan {
    std::size_t length = 0;                  // 0: no reply
    int requestType = -1;                    // what process() was handed: option 53, 0 BOOTP, -1 unread
    int messageType = 0;                     // 2 OFFER, 5 ACK, 6 NAK; 0 for BOOTP or no DHCP reply
    Ipv4 relayAddress = 0;                   // the relay agent to answer, 0 when the request came directly
    Ipv4 sourceAddress = 0;                  // the requester's source address
    Ipv4 ciaddr = 0;                         // the address the requester says it has (a renewal)
    bool offSubnet = false;                  // the address handed out lies outside the receiving subnet
    bool fixedAddress = false;               // the address is a static entry's
    bool broadcast = false;                  // the reply's broadcast flag is set
    Ipv4 yiaddr = 0;                         // the address the reply gives
    std::array<std::uint8_t, 6> hardware{};  // the first six bytes of chaddr
    // No reply yet: the request waits for the ARP test of its address; resume(ticket) takes it
    // up again once the test has its answer (or its time-out).
    bool parked = false;
    std::uint64_t ticket = 0;
};

class RequestProcessor {
public:
    virtual ~RequestProcessor() = default;
    virtual ReplyPlan process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                              const Arrival& arrival) = 0;
    // A parked request taken up again: answered, parked again (same ticket) or, when it waited
    // too long or was given up for a newer one, nothing.
    virtual ReplyPlan resume(std::uint64_t ticket, std::span<std::uint8_t> reply) = 0;
    // The lease database's answer to the claim a parked request waits for (leases shared with
    // other servers only); resume(ticket) then takes the request up.
    virtual void claimAnswered(std::uint64_t ticket, ClaimOutcome outcome) {
        (void)ticket;
        (void)outcome;
    }
};

}  // namespace tolmark
