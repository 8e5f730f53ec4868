#pragma once
// The server's log output: the console in debug mode, otherwise a monthly ("dhcp%y%m.log") or
// daily ("dhcp%y%m%d.log") file in the log directory, re-chosen at every check so that it rolls
// over with the date and follows changes of "Log", "CreateLog" and "Directory". A file removed or
// renamed while open (logrotate) is opened again by name at the next check or flush.

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

#include "common/log_sink.h"
#include "common/version.h"
#include "platform/clock.h"
#include "server/host/log_flood_limit.h"

namespace tolmark {

inline constexpr const char* kProductName = "Tolmark DHCP Server";

class Log final : public LogSink {
public:
    explicit Log(const platform::Clock& clock, std::FILE* console = stdout, std::FILE* error = stderr,
                 FloodLimitSettings floodLimit = {});
    ~Log() override;
    Log(const Log&) = delete;
    Log& operator=(const Log&) = delete;

    int level() const override { return level_.load(std::memory_order_relaxed); }
    void setLevel(int level) { level_.store(level, std::memory_order_relaxed); }

    // Chooses the output: the console while the level is 3 or more, else the file named for
    // today in directory (logSetting and createLog are the settings "Log" and "CreateLog").
    // Returns the output in use, or nullptr when nothing is written.
    std::FILE* check(const std::string& directory, int logSetting, int createLog);
    void flush();
    // Closes a log file at shutdown, after the counts of lines held back; the console stays open.
    void close();

    // The file name for the local date: "dhcp%y%m.log" or "dhcp%y%m%d.log".
    static std::string fileName(const std::tm& date, bool daily);
    // "%Y-%m-%d %H:%M:%S" of the current local time.
    std::string timeStamp() const;
    std::string currentPath() const;
    // Lines the flood limit has held back since the start.
    std::uint64_t heldBack() const { return heldBack_.load(std::memory_order_relaxed); }

protected:
    __attribute__((format(printf, 3, 0))) void writeLine(bool flush, const char* format, va_list args) override;

private:
    void switchTo(std::FILE* output, const std::string& path);
    void formatTimeStamp(char (&text)[32]) const;
    void writeReportsLocked(const char* stamp, std::int64_t now, bool closing = false);
    bool openLocked(const std::string& path);
    bool replacedLocked() const;
    void flushLocked();

    const platform::Clock& clock_;
    std::FILE* const console_;
    std::FILE* const error_;
    std::atomic<int> level_{1};
    mutable std::mutex lock_;
    std::FILE* output_;
    bool ownsOutput_ = false;
    std::string path_;
    // The file name and directory last chosen, and the time the open file was last found
    // under its name.
    std::string name_;
    std::string directory_;
    std::int64_t verified_ = 0;
    bool openFailed_ = false;
    bool writeFailed_ = false;
    LogFloodLimit floodLimit_;  // guarded by lock_
    std::string report_;        // guarded by lock_; kept to reuse its storage
    std::atomic<std::uint64_t> heldBack_{0};
};

}  // namespace tolmark
