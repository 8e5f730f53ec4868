#include "server/host/reply_destination.h"

#include "base/byte_io.h"
#include "server/dhcp/dhcp_protocol.h"

namespace tolmark {

Ipv4 broadcastAddressFor(const InterfaceEntry& entry, bool directed) {
    return directed ? entry.broadcast() : kBroadcastAll;
}

ReplyDestination chooseReplyDestination(std::span<const std::uint8_t> reply, const ReplyPlan& plan,
                                        const InterfaceEntry& entry, const ReplyRouting& routing) {
    if (plan.relayAddress != 0) return {ReplyRoute::Relay, plan.relayAddress, routing.serverPort};

    ByteReader header(reply);
    const std::uint8_t flags = header.u8(dhcp::kFlags);
    const Ipv4 yiaddr = header.ipv4(dhcp::kYiaddr);
    const std::uint16_t clientPort = static_cast<std::uint16_t>(routing.serverPort + 1);
    const ReplyDestination broadcast{ReplyRoute::Broadcast, broadcastAddressFor(entry, routing.netBc), clientPort};

    if (flags & dhcp::kBroadcastFlag) return broadcast;
    if (plan.sourceAddress != 0 && yiaddr == 0) return {ReplyRoute::Source, plan.sourceAddress, clientPort};
    if (routing.unicast && yiaddr != 0) {
        if (plan.offSubnet) return {ReplyRoute::Unicast, yiaddr, clientPort};
        return {ReplyRoute::UnicastAfterArp, yiaddr, clientPort};
    }
    return broadcast;
}

}  // namespace tolmark
