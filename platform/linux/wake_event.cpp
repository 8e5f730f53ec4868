#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/wake_event.h"

namespace tolmark::platform {

WakeEvent::WakeEvent() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

void WakeEvent::signal() {
    std::uint64_t one = 1;
    // A full counter means it is signalled already; nothing else can fail here.
    [[maybe_unused]] ssize_t n = ::write(fd_.get(), &one, sizeof one);
}

void WakeEvent::reset() {
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(fd_.get(), &value, sizeof value);
}

bool WakeEvent::signalled() const {
    pollfd p{fd_.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

bool WakeEvent::sleepFor(std::chrono::milliseconds duration) const {
    pollfd p{fd_.get(), POLLIN, 0};
    auto deadline = std::chrono::steady_clock::now() + duration;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() < 0) left = std::chrono::milliseconds(0);
        int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n > 0) return true;
        if (n == 0) return false;
        if (errno != EINTR) return false;
    }
}

WaitResult waitReadable(std::span<const int> fds, const WakeEvent* wake, int timeoutMs, std::span<bool> readable) {
    // At most the 32 interface sockets plus a few others: a small fixed array, no allocation.
    constexpr std::size_t kMaxFds = 96;
    pollfd polls[kMaxFds + 1];
    std::size_t count = fds.size() < kMaxFds ? fds.size() : kMaxFds;
    for (std::size_t i = 0; i < count; ++i) polls[i] = pollfd{fds[i], POLLIN, 0};
    std::size_t total = count;
    if (wake != nullptr) polls[total++] = pollfd{wake->fd(), POLLIN, 0};
    for (bool& r : readable) r = false;

    int n;
    do {
        n = ::poll(polls, total, timeoutMs);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return WaitResult::Error;
    if (n == 0) return WaitResult::Timeout;
    if (wake != nullptr && (polls[count].revents & POLLIN)) return WaitResult::Woken;
    bool any = false;
    for (std::size_t i = 0; i < count && i < readable.size(); ++i) {
        if (polls[i].revents & (POLLIN | POLLERR | POLLHUP)) {
            readable[i] = true;
            any = true;
        }
        if (polls[i].revents & POLLNVAL) return WaitResult::Error;
    }
    return any ? WaitResult::Readable : WaitResult::Timeout;
}

}  // namespace tolmark::platform
