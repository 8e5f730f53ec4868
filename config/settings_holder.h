#pragma once
// The server's settings in memory. Read at start-up, replaced whole by the control pipe, and
// read by the receive loop and the log between requests; a mutex keeps every read whole.

#include <cstdint>
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
        ++generation_;
        return f(dhcp_, tftp_, multicast_);
    }
    // Grows with every update, so that a reader can tell that what it derived is out of date.
    std::uint64_t generation() const {
        std::lock_guard<std::mutex> guard(mutex_);
        return generation_;
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
    std::uint64_t generation_ = 1;
};

}  // namespace tolmark
