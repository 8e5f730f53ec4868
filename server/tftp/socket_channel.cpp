#include "server/tftp/socket_channel.h"

#include <algorithm>
#include <array>
#include <cerrno>

namespace tolmark::tftp {

bool SocketChannel::send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) {
    if (socket_.sendParts(header.data(), header.size(), data.data(), data.size())) return true;
    error_ = errno;
    return false;
}

bool SocketChannel::sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) {
    if (socket_.sendParts(header.data(), header.size(), data.data(), data.size(), group_, groupPort_)) return true;
    error_ = errno;
    return false;
}

std::size_t SocketChannel::sendBatch(std::span<const Outgoing> datagrams, bool toGroup) {
    // One block at a time needs no batch.
    if (datagrams.size() == 1) {
        const Outgoing& d = datagrams.front();
        return (toGroup ? sendToGroup(d.header, d.data) : send(d.header, d.data)) ? 1 : 0;
    }
    constexpr std::size_t kParts = 64;
    std::array<platform::DatagramParts, kParts> parts;
    std::size_t done = 0;
    while (done < datagrams.size()) {
        const std::size_t count = std::min(kParts, datagrams.size() - done);
        for (std::size_t i = 0; i < count; ++i) {
            const Outgoing& d = datagrams[done + i];
            parts[i] = {d.header.data(), d.header.size(), d.data.data(), d.data.size()};
        }
        const std::span<const platform::DatagramParts> batch(parts.data(), count);
        const std::size_t sent = toGroup ? socket_.sendBatch(batch, group_, groupPort_) : socket_.sendBatch(batch);
        done += sent;
        if (sent < count) {
            error_ = errno;
            break;
        }
    }
    return done;
}

Channel::Wait SocketChannel::receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) {
    const long n = waiter_.receive(socket_.fd(), buffer.data(), buffer.size(), nowMs() + timeoutMs);
    if (n >= 0) {
        length = static_cast<std::size_t>(n);
        return Wait::Packet;
    }
    if (errno == EAGAIN) return Wait::Timeout;
    if (errno == ECANCELED) return Wait::Stopped;
    error_ = errno;
    return Wait::Error;
}

std::int64_t SocketChannel::nowMs() const { return platform::ReceiveWatch::nowMs(); }

}  // namespace tolmark::tftp
