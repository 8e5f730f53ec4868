#pragma once
// Process-wide words that several threads read and write without another lock.

#include <atomic>

namespace tolmark {

// Bits of StatusChanged.
inline constexpr int kStatusClientData = 1;
inline constexpr int kStatusLoopEnded = 2;
// Bits of ReloadRequest.
inline constexpr int kReloadInterfaces = 1;
inline constexpr int kReloadSockets = 2;

struct ServerFlags {
    std::atomic<int> serverStopping{0};
    std::atomic<int> statusChanged{0};
    std::atomic<int> reloadRequest{0};
    std::atomic<int> paused{0};  // backup-server detection: not 0 = requests are dropped
};

}  // namespace tolmark
