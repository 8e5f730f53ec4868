#pragma once
// The engine's channel over a transfer's data socket, connected to its client. Every wait also
// waits on the server's wake-up, so a stop ends it at once.

#include <chrono>

#include "platform/udp_socket.h"
#include "platform/wake_event.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {

class SocketChannel final : public Channel {
public:
    SocketChannel(platform::UdpSocket& socket, const platform::WakeEvent& wake, Ipv4 group, std::uint16_t groupPort)
        : socket_(socket), wake_(wake), group_(group), groupPort_(groupPort) {}

    bool send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override;
    bool sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override;
    Wait receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) override;
    std::int64_t nowMs() const override;
    int lastError() const override { return error_; }

private:
    platform::UdpSocket& socket_;
    const platform::WakeEvent& wake_;
    Ipv4 group_;
    std::uint16_t groupPort_;
    int error_ = 0;
};

}  // namespace tolmark::tftp
