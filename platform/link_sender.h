#pragma once
// UDP datagrams sent straight to a hardware address on an interface, past the host's ARP cache:
// the way to answer a client that has no address yet at the address it is being given.

#include <array>
#include <cstdint>
#include <memory>
#include <span>

#include "base/ipv4.h"

namespace tolmark::platform {

inline constexpr std::size_t kIpv4UdpHeaderSize = 28;

// The IPv4 header (no options, TTL 64, don't fragment) and the UDP header of a datagram carrying
// payload, both checksums filled in. Ports in host order, addresses in network order.
std::array<std::uint8_t, kIpv4UdpHeaderSize> ipv4UdpHeader(Ipv4 source, std::uint16_t sourcePort, Ipv4 destination,
                                                           std::uint16_t destinationPort,
                                                           std::span<const std::uint8_t> payload);

class LinkSender {
public:
    virtual ~LinkSender() = default;
    // False when nothing can be sent this way (no packet socket).
    virtual bool ready() const = 0;
    // One datagram from source:sourcePort to destination:destinationPort, in one frame to the
    // hardware address through the interface. False when it was not sent, or the payload does
    // not fit one frame.
    virtual bool send(int ifIndex, const std::uint8_t* hardware6, Ipv4 source, std::uint16_t sourcePort,
                      Ipv4 destination, std::uint16_t destinationPort, std::span<const std::uint8_t> payload) = 0;
};
// The packet socket is opened here, once, and needs CAP_NET_RAW; without it the sender is not
// ready.
std::unique_ptr<LinkSender> makeLinkSender();

}  // namespace tolmark::platform
