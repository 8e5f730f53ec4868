#pragma once
// Keeps floods of one kind of error line out of the log. A kind is a line's format: every line
// written with the same format is the same kind of event. Error and ignored-client lines may be
// caused by anyone on the network, so each such kind has a budget of lines (a burst, refilled
// at a steady rate); lines beyond it are counted instead of written, and the count is reported
// once the kind is quiet enough to be written again. Kinds are limited independently, so a
// flood of one kind never hides a line of another.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace tolmark {

struct FloodLimitSettings {
    std::uint32_t burst = 100;          // lines of one kind written back to back
    std::uint32_t perSecond = 10;       // lines of one kind written per second after a burst
};

class LogFloodLimit {
public:
    explicit LogFloodLimit(FloodLimitSettings settings = {}) : settings_(settings) {}

    // Whether a line of this format may be written at time now (seconds).
    bool admit(const char* format, std::int64_t now);

    // A kind whose lines were held back and that may be written again: its report line text
    // (without the time stamp), and the count is cleared. Returns false when there is none.
    bool takeReport(std::int64_t now, std::string& line);

    // Lines of limited kinds are those that the network can cause: errors and ignored clients.
    static bool isLimitedKind(const char* format);

private:
    struct Kind {
        const char* format = nullptr;
        bool limited = false;
        std::uint32_t tokens = 0;
        std::int64_t refilled = 0;
        std::int64_t lastSeen = 0;
        std::uint64_t suppressed = 0;
    };
    static constexpr std::size_t kKinds = 64;

    Kind& kindOf(const char* format, std::int64_t now);
    void refill(Kind& kind, std::int64_t now) const;

    FloodLimitSettings settings_;
    std::array<Kind, kKinds> kinds_{};
    std::size_t pendingReports_ = 0;
};

}  // namespace tolmark
