#include "platform/link_sender.h"

#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "base/byte_io.h"
#include "base/file_descriptor.h"

namespace tolmark::platform {
namespace {

constexpr std::size_t kEthernetPayloadMax = 1500;
constexpr std::uint8_t kTimeToLive = 64;
constexpr std::uint8_t kProtocolUdp = 17;

// The one's complement sum of 16-bit words, as both checksums use it; an odd last byte is the
// high half of a word.
std::uint32_t addWords(std::uint32_t sum, std::span<const std::uint8_t> bytes) {
    std::size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) sum += static_cast<std::uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (i < bytes.size()) sum += static_cast<std::uint32_t>(bytes[i] << 8);
    return sum;
}

std::uint16_t finish(std::uint32_t sum) {
    while ((sum >> 16) != 0) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

class PacketLinkSender final : public LinkSender {
public:
    // Protocol 0: the socket sends only and receives nothing.
    PacketLinkSender() : socket_(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}

    bool ready() const override { return socket_.valid(); }

    bool send(int ifIndex, const std::uint8_t* hardware6, Ipv4 source, std::uint16_t sourcePort, Ipv4 destination,
              std::uint16_t destinationPort, std::span<const std::uint8_t> payload) override {
        if (!socket_ || payload.size() > kEthernetPayloadMax - kIpv4UdpHeaderSize) return false;
        std::array<std::uint8_t, kIpv4UdpHeaderSize> header =
            ipv4UdpHeader(source, sourcePort, destination, destinationPort, payload);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_IP);
        to.sll_ifindex = ifIndex;
        to.sll_halen = 6;
        std::memcpy(to.sll_addr, hardware6, 6);
        iovec parts[2] = {{header.data(), header.size()}, {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
        msghdr message{};
        message.msg_name = &to;
        message.msg_namelen = sizeof to;
        message.msg_iov = parts;
        message.msg_iovlen = 2;
        ssize_t sent;
        do {
            sent = ::sendmsg(socket_.get(), &message, 0);
        } while (sent < 0 && errno == EINTR);
        return sent == static_cast<ssize_t>(header.size() + payload.size());
    }

private:
    FileDescriptor socket_;
};

}  // namespace

std::array<std::uint8_t, kIpv4UdpHeaderSize> ipv4UdpHeader(Ipv4 source, std::uint16_t sourcePort, Ipv4 destination,
                                                           std::uint16_t destinationPort,
                                                           std::span<const std::uint8_t> payload) {
    std::array<std::uint8_t, kIpv4UdpHeaderSize> h{};
    const auto udpLength = static_cast<std::uint16_t>(8 + payload.size());
    ByteWriter out(h);
    out.u8(0, 0x45);  // version 4, five words of header
    out.u16be(2, static_cast<std::uint16_t>(20 + udpLength));
    out.u16be(6, 0x4000);  // don't fragment
    out.u8(8, kTimeToLive);
    out.u8(9, kProtocolUdp);
    out.ipv4(12, source);
    out.ipv4(16, destination);
    out.u16be(10, finish(addWords(0, std::span<const std::uint8_t>(h).first(20))));

    out.u16be(20, sourcePort);
    out.u16be(22, destinationPort);
    out.u16be(24, udpLength);
    // Over the pseudo header (addresses, protocol, length), the UDP header and the payload.
    std::uint32_t sum = addWords(0, std::span<const std::uint8_t>(h).subspan(12, 8));
    sum += kProtocolUdp + udpLength;
    sum = addWords(sum, std::span<const std::uint8_t>(h).subspan(20, 8));
    std::uint16_t udpChecksum = finish(addWords(sum, payload));
    out.u16be(26, udpChecksum == 0 ? 0xFFFF : udpChecksum);  // 0 would mean "no checksum"
    return h;
}

std::unique_ptr<LinkSender> makeLinkSender() { return std::make_unique<PacketLinkSender>(); }

}  // namespace tolmark::platform
