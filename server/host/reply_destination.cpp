#include "server/host/reply_destination.h"

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

    if (plan.broadcast) return broadcast;
    if (plan.sourceAddress != 0 && yiaddr == 0) return {ReplyRoute::Source, plan.sourceAddress, clientPort};
    // A client that renews or rebinds has its address and listens on it, often behind a router
    // that relays nothing: its answer goes to that address, where a broadcast would not reach it.
    if (plan.ciaddr != 0) return {ReplyRoute::Unicast, plan.ciaddr, clientPort};
    if (routing.unicast && yiaddr != 0) {
        if (plan.offSubnet) return {ReplyRoute::Unicast, yiaddr, clientPort};
        return {ReplyRoute::UnicastAfterArp, yiaddr, clientPort};
    }
    return broadcast;
}

}  // namespace tolmark
