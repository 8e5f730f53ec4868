#pragma once
// A wake-up that ends waits at once: every wait that a stop or a reload must end also waits on
// one of these. Once signalled it stays signalled until reset.

#include <chrono>
#include <span>

#include "base/file_descriptor.h"

namespace tolmark::platform {

class WakeEvent {
public:
    WakeEvent();
    bool valid() const { return fd_.valid(); }
    void signal();
    void reset();
    bool signalled() const;
    int fd() const { return fd_.get(); }
    // Sleeps for the duration or until signalled; true when signalled.
    bool sleepFor(std::chrono::milliseconds duration) const;

private:
    FileDescriptor fd_;
};

enum class WaitResult { Readable, Timeout, Woken, Error };

// Waits until one of fds is readable, the wake event is signalled, or the time limit passes
// (negative: no limit). readable[i] is set for each readable fd (readable.size() == fds.size()).
WaitResult waitReadable(std::span<const int> fds, const WakeEvent* wake, int timeoutMs, std::span<bool> readable);

}  // namespace tolmark::platform
