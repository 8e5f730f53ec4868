#include "server/host/log_flood_limit.h"

#include <cstdio>
#include <cstring>

namespace tolmark {
namespace {

// FNV-1a: identical lines have identical hashes; collisions only cost a line its own budget.
std::uint64_t hashOf(std::string_view text) {
    std::uint64_t hash = 14695981039346656037ull;
    for (unsigned char c : text) hash = (hash ^ c) * 1099511628211ull;
    return hash | 1;  // 0 marks an empty slot
}

std::string_view withoutNewline(std::string_view text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.remove_suffix(1);
    return text;
}

}  // namespace

LogFloodLimit::KindClass LogFloodLimit::classOf(const char* format) {
    if (std::strstr(format, "Error ") != nullptr || std::strstr(format, "Ignored ") != nullptr) return KindClass::Error;
    for (const char* category : {"DHCP ", "BOOTP ", "TFTP "}) {
        if (std::strncmp(format, category, std::strlen(category)) == 0) return KindClass::Activity;
    }
    return KindClass::Unlimited;
}

bool LogFloodLimit::spendKind(Kind& kind, std::int64_t now) {
    if (kind.kindClass == KindClass::Activity)
        return spend(kind.bucket, now, settings_.activityBurst, settings_.activityPerSecond, 1);
    return spend(kind.bucket, now, settings_.burst, settings_.perSecond, 1);
}

// Adds the tokens earned since the last refill (tokens every period seconds, at most burst),
// then spends one if there is one.
bool LogFloodLimit::spend(Bucket& bucket, std::int64_t now, std::uint32_t burst, std::uint32_t tokens,
                          std::uint32_t period) {
    if (period == 0) period = 1;
    // A clock set back starts the count of periods again from now, so that the bucket is not
    // left empty until the clock is back where it was.
    if (now < bucket.refilled) bucket.refilled = now;
    if (now > bucket.refilled) {
        const std::uint64_t periods = static_cast<std::uint64_t>(now - bucket.refilled) / period;
        // Counted in full only below the burst, so that a jump far ahead cannot overflow it.
        const std::uint64_t earned = tokens == 0 ? 0 : periods >= burst ? burst : periods * tokens;
        const std::uint64_t total = bucket.tokens + earned;
        bucket.tokens = static_cast<std::uint32_t>(total < burst ? total : burst);
        bucket.refilled += static_cast<std::int64_t>(periods * period);
    }
    if (bucket.tokens == 0) return false;
    --bucket.tokens;
    return true;
}

LogFloodLimit::Kind& LogFloodLimit::kindOf(const char* format, std::int64_t now) {
    // A new kind takes an empty slot, else the one seen longest ago; kinds with an unreported
    // count are kept while any other slot can be taken.
    Kind* victim = nullptr;
    for (Kind& kind : kinds_) {
        if (kind.format == format) return kind;
        if (victim != nullptr && victim->format == nullptr) continue;
        if (kind.format == nullptr ||
            (kind.bucket.suppressed == 0 && (victim == nullptr || kind.lastSeen < victim->lastSeen))) {
            victim = &kind;
        }
    }
    if (victim == nullptr) victim = &kinds_[0];
    if (victim->bucket.suppressed != 0) {
        // Every slot holds a count: the one pushed out is reported with the next line, still
        // pending.
        pushedOut_.emplace_back();
        reportLine(*victim, pushedOut_.back());
    }
    const KindClass kindClass = classOf(format);
    const std::uint32_t burst = kindClass == KindClass::Activity ? settings_.activityBurst : settings_.burst;
    *victim = Kind{format, kindClass, now, Bucket{burst, now, 0}};
    return *victim;
}

bool LogFloodLimit::admit(const char* format, std::string_view text, std::int64_t now, bool activity) {
    Kind& kind = kindOf(format, now);
    kind.lastSeen = now;
    const bool limited = kind.kindClass == KindClass::Error || (activity && kind.kindClass == KindClass::Activity);
    if (limited && !spendKind(kind, now)) {
        if (kind.bucket.suppressed++ == 0) ++pendingReports_;
        return false;
    }
    const std::uint64_t hash = hashOf(text);
    Repeat& repeat = repeats_[hash % kRepeats];
    if (repeat.hash != hash) {
        // A slot holding a count is not taken over; the new line then goes unlimited this once.
        if (repeat.bucket.suppressed != 0) return true;
        repeat.hash = hash;
        repeat.bucket = Bucket{settings_.repeatBurst, now, 0};
        const std::string_view start = withoutNewline(text).substr(0, repeat.text.size() - 1);
        std::memcpy(repeat.text.data(), start.data(), start.size());
        repeat.text[start.size()] = '\0';
    }
    if (!spend(repeat.bucket, now, settings_.repeatBurst, 1, settings_.repeatEverySeconds)) {
        if (repeat.bucket.suppressed++ == 0) ++pendingReports_;
        return false;
    }
    return true;
}

void LogFloodLimit::reportLine(const Kind& kind, std::string& line) const {
    // The fixed part of the format names the kind: "DHCP  Error   in request from".
    const char* end = std::strchr(kind.format, '%');
    const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - kind.format) : std::strlen(kind.format);
    char count[64];
    std::snprintf(count, sizeof count, " ... [%llu similar lines suppressed]\n",
                  static_cast<unsigned long long>(kind.bucket.suppressed));
    line.assign(withoutNewline(std::string_view(kind.format, length)));
    line += count;
}

bool LogFloodLimit::kindReport(Kind& kind, std::int64_t now, std::string& line, bool closing) {
    if (kind.bucket.suppressed == 0 || (!closing && !spendKind(kind, now))) return false;
    reportLine(kind, line);
    kind.bucket.suppressed = 0;
    return true;
}

bool LogFloodLimit::repeatReport(Repeat& repeat, std::int64_t now, std::string& line, bool closing) {
    if (repeat.bucket.suppressed == 0 ||
        (!closing && !spend(repeat.bucket, now, settings_.repeatBurst, 1, settings_.repeatEverySeconds))) {
        return false;
    }
    char count[64];
    std::snprintf(count, sizeof count, " [%llu identical lines suppressed]\n",
                  static_cast<unsigned long long>(repeat.bucket.suppressed));
    line.assign(repeat.text.data());
    line += count;
    repeat.bucket.suppressed = 0;
    return true;
}

bool LogFloodLimit::takeReport(std::int64_t now, std::string& line, bool closing) {
    if (pendingReports_ == 0) return false;
    if (!pushedOut_.empty()) {
        line = std::move(pushedOut_.front());
        pushedOut_.erase(pushedOut_.begin());
        --pendingReports_;
        return true;
    }
    for (Kind& kind : kinds_) {
        if (kindReport(kind, now, line, closing)) {
            --pendingReports_;
            return true;
        }
    }
    for (Repeat& repeat : repeats_) {
        if (repeatReport(repeat, now, line, closing)) {
            --pendingReports_;
            return true;
        }
    }
    return false;
}

}  // namespace tolmark
