#include "server/host/reply_destination.h"

#include "server/dhcp/dhcp_protocol.h"

namespace tolmark {

Ipv4 broadcastAddressFor(const InterfaceEntry& entry, bool directed) {
    return directed ? entry.broadcast() : kBroadcastAll;
}

ReplyDestination chooseReplyDestination(const ReplyPlan& plan, const InterfaceEntry& entry,
                                        const ReplyRouting& routing) {
    if (plan.relayAddress != 0) return {ReplyRoute::Relay, plan.relayAddress, routing.serverPort};

    const Ipv4 yiaddr = plan.yiaddr;
    const std::uint16_t clientPort = static_cast<std::uint16_t>(routing.serverPort + 1);
    const ReplyDestination broadcast{ReplyRoute::Broadcast, broadcastAddressFor(entry, routing.netBc), clientPort};

    // A client that renews or rebinds has its address and listens on it, often behind a router
    // that relays nothing: its answer goes to that address, where a broadcast would not reach it,
    // also when the client set the broadcast flag. A NAK is broadcast: the client is told its
    // address is wrong, and may not have it configured.
    const bool hasAddress = plan.ciaddr != 0 && plan.messageType != dhcp::kNak;
    if (plan.broadcast && !hasAddress) return broadcast;
    if (plan.sourceAddress != 0 && yiaddr == 0) return {ReplyRoute::Source, plan.sourceAddress, clientPort};
    if (plan.ciaddr != 0) return {ReplyRoute::Unicast, plan.ciaddr, clientPort};
    if (routing.unicast && yiaddr != 0) {
        if (plan.offSubnet) return {ReplyRoute::Unicast, yiaddr, clientPort};
        return {ReplyRoute::UnicastAfterArp, yiaddr, clientPort};
    }
    return broadcast;
}

}  // namespace tolmark
