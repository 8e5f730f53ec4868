// The watch interrupts a thread blocked in recv with a signal whose handler does nothing and is
// installed without SA_RESTART, so the receive returns EINTR. A signal that arrives just before
// the thread enters the receive is spent in the handler; the watch sends it again for as long as
// that receive stays armed, after kRetryMs and then twice as long each time. The signal is a
// standard one (SIGURG, ignored by default and raised by nothing else here): sent again while
// still pending it is not queued a second time, so a thread that is slow to run does not find a
// pile of them.

#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <system_error>

#include "platform/receive_watch.h"

namespace tolmark::platform {
namespace {

constexpr std::int64_t kRetryMs = 5;
constexpr std::int64_t kMaxRetryMs = 1000;
// Without an armed receive the watch looks again this often (it is also poked).
constexpr std::int64_t kIdleMs = 1000;
// With no waiter at all, until one comes.
constexpr std::int64_t kAloneMs = 3600 * 1000;
// Without a watch thread, how long a receive waits before it looks at a stop.
constexpr std::int64_t kSliceMs = 100;

int interruptSignal() { return SIGURG; }

void onInterrupt(int) {}

int usableCpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return CPU_COUNT(&set);
}

std::int64_t nowMicros() {
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void installHandler() {
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action {};
        action.sa_handler = onInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the receive returns EINTR
        ::sigaction(interruptSignal(), &action, nullptr);
    });
}

}  // namespace

ReceiveWatch::ReceiveWatch() : spinners_(std::max(1, usableCpus() / 2)) { installHandler(); }

ReceiveWatch::~ReceiveWatch() {
    quit_.store(true);
    poke_.signal();
    if (thread_.joinable()) thread_.join();
}

std::int64_t ReceiveWatch::nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ReceiveWatch::interruptAll() {
    interrupting_.store(true);
    poke_.signal();
}

void ReceiveWatch::resume() { interrupting_.store(false); }

std::int64_t ReceiveWatch::scanLocked(std::int64_t now) {
    const bool all = interrupting_.load();
    std::int64_t next = now + kIdleMs;
    for (Waiter* waiter : waiters_) {
        const std::int64_t deadline = waiter->armed_.load();
        if (deadline == 0) continue;
        if (all || deadline <= now) {
            // The first signal for this receive at once, then again with growing pauses.
            if (waiter->signalledFor_ != deadline) {
                waiter->signalledFor_ = deadline;
                waiter->retryMs_ = 0;
            }
            if (waiter->retryMs_ == 0 || now - waiter->signalledAt_ >= waiter->retryMs_) {
                ::pthread_kill(static_cast<pthread_t>(waiter->thread_), interruptSignal());
                waiter->signalledAt_ = now;
                waiter->retryMs_ = waiter->retryMs_ == 0 ? kRetryMs : std::min(2 * waiter->retryMs_, kMaxRetryMs);
            }
            next = std::min(next, waiter->signalledAt_ + waiter->retryMs_);
        } else {
            next = std::min(next, deadline);
        }
    }
    return next;
}

void ReceiveWatch::run() {
    while (!quit_.load()) {
        std::int64_t next;
        {
            std::lock_guard<std::mutex> guard(lock_);
            const std::int64_t now = nowMs();
            // Nobody to watch: sleep until a waiter comes (it pokes).
            next = waiters_.empty() ? now + kAloneMs : scanLocked(now);
            plannedWake_.store(next);
            // A receive armed while the plan was made saw the old plan: look once more, now
            // that the new one is published (it pokes the watch when it needs an earlier look).
            for (Waiter* waiter : waiters_) {
                const std::int64_t deadline = waiter->armed_.load();
                if (deadline != 0 && deadline < next) next = std::max(now, deadline);
            }
        }
        const std::int64_t left = std::max<std::int64_t>(0, next - nowMs());
        if (left > 0 && poke_.sleepFor(std::chrono::milliseconds(left))) poke_.reset();
    }
}

// Without the watch thread (it could not be started) a receive waits in slices, so that its
// deadline and a stop still end it.
long ReceiveWatch::Waiter::receiveUnwatched(int fd, std::uint8_t* buffer, std::size_t capacity,
                                            std::int64_t deadlineMs) {
    for (;;) {
        if (watch_.interrupting_.load()) {
            errno = ECANCELED;
            return -1;
        }
        const std::int64_t left = deadlineMs - nowMs();
        pollfd p{fd, POLLIN, 0};
        const int ready = left > 0 ? ::poll(&p, 1, static_cast<int>(std::min<std::int64_t>(left, kSliceMs))) : 0;
        if (ready < 0 && errno != EINTR) return -1;
        const ssize_t n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) return n;
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (left <= 0) {
            errno = EAGAIN;
            return -1;
        }
    }
}

ReceiveWatch::Waiter::Waiter(ReceiveWatch& watch) : watch_(watch), thread_(::pthread_self()) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, interruptSignal());
    ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    std::lock_guard<std::mutex> guard(watch_.lock_);
    entry_ = watch_.waiters_.insert(watch_.waiters_.end(), this);
    watch_.waiterCount_.fetch_add(1, std::memory_order_relaxed);
    if (!watch_.thread_.joinable()) {
        try {
            watch_.thread_ = std::thread([&watch] { watch.run(); });
            watch_.watching_.store(true);
        } catch (const std::system_error&) {
            // Receives then wait in slices of their own.
        }
    }
    watch_.poke_.signal();
}

ReceiveWatch::Waiter::~Waiter() {
    std::lock_guard<std::mutex> guard(watch_.lock_);
    watch_.waiters_.erase(entry_);
    watch_.waiterCount_.fetch_sub(1, std::memory_order_relaxed);
}

long ReceiveWatch::Waiter::spin(int fd, std::uint8_t* buffer, std::size_t capacity) {
    errno = EAGAIN;
    if (skip_ > 0) {
        --skip_;
        return -1;
    }
    if (watch_.waiterCount_.load(std::memory_order_relaxed) > watch_.spinners_) return -1;
    const std::int64_t until = nowMicros() + kSpinMicros;
    do {
        const ssize_t n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
        if (n >= 0) {
            misses_ = 0;
            return n;
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        // Any other thread ready to run on this CPU goes first: the asking only uses time that
        // would otherwise be idle.
        ::sched_yield();
    } while (nowMicros() < until && !watch_.interrupting_.load(std::memory_order_relaxed));
    if (++misses_ >= kSpinMisses) {
        misses_ = 0;
        skip_ = kSpinSkip;
    }
    errno = EAGAIN;
    return -1;
}

long ReceiveWatch::Waiter::receive(int fd, std::uint8_t* buffer, std::size_t capacity, std::int64_t deadlineMs) {
    if (!watch_.watching_.load()) return receiveUnwatched(fd, buffer, capacity, deadlineMs);
    if (!watch_.interrupting_.load()) {
        const long n = spin(fd, buffer, capacity);
        if (n >= 0 || errno != EAGAIN) return n;
    }
    for (;;) {
        if (watch_.interrupting_.load()) {
            errno = ECANCELED;
            return -1;
        }
        if (nowMs() >= deadlineMs) {
            // Time is up, but a datagram that is there already is still taken.
            const ssize_t n = ::recv(fd, buffer, capacity, MSG_DONTWAIT);
            if (n >= 0) return n;
            errno = EAGAIN;
            return -1;
        }
        armed_.store(deadlineMs);
        if (deadlineMs < watch_.plannedWake_.load()) watch_.poke_.signal();
        // Seen after arming, so that an interruptAll that came meanwhile is noticed here or by
        // the watch's next look.
        if (watch_.interrupting_.load()) {
            armed_.store(0);
            errno = ECANCELED;
            return -1;
        }
        const ssize_t n = ::recv(fd, buffer, capacity, 0);
        const int error = errno;
        armed_.store(0);
        if (n >= 0) return n;
        if (error != EINTR) {
            errno = error;
            return -1;
        }
    }
}

}  // namespace tolmark::platform
