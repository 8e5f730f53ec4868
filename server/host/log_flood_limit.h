#pragma once
// Keeps floods out of the log, so that nobody on the network can fill the log directory, while
// every distinct event is still written:
// - A kind of line is its format. Error and ignored-client lines are caused by whoever sends a
//   datagram, so each such kind has a budget (a burst, refilled at a steady rate). Every other
//   line of DHCP, BOOTP or TFTP (assignments, requests, transfers) is caused by a peer too: each
//   such kind has a larger budget of its own, which a busy network's bursts stay within.
// - A line identical to one written a moment ago (one client repeating the same request) is
//   written a few times, then once in a while.
// Lines over budget are counted instead of written, and the count is reported once the line
// may be written again. Kinds and lines are limited independently of each other.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tolmark {

struct FloodLimitSettings {
    std::uint32_t burst = 100;              // lines of one error kind written back to back
    std::uint32_t perSecond = 10;           // lines of one error kind per second after a burst
    std::uint32_t activityBurst = 1000;     // lines of one other network kind written back to back
    std::uint32_t activityPerSecond = 20;   // and per second after a burst
    std::uint32_t repeatBurst = 10;         // identical lines written back to back
    std::uint32_t repeatEverySeconds = 10;  // then one identical line this often
};

class LogFloodLimit {
public:
    explicit LogFloodLimit(FloodLimitSettings settings = {}) : settings_(settings) {}

    // Whether the line (text, formatted from format, without its time stamp) may be written at
    // time now (seconds). activity: whether the budgets of the other network kinds apply (not on
    // a console, which has a reader and no disk to fill).
    bool admit(const char* format, std::string_view text, std::int64_t now, bool activity = true);

    // A line that was held back and may be written again: its report text (without the time
    // stamp), and its count is cleared. False when there is none. closing: the log closes, so
    // every count is reported now, whatever the budgets. The count of a kind pushed out of its
    // slot by a new kind comes first, whatever its budget: nothing would report it later.
    bool takeReport(std::int64_t now, std::string& line, bool closing = false);

    enum class KindClass { Unlimited, Error, Activity };
    // Error and ignored-client lines: those anyone on the network can cause most easily; the
    // other lines of the network's categories.
    static KindClass classOf(const char* format);
    static bool isLimitedKind(const char* format) { return classOf(format) == KindClass::Error; }

private:
    struct Bucket {
        std::uint32_t tokens = 0;
        std::int64_t refilled = 0;
        std::uint64_t suppressed = 0;
    };
    struct Kind {
        const char* format = nullptr;
        KindClass kindClass = KindClass::Unlimited;
        std::int64_t lastSeen = 0;
        Bucket bucket;
    };
    struct Repeat {
        std::uint64_t hash = 0;
        Bucket bucket;
        std::array<char, 104> text{};  // the start of the line, for its report
    };
    static constexpr std::size_t kKinds = 64;
    static constexpr std::size_t kRepeats = 256;

    Kind& kindOf(const char* format, std::int64_t now);
    bool spend(Bucket& bucket, std::int64_t now, std::uint32_t burst, std::uint32_t tokens, std::uint32_t period);
    bool spendKind(Kind& kind, std::int64_t now);
    bool kindReport(Kind& kind, std::int64_t now, std::string& line, bool closing);
    bool repeatReport(Repeat& repeat, std::int64_t now, std::string& line, bool closing);
    void reportLine(const Kind& kind, std::string& line) const;

    FloodLimitSettings settings_;
    std::array<Kind, kKinds> kinds_{};
    std::array<Repeat, kRepeats> repeats_{};
    // Reports of kinds pushed out while holding a count; at most one more per admitted kind, and
    // the log takes them before every line it writes.
    std::vector<std::string> pushedOut_;
    std::size_t pendingReports_ = 0;
};

}  // namespace tolmark
