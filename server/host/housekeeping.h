#pragma once
// The housekeeping thread: every 30 seconds (or at once when DNS updates are queued) it sends
// the queued DNS updates, and at most once a minute it saves the client lists that changed and
// runs the periodic backup-server probe.

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "platform/wake_event.h"
#include "server/host/server_flags.h"

namespace tolmark {

struct HousekeepingTasks {
    std::function<void()> sendQueuedDnsUpdates;
    std::function<void()> saveChangedLists;
    std::function<void()> periodicProbe;
};

class Housekeeping {
public:
    // period: the 30-second wait; the periodic work runs at twice that at the most.
    Housekeeping(HousekeepingTasks tasks, ServerFlags& flags, const platform::WakeEvent& stop,
                 std::chrono::milliseconds period = std::chrono::seconds(30));
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

    void start();
    // Wakes the thread to send queued DNS updates at once.
    void signal() { event_.signal(); }
    // Waits for the thread to end; the stop event must be signalled first.
    void join();

private:
    void body();

    HousekeepingTasks tasks_;
    ServerFlags& flags_;
    const platform::WakeEvent& stop_;
    std::chrono::milliseconds period_;
    platform::WakeEvent event_;
    std::thread thread_;
};

}  // namespace tolmark
