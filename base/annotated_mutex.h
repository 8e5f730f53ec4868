#pragma once
// A mutex the thread-safety analysis knows, and its scoped hold.

#include <mutex>

#include "base/thread_annotations.h"

namespace tolmark {

class CAPABILITY("mutex") Mutex {
public:
    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

class SCOPED_CAPABILITY Hold {
public:
    explicit Hold(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Hold() RELEASE() { mutex_.unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

private:
    Mutex& mutex_;
};

}  // namespace tolmark
