#include <time.h>

#include "platform/clock.h"

namespace tolmark::platform {
namespace {

class SystemClock final : public Clock {
public:
    std::int64_t now() const override { return static_cast<std::int64_t>(::time(nullptr)); }
    std::tm localTime(std::int64_t t) const override {
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
};

}  // namespace

const Clock& systemClock() {
    static const SystemClock clock;
    return clock;
}

}  // namespace tolmark::platform
