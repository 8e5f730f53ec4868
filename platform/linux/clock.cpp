#include <time.h>

#include <atomic>

#include "platform/clock.h"

namespace tolmark::platform {
namespace {

class SystemClock final : public Clock {
public:
    std::int64_t now() const override { return static_cast<std::int64_t>(::time(nullptr)); }
    std::tm localTime(std::int64_t t) const override {
        // localtime_r reads the time zone once per process: the zone is looked at again once a
        // minute, so that a zone the administrator changes (timedatectl set-timezone) reaches
        // the log's time stamps and file names without a restart.
        const std::int64_t minute = t / 60;
        if (zoneMinute_.exchange(minute, std::memory_order_relaxed) != minute) ::tzset();
        std::tm result{};
        time_t value = static_cast<time_t>(t);
        ::localtime_r(&value, &result);
        return result;
    }
    std::uint64_t milliseconds() const override {
        timespec ts{};
        ::clock_gettime(CLOCK_MONOTONIC, &ts);
        return static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    }

private:
    mutable std::atomic<std::int64_t> zoneMinute_{-1};
};

}  // namespace

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace tolmark::platform
