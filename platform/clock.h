#pragma once
// Wall-clock time, injectable so that time-dependent behaviour (log roll-over, lease expiry,
// address disappearance) can be tested with a fixed or stepped clock.

#include <cstdint>
#include <ctime>

namespace tolmark::platform {

class Clock {
public:
    virtual ~Clock() = default;
    // Seconds since 1970.
    virtual std::int64_t now() const = 0;
    // Local calendar time of t.
    virtual std::tm localTime(std::int64_t t) const = 0;
    // Milliseconds of a clock that never goes back, from an arbitrary start.
    virtual std::uint64_t milliseconds() const = 0;
};

// The host's clock and time zone.
const Clock& systemClock();

}  // namespace tolmark::platform
