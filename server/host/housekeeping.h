#pragma once
// The housekeeping threads. The periodic one saves the client lists that changed, queues the DNS
// removals of leases that expired, and runs the backup-server probe every 30 seconds; the DNS one sends queued name registrations as soon as
// they are queued, and once more at the stop, what is queued by then. They are apart so that no wait for a DNS server (2 seconds for every record
// of a full queue when the server is silent) can hold off the lease save: a crash then loses no
// more than one period of leases.

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
    std::function<void()> queueExpiredDnsRemovals = {};
};

class Housekeeping {
public:
    // period: the time between two periodic runs.
    Housekeeping(HousekeepingTasks tasks, ServerFlags& flags, const platform::WakeEvent& stop,
                 std::chrono::milliseconds period = std::chrono::seconds(30));
    ~Housekeeping();
    Housekeeping(const Housekeeping&) = delete;
    Housekeeping& operator=(const Housekeeping&) = delete;

    void start();
    // Wakes the DNS thread to send queued updates at once.
    void signal() { event_.signal(); }
    // Waits for both threads to end; the stop event must be signalled first.
    void join();

private:
    void periodic();
    void sendDns();

    HousekeepingTasks tasks_;
    ServerFlags& flags_;
    const platform::WakeEvent& stop_;
    std::chrono::milliseconds period_;
    platform::WakeEvent event_;
    std::thread periodicThread_;
    std::thread dnsThread_;
};

}  // namespace tolmark
