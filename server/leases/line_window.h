#pragma once
// The lines of a client file, read in place: the whole file in one read when it fits the
// window (which is sized from the file), else a window at a time, so that a file of any size
// loads with bounded memory. Lines are views into the window, valid until the next call.
//
// A line keeps at most 1023 characters (the rest of a longer line is passed over); its "\n"
// is removed, and a "\r" before it when the line was not cut (also the one at position 1023
// of a line of 1024 characters). A last line without "\n" keeps any "\r".

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "common/entry_line.h"

namespace tolmark {

class LineWindow {
public:
    static constexpr std::size_t kSmallest = 65536;
    static constexpr std::size_t kLargest = std::size_t{256} << 20;

    // Reads fd from where it stands, through a window of the file's size and one byte more,
    // kept between smallest and largest (smallest at least kMaxEntryLine + 1). False when no
    // window could be had.
    bool open(int fd, std::uint64_t fileSize, std::size_t smallest = kSmallest, std::size_t largest = kLargest);

    // Reads the first window. False when nothing came.
    bool fillFirst() { return refill(); }
    // The bytes read so far, and the lines in what the window holds now: what the rest of the
    // file holds about as many of.
    std::uint64_t readSoFar() const { return offset_ + end_; }
    std::size_t linesInWindow() const;

    // The next line, and the file offset it starts at. False at the end of the file or on a
    // read error (see failed()).
    bool next(std::string_view& line, std::uint64_t& lineStart);
    bool failed() const { return failed_; }
    // Of the last line given: whether characters beyond the first 1023 were passed over, and
    // whether it ended with "\n" (only the file's last line can end without).
    bool cut() const { return cut_; }
    bool ended() const { return ended_; }

private:
    bool refill();
    bool longLine(std::string_view& line);
    std::string_view trimmed(const char* text, std::size_t physical, bool ended);

    int fd_ = -1;
    std::unique_ptr<char[]> buffer_;
    std::size_t capacity_ = 0;
    std::size_t begin_ = 0;     // the next line's first byte
    std::size_t end_ = 0;       // behind the last byte read
    std::uint64_t offset_ = 0;  // the file offset of the window's first byte
    bool atEnd_ = false;
    bool failed_ = false;
    bool cut_ = false;
    bool ended_ = false;
    char long_[kMaxEntryLine + 1];  // the start of a line longer than the window
};

}  // namespace tolmark
