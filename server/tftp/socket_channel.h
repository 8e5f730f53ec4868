#pragma once
// The engine's channel over a transfer's data socket, connected to its client. A wait is a
// blocking receive that the server's receive watch ends at its deadline, or at once when the
// server stops; a window's blocks leave in one call. Made on the transfer's thread.

#include "platform/receive_watch.h"
#include "platform/udp_socket.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {

class SocketChannel final : public Channel {
public:
    SocketChannel(platform::UdpSocket& socket, platform::ReceiveWatch& watch, Ipv4 group, std::uint16_t groupPort)
        : socket_(socket), waiter_(watch), group_(group), groupPort_(groupPort) {}

    bool send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override;
    bool sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override;
    std::size_t sendBatch(std::span<const Outgoing> datagrams, bool toGroup) override;
    Wait receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) override;
    std::int64_t nowMs() const override;
    int lastError() const override { return error_; }

private:
    platform::UdpSocket& socket_;
    platform::ReceiveWatch::Waiter waiter_;
    Ipv4 group_;
    std::uint16_t groupPort_;
    int error_ = 0;
};

}  // namespace tolmark::tftp
