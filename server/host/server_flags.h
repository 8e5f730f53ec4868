#pragma once
// Process-wide words that several threads read and write without another lock.

#include <atomic>

#include "common/settings_blocks.h"

namespace tolmark {

struct ServerFlags {
    std::atomic<int> serverStopping{0};
    std::atomic<int> statusChanged{0};
    std::atomic<int> reloadRequest{0};
    std::atomic<int> paused{0};  // backup-server detection: not 0 = requests are dropped
};

}  // namespace tolmark
