#pragma once
// Turns the stop signals into calls on a normal thread: SIGINT and SIGQUIT are the console's
// stop keys, SIGTERM is the service manager's stop, SIGHUP (a closed terminal) stops as SIGTERM
// does unless it was ignored at start; SIGPIPE and SIGXFSZ are ignored (a write to a reader that
// is gone, or beyond the file size limit, fails instead). Nothing but the kernel's queueing
// happens at signal time.

#include <functional>
#include <thread>

#include "base/file_descriptor.h"
#include "platform/wake_event.h"

namespace tolmark::platform {

enum class StopSignal { Interrupt, Quit, Terminate };

class StopSignals {
public:
    // Blocks the signals in the calling thread; call before any other thread starts, so that
    // every thread inherits the mask.
    StopSignals();
    ~StopSignals();
    // Starts the thread that calls handler for each signal received.
    bool start(std::function<void(StopSignal)> handler);
    // Ends the thread and waits for a handler call in progress to return; whatever the handler
    // touches may be destroyed afterwards.
    void stop();

private:
    FileDescriptor signalFd_;
    WakeEvent quit_;
    std::thread thread_;
};

}  // namespace tolmark::platform
