#pragma once
// Where a reply goes: to the relay agent, to a broadcast address of the receiving entry, to the
// requester's source address, to the address a renewing client has, or to the address handed
// out (after a temporary ARP entry when the client is on the receiving entry's subnet).

#include <cstdint>
#include <span>

#include "base/ipv4.h"
#include "config/interface_table.h"
#include "server/dhcp/request_processor.h"

namespace tolmark {

enum class ReplyRoute { Relay, Broadcast, Source, Unicast, UnicastAfterArp };

struct ReplyDestination {
    ReplyRoute route = ReplyRoute::Broadcast;
    Ipv4 address = 0;
    std::uint16_t port = 0;
};

struct ReplyRouting {
    std::uint16_t serverPort = 67;
    bool netBc = false;
    bool unicast = false;
};

// 255.255.255.255, or the entry's subnet broadcast when directed.
Ipv4 broadcastAddressFor(const InterfaceEntry& entry, bool directed);

ReplyDestination chooseReplyDestination(const ReplyPlan& plan, const InterfaceEntry& entry,
                                        const ReplyRouting& routing);

}  // namespace tolmark
