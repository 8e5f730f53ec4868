#pragma once
// Stand-ins for the platform in unit tests: a settable clock, a scripted host address table,
// an ARP cache that records its calls, and a log sink that keeps its lines.

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "platform/arp.h"
#include "platform/clock.h"
#include "platform/host_addresses.h"

namespace tolmark::testing {

// Local time is taken as UTC so results do not depend on the machine's time zone. The time is
// atomic: a test moves it on while the threads of the code under test read it.
class FakeClock final : public platform::Clock {
public:
    explicit FakeClock(std::int64_t now = 1700000000) : now_(now) {}
    std::int64_t now() const override { return now_.load(); }
    std::tm localTime(std::int64_t t) const override {
        std::tm result{};
        time_t value = static_cast<time_t>(t);
        gmtime_r(&value, &result);
        return result;
    }
    std::uint64_t milliseconds() const override { return static_cast<std::uint64_t>(now_.load()) * 1000u; }
    void set(std::int64_t now) { now_.store(now); }
    void advance(std::int64_t seconds) { now_.fetch_add(seconds); }

private:
    std::atomic<std::int64_t> now_;
};

class FakeHostAddresses final : public platform::HostAddressSource {
public:
    bool read(std::vector<platform::HostAddress>& out) override {
        if (fail) return false;
        out = rows;
        return true;
    }
    std::vector<platform::HostAddress> rows;
    bool fail = false;
};

class RecordingArpCache final : public platform::ArpCache {
public:
    bool setEntry(int ifIndex, Ipv4 address, const std::uint8_t*, platform::ArpEntryType type) override {
        calls.push_back("set " + std::to_string(ifIndex) + " " + std::to_string(address) + " " +
                        std::to_string(static_cast<int>(type)));
        return succeed;
    }
    bool deleteEntry(int ifIndex, Ipv4 address) override {
        calls.push_back("delete " + std::to_string(ifIndex) + " " + std::to_string(address));
        return true;
    }
    std::vector<std::string> calls;
    bool succeed = true;
};

class CapturingLog final : public LogSink {
public:
    explicit CapturingLog(int level = 3) : level_(level) {}
    int level() const override { return level_; }
    void setLevel(int level) { level_ = level; }
    std::vector<std::string> lines;

protected:
    // The format comes from LogSink::line, which checks it against its arguments.
    __attribute__((format(printf, 3, 0))) void writeLine(bool, const char* format, va_list args) override {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        lines.push_back(text);
    }

private:
    int level_;
};

// A log that threads other than the test's write to: lines are kept under a lock and looked up
// by a part of their text.
class LockedLog final : public LogSink {
public:
    explicit LockedLog(int level = 3) : level_(level) {}
    int level() const override { return level_; }
    bool has(const std::string& part) const { return count(part) > 0; }
    int count(const std::string& part) const {
        std::lock_guard<std::mutex> guard(lock_);
        int n = 0;
        for (const std::string& l : lines_) n += l.find(part) != std::string::npos;
        return n;
    }

protected:
    __attribute__((format(printf, 3, 0))) void writeLine(bool, const char* format, va_list args) override {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        std::lock_guard<std::mutex> guard(lock_);
        lines_.push_back(text);
    }

private:
    const int level_;
    mutable std::mutex lock_;
    std::vector<std::string> lines_;
};

}  // namespace tolmark::testing
