#include "server/leases/line_window.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>

namespace tolmark {

// The characters a line keeps; `ended`: it was ended by "\n".
std::string_view LineWindow::trimmed(const char* text, std::size_t physical, bool ended) {
    std::size_t kept = std::min(physical, kMaxEntryLine + 1);
    const bool carriageReturn = ended && kept != 0 && text[kept - 1] == '\r' && physical == kept;
    if (carriageReturn) --kept;
    ended_ = ended;
    cut_ = physical - (carriageReturn ? 1 : 0) > kMaxEntryLine;
    return {text, std::min(kept, kMaxEntryLine)};
}

bool LineWindow::open(int fd, std::uint64_t fileSize, std::size_t smallest, std::size_t largest) {
    fd_ = fd;
    smallest = std::max(smallest, kMaxEntryLine + 1);
    largest = std::max(largest, smallest);
    // One byte more than the file, so that the first read already meets the end.
    std::size_t capacity = static_cast<std::size_t>(std::clamp<std::uint64_t>(fileSize + 1, smallest, largest));
    for (;; capacity = smallest) {
        buffer_.reset(new (std::nothrow) char[capacity]);
        if (buffer_ != nullptr || capacity == smallest) break;
    }
    capacity_ = buffer_ != nullptr ? capacity : 0;
    return buffer_ != nullptr;
}

std::size_t LineWindow::linesInWindow() const {
    std::size_t lines = 0;
    const char* end = buffer_.get() + end_;
    for (const char* p = buffer_.get() + begin_;
         (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)))) != nullptr; ++p)
        ++lines;
    return lines;
}

bool LineWindow::next(std::string_view& line, std::uint64_t& lineStart) {
    if (buffer_ == nullptr) return false;
    lineStart = offset_ + begin_;
    for (;;) {
        const char* from = buffer_.get() + begin_;
        if (const auto* end = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_))) {
            line = trimmed(from, static_cast<std::size_t>(end - from), true);
            begin_ = static_cast<std::size_t>(end - buffer_.get()) + 1;
            return true;
        }
        if (atEnd_) {
            if (begin_ == end_) return false;
            line = trimmed(from, end_ - begin_, false);
            begin_ = end_;
            return true;
        }
        if (begin_ == 0 && end_ == capacity_) return longLine(line);
        refill();
    }
}

// Moves what is left to the front and reads behind it. False when nothing more came.
bool LineWindow::refill() {
    if (begin_ != 0) {
        std::memmove(buffer_.get(), buffer_.get() + begin_, end_ - begin_);
        offset_ += begin_;
        end_ -= begin_;
        begin_ = 0;
    }
    for (;;) {
        const ssize_t n = ::read(fd_, buffer_.get() + end_, capacity_ - end_);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) failed_ = true;
        if (n <= 0) {
            atEnd_ = true;
            return false;
        }
        end_ += static_cast<std::size_t>(n);
        return true;
    }
}

// A line longer than the whole window: its first characters are kept aside and the rest is
// passed over up to its line break.
bool LineWindow::longLine(std::string_view& line) {
    std::memcpy(long_, buffer_.get(), sizeof long_);
    std::size_t physical = 0;
    for (;;) {
        const char* from = buffer_.get() + begin_;
        if (const auto* end = static_cast<const char*>(std::memchr(from, '\n', end_ - begin_))) {
            physical += static_cast<std::size_t>(end - from);
            begin_ = static_cast<std::size_t>(end - buffer_.get()) + 1;
            line = trimmed(long_, physical, true);
            return true;
        }
        physical += end_ - begin_;
        begin_ = end_;
        if (!refill()) {
            line = trimmed(long_, physical, false);
            return true;
        }
    }
}

}  // namespace tolmark
