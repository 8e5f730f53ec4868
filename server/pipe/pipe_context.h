#pragma once
// What the control pipe reaches of the running server, in one part per group of requests:
// each group's handlers are handed their part and nothing else. The server owns everything
// here. Locks are taken in the order of docs/threads.md: the control pipe lock (held by the
// pipe server around every request), then the engine lock, then the settings holder's, the
// interface table's and the log's.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "common/log_sink.h"
#include "common/pipe_protocol.h"
#include "common/pipe_requests.h"
#include "common/server_stats.h"
#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/settings_holder.h"
#include "platform/clock.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/leases/engine_state.h"
#include "server/leases/shared_leases.h"
#include "server/metrics/server_metrics.h"

namespace tolmark {

// Live fields of the server status record that are not kept elsewhere.
struct StatusCounters {
    std::atomic<std::uint16_t> portInUse{0};
    std::atomic<std::int32_t> profileCount{0};
    std::atomic<std::int32_t> poolTotal{0};
    std::atomic<std::int32_t> staticCount{0};
    std::atomic<std::int32_t> staticUsed{0};
    std::atomic<std::int32_t> dynamicUsed{0};
    std::atomic<std::int32_t> ignoredUsed{0};
};

// Client records: find, add, change, remove, list.
struct ClientAccess {
    EngineState& engine;
    StatusCounters& counters;
    // Leases shared through a lease database: changes are written to it. nullptr: none.
    SharedLeases* shared = nullptr;
    // A running lease or a static entry removed by an administrator (or an entry changed) takes
    // its DNS names with it: the removal is queued here, the lease judged running by the clock.
    // Either nullptr: nothing is queued.
    dhcp::DnsUpdateQueue* dnsQueue = nullptr;
    const platform::Clock* clock = nullptr;
};

// Profiles: reload, purge, read, rename and the editor's checks.
struct ProfileAccess {
    EngineState& engine;
    ConfigStore& store;
    const SettingsHolder& settings;
    const InterfaceTable& interfaces;
    LogSink& log;
    StatusCounters& counters;
    // Starts the host-name lookup pass after profiles changed.
    std::function<void()> startNameLookup = {};
    SharedLeases* shared = nullptr;
    // Running leases a purge frees, or a reservation takes, lose their DNS names as a removal
    // does (ClientAccess). Either nullptr: nothing is queued.
    dhcp::DnsUpdateQueue* dnsQueue = nullptr;
    const platform::Clock* clock = nullptr;
};

// Settings blocks, single configuration keys and the status record.
// When each client list may be counted again for the status record. A count walks the whole
// list under the engine lock (milliseconds at hundreds of thousands of leases), so a peer asking
// for the status in a loop would hold up every DHCP request by that much each time. After a
// count that held the lock for d, the next waits 99 d (2 s at most): counting takes about a
// hundredth of the engine's time whoever asks, and a list of a few thousand entries, counted in
// microseconds, is counted at every request as before. Between counts the counters are kept
// near the truth by the pipe's own changes and the housekeeping pass.
class RecountGate {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLongestWait{2};

    bool due(std::size_t list, Clock::time_point now) const { return list >= next_.size() || now >= next_[list]; }
    void counted(std::size_t list, Clock::time_point start, Clock::time_point end) {
        if (list >= next_.size()) return;
        const auto held = std::chrono::duration_cast<Clock::duration>(end - start);
        next_[list] = end + std::min<Clock::duration>(held * 99, kLongestWait);
    }

private:
    std::array<Clock::time_point, 3> next_{};
};

struct SettingsAccess {
    SettingsHolder& settings;
    ConfigStore& store;
    InterfaceTable& interfaces;
    EngineState& engine;  // the lists are counted for the status record
    StatusCounters& counters;
    std::atomic<int>& serverStopping;
    std::atomic<int>& statusChanged;
    std::atomic<int>& reloadRequest;
    std::atomic<int>& paused;
    // The socket field of the status record for an interface entry.
    std::function<std::uint64_t(std::size_t)> socketImage = {};
    // Number of running TFTP transfers, or -1 while the TFTP server is stopped.
    std::function<std::int32_t()> tftpTransfers = {};
    // Restarts the TFTP server after its settings changed (stopFirst: the port changed).
    std::function<void(bool stopFirst)> restartTftp = {};
    // Starts the host-name lookup pass after settings changed.
    std::function<void()> startNameLookup = {};
    // The n-th record of the TFTP transfer list (running or recently ended) as its wire image;
    // unset, or nothing, while there is no such transfer.
    std::function<std::optional<std::array<std::uint8_t, kTransferRecordSize>>(std::int32_t)> transferRecord = {};
    // Where the leases are kept; unset: the client files.
    std::function<LeaseStoreReply()> leaseStore = {};
    // The server's counters, with the pools from this index on; unset: no counters.
    std::function<ServerStats(std::uint32_t firstPool)> stats = {};
    // Where a change that could not be saved in the configuration is reported; nullptr: nowhere.
    LogSink* log = nullptr;
    // How often each bit of StatusChanged (client data, receive loop ended) has been taken from
    // the word, so that every connection learns of each change: GetStatus tells a connection
    // the bits whose count moved since its own last GetStatus. Guarded by the control pipe lock.
    std::array<std::uint64_t, 2> statusChangeCounts{};
    // Guarded by the control pipe lock.
    RecountGate recounts{};
};

// The log files.
struct FileAccess {
    // The log directory as stored ("Directory"); file requests are confined to it.
    std::function<std::string()> logDirectory = {};
    std::function<void()> flushLog = {};
};

struct PipeContext {
    LogSink& log;  // the pipe's own lines (refused connections, failures)
    ClientAccess clients;
    ProfileAccess profiles;
    SettingsAccess settings;
    FileAccess files;
    // Connections and refusals are counted here; nullptr: not counted.
    ServiceCounters* counters = nullptr;
};

}  // namespace tolmark
