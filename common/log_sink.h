#pragma once
// Where the server's subsystems write their log lines. Every line starts with the time stamp
// and one space, which the sink writes; callers pass the rest of the line's format.

#include <cstdarg>

namespace tolmark {

class LogSink {
public:
    virtual ~LogSink() = default;
    // 0 nothing, 1 normal, 2 detailed, 3 console with every line.
    virtual int level() const = 0;
    // Writes "<time stamp> " followed by the formatted text when the level is at least
    // minLevel, under the log lock; flushes afterwards when asked.
    void line(int minLevel, bool flush, const char* format, ...) __attribute__((format(printf, 4, 5))) {
        if (level() < minLevel || level() == 0) return;
        va_list args;
        va_start(args, format);
        writeLine(flush, format, args);
        va_end(args);
    }

protected:
    virtual void writeLine(bool flush, const char* format, va_list args) = 0;
};

}  // namespace tolmark
