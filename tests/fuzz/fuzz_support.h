#pragma once
// Pieces several fuzz targets share: a log that formats every line (so that the sanitizers see
// each format and argument) and keeps none, and a reader of steering bytes at the front of an
// input.

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>

#include "common/log_sink.h"

namespace tolmark::fuzz {

class FormattingLog final : public LogSink {
public:
    explicit FormattingLog(int level = 3) : level_(level) {}
    int level() const override { return level_; }
    std::size_t lines() const { return lines_; }

protected:
    // The format comes from LogSink::line, which checks it against its arguments.
    __attribute__((format(printf, 3, 0))) void writeLine(bool, const char* format, va_list args) override {
        char text[1024];
        std::vsnprintf(text, sizeof text, format, args);
        ++lines_;
    }

private:
    int level_;
    std::size_t lines_ = 0;
};

// Takes bytes off the front of an input; past its end every byte reads 0.
class Steering {
public:
    explicit Steering(std::span<const std::uint8_t> input) : input_(input) {}
    std::uint8_t byte() {
        if (input_.empty()) return 0;
        const std::uint8_t b = input_.front();
        input_ = input_.subspan(1);
        return b;
    }
    std::uint16_t u16() { return static_cast<std::uint16_t>(byte() | (byte() << 8)); }
    // What is left after the steering bytes taken so far.
    std::span<const std::uint8_t> rest() const { return input_; }

private:
    std::span<const std::uint8_t> input_;
};

}  // namespace tolmark::fuzz
