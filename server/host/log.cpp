#include "server/host/log.h"

#include <stdio_ext.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include "base/error_text.h"
#include "common/log_file_name.h"
#include "platform/paths.h"

namespace tolmark {
namespace {

// Names from peers and files (host names, TFTP file names) may hold control characters: each is
// written as "\xNN", so that one line of the log stays one line (a newline cannot forge another)
// and no escape sequence reaches a terminal. The line's own final newline stays (a line that was
// cut has none: a newline there is a name's).
void writeEscaped(std::FILE* output, const char* text, std::size_t length, bool cut = false) {
    const std::size_t body = !cut && length != 0 && text[length - 1] == '\n' ? length - 1 : length;
    std::size_t start = 0;
    for (std::size_t i = 0; i < body; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F) continue;
        std::fwrite(text + start, 1, i - start, output);
        std::fprintf(output, "\\x%02X", c);
        start = i + 1;
    }
    std::fwrite(text + start, 1, length - start, output);
}

}  // namespace

Log::Log(const platform::Clock& clock, std::FILE* console, std::FILE* error, FloodLimitSettings floodLimit)
    : clock_(clock), console_(console), error_(error), output_(error), floodLimit_(floodLimit) {}

Log::~Log() { close(); }

std::string Log::fileName(const std::tm& date, bool daily) { return logFileName(date, daily); }

void Log::formatTimeStamp(char (&text)[32]) const {
    std::tm now = clock_.localTime(clock_.now());
    if (std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &now) == 0) text[0] = '\0';
}

std::string Log::timeStamp() const {
    char text[32];
    formatTimeStamp(text);
    return text;
}

std::string Log::currentPath() const {
    std::lock_guard<std::mutex> guard(lock_);
    return path_;
}

void Log::switchTo(std::FILE* output, const std::string& path) {
    if (ownsOutput_ && output_ != nullptr) std::fclose(output_);
    output_ = output;
    ownsOutput_ = output != console_ && output != error_;
    path_ = path;
}

std::FILE* Log::check(const std::string& directory, int logSetting, int createLog) {
    if (level() >= 3) {
        std::lock_guard<std::mutex> guard(lock_);
        if (output_ != console_) switchTo(console_, {});
        return console_;
    }
    // A service has nobody reading its console, so levels above 2 mean 2 here.
    setLevel(logSetting > 2 ? 2 : logSetting);
    if (level() <= 0) {
        std::lock_guard<std::mutex> guard(lock_);
        switchTo(error_, {});
        name_.clear();
        return nullptr;
    }

    const std::int64_t now = clock_.now();
    const std::string name = fileName(clock_.localTime(now), createLog != 0);

    std::lock_guard<std::mutex> guard(lock_);
    // The whole name counts, not only its last digits: the first check after a quiet month (or
    // year) finds the same day (or month) digits in another file's name.
    if (ownsOutput_ && name == name_ && directory == directory_) {
        if (now == verified_) return output_;
        verified_ = now;
        if (!replacedLocked()) return output_;
        return openLocked(std::string(path_)) ? output_ : nullptr;
    }
    name_ = name;
    directory_ = directory;
    std::string path = platform::pathInDirectory(directory, name);
    if (path.size() >= 1024) {
        if (!ownsOutput_) setLevel(0);
        return ownsOutput_ ? output_ : nullptr;
    }
    return openLocked(path) ? output_ : nullptr;
}

// Opens path in place of the current output. A file that cannot be opened stops logging until
// a later check opens it; the reason is written to the error stream once.
bool Log::openLocked(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "a+e");
    if (file == nullptr) {
        const int error = errno;
        setLevel(0);
        switchTo(error_, {});
        if (!openFailed_ && error_ != nullptr) {
            std::fprintf(error_, "log file %s cannot be opened: %s; nothing is logged until it can be\n", path.c_str(),
                         errorText(error).c_str());
            std::fflush(error_);
        }
        openFailed_ = true;
        return false;
    }
    openFailed_ = false;
    writeFailed_ = false;
    switchTo(file, path);
    verified_ = clock_.now();
    return true;
}

// Whether the open file no longer bears its name: removed, or renamed away and perhaps another
// file created in its place. A name that cannot be looked up for another reason keeps the file.
bool Log::replacedLocked() const {
    struct stat open {};
    struct stat named {};
    if (::fstat(::fileno(output_), &open) != 0) return false;
    if (::stat(path_.c_str(), &named) != 0) return errno == ENOENT;
    return named.st_dev != open.st_dev || named.st_ino != open.st_ino;
}

void Log::flush() {
    if (level() == 0) return;
    char stamp[32];
    formatTimeStamp(stamp);
    std::lock_guard<std::mutex> guard(lock_);
    const std::int64_t now = clock_.now();
    if (output_ == nullptr) return;
    // An idle server checks nothing: its flushes find a file rotated away.
    if (ownsOutput_ && now != verified_) {
        verified_ = now;
        if (replacedLocked() && !openLocked(std::string(path_))) return;
    }
    if (output_ != error_) writeReportsLocked(stamp, now);
    flushLocked();
}

// A full disk or a failing device loses lines: the error stream says so once, until lines are
// written again.
void Log::flushLocked() {
    const bool pending = ::__fpending(output_) != 0;
    std::fflush(output_);
    if (!ownsOutput_) return;
    if (!std::ferror(output_)) {
        if (pending) writeFailed_ = false;
        return;
    }
    const int error = errno;
    std::clearerr(output_);
    if (writeFailed_ || error_ == nullptr) return;
    writeFailed_ = true;
    std::fprintf(error_, "log file %s cannot be written: %s; lines are lost until it can be\n", path_.c_str(),
                 errorText(error).c_str());
    std::fflush(error_);
}

// Counts of held-back lines come out once their kind may be written again, before the line
// that follows them. A count of identical lines repeats the start of the line, names and all.
void Log::writeReportsLocked(const char* stamp, std::int64_t now, bool closing) {
    while (floodLimit_.takeReport(now, report_, closing)) {
        std::fputs(stamp, output_);
        std::fputc(' ', output_);
        writeEscaped(output_, report_.data(), report_.size());
    }
}

void Log::close() {
    char stamp[32];
    formatTimeStamp(stamp);
    std::lock_guard<std::mutex> guard(lock_);
    // The lines held back since the last count would otherwise go unsaid.
    if (output_ != nullptr && output_ != error_) {
        writeReportsLocked(stamp, clock_.now(), true);
        flushLocked();
    }
    if (ownsOutput_) switchTo(error_, {});
}

void Log::writeLine(bool flush, const char* format, va_list args) {
    char stamp[32];
    formatTimeStamp(stamp);
    // Formatted first, so that the flood limit can tell a repeated line from a new one.
    char text[4096];
    const int length = std::vsnprintf(text, sizeof text, format, args);
    if (length < 0) return;
    std::lock_guard<std::mutex> guard(lock_);
    // Read under the lock, so that the flood limit sees time go back only when the clock does.
    const std::int64_t now = clock_.now();
    if (output_ == nullptr || output_ == error_) return;
    writeReportsLocked(stamp, now);
    if (!floodLimit_.admit(format, text, now, output_ != console_)) {
        heldBack_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    std::fputs(stamp, output_);
    std::fputc(' ', output_);
    // A line longer than the buffer is cut; it still ends its line.
    const bool cut = static_cast<std::size_t>(length) >= sizeof text;
    writeEscaped(output_, text, cut ? sizeof text - 1 : static_cast<std::size_t>(length), cut);
    if (cut) std::fputc('\n', output_);
    if (flush) flushLocked();
}

}  // namespace tolmark
