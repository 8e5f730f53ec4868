#pragma once
// The server's settings in memory. Read at start-up, replaced whole by the control pipe, and
// read by the receive loop and the log between requests; a mutex keeps every read whole.

#include <mutex>

#include "common/settings_blocks.h"
#include "config/settings.h"

namespace tolmark {

class SettingsHolder {
public:
    GeneralSettings general() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return dhcp_.general;
    }
    // Runs f with the settings held steady (no copy, so no allocation).
    template <typename F>
    auto withDhcp(F&& f) const {
        std::lock_guard<std::mutex> guard(mutex_);
        return f(dhcp_);
    }
    template <typename F>
    auto update(F&& f) {
        std::lock_guard<std::mutex> guard(mutex_);
        return f(dhcp_, tftp_, multicast_);
    }
    TftpSettings tftp() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return tftp_;
    }
    MulticastSettings multicast() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return multicast_;
    }

private:
    mutable std::mutex mutex_;
    DhcpSettings dhcp_;
    TftpSettings tftp_;
    MulticastSettings multicast_;
};

}  // namespace tolmark
