#pragma once
// What the control pipe reaches of the running server. The server owns everything here; the
// pipe takes the locks in the order control pipe, engine, client list (log innermost).

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "common/log_sink.h"
#include "common/pipe_protocol.h"
#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings_holder.h"
#include "server/leases/client_table.h"

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

struct PipeContext {
    SettingsHolder& settings;
    ConfigStore& store;
    ClientTable& clients;
    ProfileList& profiles;
    InterfaceTable& interfaces;
    std::mutex& engineLock;
    LogSink& log;
    StatusCounters& counters;
    std::atomic<int>& serverStopping;
    std::atomic<int>& statusChanged;
    std::atomic<int>& reloadRequest;
    std::atomic<int>& paused;
    // The log directory as stored ("Directory"); file requests are confined to it.
    std::function<std::string()> logDirectory;
    std::function<void()> flushLog;
    // The socket field of the status record for an interface entry.
    std::function<std::uint64_t(std::size_t)> socketImage;
    // Number of running TFTP transfers, or -1 while the TFTP server is stopped.
    std::function<std::int32_t()> tftpTransfers;
    // Restarts the TFTP server after its settings changed (stopFirst: the port changed).
    std::function<void(bool stopFirst)> restartTftp;
    // Starts the host-name lookup pass after settings or profiles changed.
    std::function<void()> startNameLookup;
    // The n-th record of the TFTP transfer list (running or recently ended) as its wire image;
    // unset, or nothing, while there is no such transfer.
    std::function<std::optional<std::array<std::uint8_t, kTransferRecordSize>>(std::int32_t)> transferRecord;
};

}  // namespace tolmark
