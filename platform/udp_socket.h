#pragma once
// IPv4 UDP sockets. Addresses are in network order (see common/ipv4.h), ports in host order.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "base/file_descriptor.h"
#include "base/ipv4.h"

namespace tolmark::platform {

// Where a datagram came from and where it arrived.
struct DatagramInfo {
    Ipv4 source = 0;
    std::uint16_t sourcePort = 0;
    Ipv4 destination = 0;    // the header's destination address (a broadcast stays a broadcast)
    int ifIndex = 0;         // interface the datagram arrived on; 0 when unknown
    std::size_t length = 0;  // the datagram's whole length: more than was read when it was cut
};

// One datagram of two parts, a header and data, for sending several at once.
struct DatagramParts {
    const std::uint8_t* head = nullptr;
    std::size_t headLength = 0;
    const std::uint8_t* data = nullptr;
    std::size_t dataLength = 0;
};

class UdpSocket {
public:
    UdpSocket() = default;
    explicit UdpSocket(FileDescriptor fd) : fd_(std::move(fd)) {}
    bool valid() const { return fd_.valid(); }
    int fd() const { return fd_.get(); }
    void close() { fd_.reset(); }
    std::uint16_t localPort() const;

    // Asks for the arrival interface and destination of each datagram.
    bool enablePacketInfo();
    bool setNonBlocking();

    // One datagram of at most capacity bytes; -1 on error (including would-block).
    long receive(std::uint8_t* buffer, std::size_t capacity, DatagramInfo& info, bool dontWait = false);
    // Sends to destination:port. When fromAddress or ifIndex is not 0 the datagram leaves with
    // that source address and through that interface.
    bool send(const std::uint8_t* data, std::size_t length, Ipv4 destination, std::uint16_t port, Ipv4 fromAddress = 0,
              int ifIndex = 0);
    // Plain send/receive for connected sockets.
    bool connect(Ipv4 destination, std::uint16_t port);
    // One datagram of two parts (a header and data) to the connected peer, or to
    // destination:port when destination is not 0.
    bool sendParts(const std::uint8_t* head, std::size_t headLength, const std::uint8_t* data, std::size_t dataLength,
                   Ipv4 destination = 0, std::uint16_t port = 0);
    // Several datagrams in order with as few calls as the system allows, to the connected peer
    // or to destination:port: datagrams of one size (the last may be shorter) go as one send
    // that the system cuts up (UDP segmentation offload), others in one sendmmsg. Returns how
    // many went out: all, or those before the first that failed (errno kept).
    std::size_t sendBatch(std::span<const DatagramParts> datagrams, Ipv4 destination = 0, std::uint16_t port = 0);
    // One datagram from the connected peer; -1 on error (errno kept), including would-block.
    long receiveConnected(std::uint8_t* buffer, std::size_t capacity, bool dontWait);
    bool setMulticastTtl(int ttl);
    // Lets sockets made by openGroupUdpSocket in this process bind this socket's port as well.
    // SO_REUSEPORT: the system admits only sockets of the same effective user to the port, so
    // no other local user can bind it and take the peers' datagrams. Set after the bind: a
    // socket of ours given a port by the system with SO_REUSEPORT already set could land on a
    // port shared so. Each socket on the port, connected to its own peer, receives only what
    // its peer sends (a connected socket goes before the port's group); all send from the port.
    bool sharePort();

private:
    // Sends datagrams[0..count) as one segmented send; false with errno when it failed.
    bool sendSegmented(std::span<const DatagramParts> datagrams, std::size_t segment, Ipv4 destination,
                       std::uint16_t port);
    std::size_t sendEach(std::span<const DatagramParts> datagrams, Ipv4 destination, std::uint16_t port);

    FileDescriptor fd_;
    bool segmentation_ = true;  // cleared when the system refuses segmented sends
};

// A socket bound to address:port (address 0 = any) with broadcast enabled; invalid on failure.
UdpSocket openBoundUdpSocket(Ipv4 address, std::uint16_t port);
// A socket bound to address:port that a socket whose port is shared (sharePort) holds already;
// invalid when the port is not shared or is held by another user.
UdpSocket openGroupUdpSocket(Ipv4 address, std::uint16_t port);
// A socket bound to address:port with SO_REUSEADDR, beside another program's socket that set it
// too (a DHCP client of the host on its client port). Any local user can share such a port.
UdpSocket openSharedUdpSocket(Ipv4 address, std::uint16_t port);
// Tries the ports first..last in order, stepping on "address in use"; any other error or
// running past last gives an invalid socket. The bound port is stored in boundPort.
UdpSocket openBoundUdpSocketInRange(Ipv4 address, std::uint16_t first, std::uint16_t last,
                                    std::uint16_t* boundPort = nullptr);
// The local addresses of the host's UDP sockets bound to port (0.0.0.0 for "any"), each once,
// as the network namespace shows them: who holds a port that cannot be had. Empty when none or
// when the table cannot be read.
std::vector<Ipv4> udpPortHolders(std::uint16_t port);

}  // namespace tolmark::platform
