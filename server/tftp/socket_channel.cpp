#include "server/tftp/socket_channel.h"

#include <algorithm>
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

Channel::Wait SocketChannel::receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) {
    const std::int64_t deadline = nowMs() + timeoutMs;
    const int fds[1] = {socket_.fd()};
    for (;;) {
        bool readable[1] = {false};
        const auto left = static_cast<int>(std::max<std::int64_t>(0, deadline - nowMs()));
        switch (platform::waitReadable(fds, &wake_, left, readable)) {
            case platform::WaitResult::Woken:
                return Wait::Stopped;
            case platform::WaitResult::Timeout:
                return Wait::Timeout;
            case platform::WaitResult::Error:
                error_ = errno;
                return Wait::Error;
            case platform::WaitResult::Readable:
                break;
        }
        const long n = socket_.receiveConnected(buffer.data(), buffer.size(), true);
        // Readable without a datagram after all: wait again for what is left.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) continue;
        if (n < 0) {
            error_ = errno;
            return Wait::Error;
        }
        length = static_cast<std::size_t>(n);
        return Wait::Packet;
    }
}

std::int64_t SocketChannel::nowMs() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace tolmark::tftp
