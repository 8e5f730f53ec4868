#include "server/host/housekeeping.h"

namespace tolmark {

Housekeeping::Housekeeping(HousekeepingTasks tasks, ServerFlags& flags, const platform::WakeEvent& stop,
                           std::chrono::milliseconds period)
    : tasks_(std::move(tasks)), flags_(flags), stop_(stop), period_(period) {}

Housekeeping::~Housekeeping() { join(); }

void Housekeeping::start() {
    periodicThread_ = std::thread([this] { periodic(); });
    dnsThread_ = std::thread([this] { sendDns(); });
}

void Housekeeping::join() {
    if (periodicThread_.joinable()) periodicThread_.join();
    if (dnsThread_.joinable()) dnsThread_.join();
}

void Housekeeping::periodic() {
    // Measured on the monotonic clock, so that setting the wall clock neither stops nor floods
    // the periodic work; a run that took long shortens the next wait.
    auto next = std::chrono::steady_clock::now() + period_;
    while (!flags_.serverStopping.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(next - std::chrono::steady_clock::now());
        if (left.count() > 0 && stop_.sleepFor(left)) return;
        if (flags_.serverStopping.load()) return;
        if (tasks_.saveChangedLists) tasks_.saveChangedLists();
        if (tasks_.queueExpiredDnsRemovals) tasks_.queueExpiredDnsRemovals();
        if (tasks_.periodicProbe) tasks_.periodicProbe();
        next += period_;
        if (next < std::chrono::steady_clock::now()) next = std::chrono::steady_clock::now() + period_;
    }
}

void Housekeeping::sendDns() {
    while (!flags_.serverStopping.load()) {
        const int fds[1] = {event_.fd()};
        bool readable[1];
        const platform::WaitResult r = platform::waitReadable(fds, &stop_, -1, readable);
        if (flags_.serverStopping.load() || r == platform::WaitResult::Woken) break;
        if (r == platform::WaitResult::Error && stop_.sleepFor(std::chrono::seconds(1))) break;
        if (r != platform::WaitResult::Readable) continue;
        event_.reset();
        if (tasks_.sendQueuedDnsUpdates) tasks_.sendQueuedDnsUpdates();
    }
    // What was queued up to the stop still goes: nothing sends a removal later. The task itself
    // bounds how long it takes.
    if (tasks_.sendQueuedDnsUpdates) tasks_.sendQueuedDnsUpdates();
}

}  // namespace tolmark
