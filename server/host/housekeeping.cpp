#include "server/host/housekeeping.h"

namespace tolmark {

Housekeeping::Housekeeping(HousekeepingTasks tasks, ServerFlags& flags, const platform::WakeEvent& stop,
                           std::chrono::milliseconds period)
    : tasks_(std::move(tasks)), flags_(flags), stop_(stop), period_(period) {}

Housekeeping::~Housekeeping() { join(); }

void Housekeeping::start() {
    thread_ = std::thread([this] { body(); });
}

void Housekeeping::join() {
    if (thread_.joinable()) thread_.join();
}

void Housekeeping::body() {
    if (flags_.serverStopping.load()) return;
    // The periodic work runs when a wait ends without an update to send, or after twice the
    // wait has passed while updates kept it busy (measured on the monotonic clock, so that
    // setting the wall clock neither stops nor floods it).
    auto lastPeriodic = std::chrono::steady_clock::now();
    for (;;) {
        const int fds[1] = {event_.fd()};
        bool readable[1];
        platform::WaitResult r = platform::waitReadable(fds, &stop_, static_cast<int>(period_.count()), readable);
        if (flags_.serverStopping.load() || r == platform::WaitResult::Woken) return;
        const bool signalled = r == platform::WaitResult::Readable;
        if (signalled) {
            event_.reset();
            if (tasks_.sendQueuedDnsUpdates) tasks_.sendQueuedDnsUpdates();
        }
        const auto now = std::chrono::steady_clock::now();
        if (!signalled || now - lastPeriodic > period_ * 2) {
            if (tasks_.saveChangedLists) tasks_.saveChangedLists();
            lastPeriodic = now;
            if (tasks_.periodicProbe) tasks_.periodicProbe();
        }
        if (flags_.serverStopping.load()) return;
    }
}

}  // namespace tolmark
