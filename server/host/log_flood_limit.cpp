#include "server/host/log_flood_limit.h"

#include <cstdio>
#include <cstring>

namespace tolmark {

bool LogFloodLimit::isLimitedKind(const char* format) {
    return std::strstr(format, "Error ") != nullptr || std::strstr(format, "Ignored ") != nullptr;
}

void LogFloodLimit::refill(Kind& kind, std::int64_t now) const {
    if (now <= kind.refilled) return;
    const std::uint64_t earned = static_cast<std::uint64_t>(now - kind.refilled) * settings_.perSecond;
    const std::uint64_t total = kind.tokens + earned;
    kind.tokens = static_cast<std::uint32_t>(total < settings_.burst ? total : settings_.burst);
    kind.refilled = now;
}

LogFloodLimit::Kind& LogFloodLimit::kindOf(const char* format, std::int64_t now) {
    // A new kind takes an empty slot, else the one seen longest ago; kinds with an unreported
    // count are kept while any other slot can be taken.
    Kind* victim = nullptr;
    for (Kind& kind : kinds_) {
        if (kind.format == format) return kind;
        if (victim != nullptr && victim->format == nullptr) continue;
        if (kind.format == nullptr || (kind.suppressed == 0 && (victim == nullptr || kind.lastSeen < victim->lastSeen))) {
            victim = &kind;
        }
    }
    if (victim == nullptr) victim = &kinds_[0];
    if (victim->suppressed != 0) --pendingReports_;
    *victim = Kind{format, isLimitedKind(format), settings_.burst, now, now, 0};
    return *victim;
}

bool LogFloodLimit::admit(const char* format, std::int64_t now) {
    Kind& kind = kindOf(format, now);
    kind.lastSeen = now;
    if (!kind.limited) return true;
    refill(kind, now);
    if (kind.tokens == 0) {
        if (kind.suppressed++ == 0) ++pendingReports_;
        return false;
    }
    --kind.tokens;
    return true;
}

bool LogFloodLimit::takeReport(std::int64_t now, std::string& line) {
    if (pendingReports_ == 0) return false;
    for (Kind& kind : kinds_) {
        if (kind.suppressed == 0) continue;
        refill(kind, now);
        if (kind.tokens == 0) continue;
        --kind.tokens;
        // The fixed part of the format names the kind: "DHCP  Error   in request from".
        const char* end = std::strchr(kind.format, '%');
        std::size_t length = end != nullptr ? static_cast<std::size_t>(end - kind.format) : std::strlen(kind.format);
        while (length > 0 && (kind.format[length - 1] == ' ' || kind.format[length - 1] == '\n')) --length;
        char count[64];
        std::snprintf(count, sizeof count, " ... [%llu similar lines suppressed]\n",
                      static_cast<unsigned long long>(kind.suppressed));
        line.assign(kind.format, length);
        line += count;
        kind.suppressed = 0;
        --pendingReports_;
        return true;
    }
    return false;
}

}  // namespace tolmark
