#include <signal.h>
#include <sys/signalfd.h>

#include "platform/stop_signals.h"

namespace tolmark::platform {
namespace {

// A hangup (the terminal of a console run closed) would otherwise end the process on the
// spot, without the last save of the client table: it stops the server as SIGTERM does.
// Under nohup (SIGHUP ignored) it stays ignored: a blocked signal is queued even so.
bool hangupStops() {
    struct sigaction current {};
    return ::sigaction(SIGHUP, nullptr, &current) == 0 && current.sa_handler != SIG_IGN;
}

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGTERM);
    if (hangupStops()) sigaddset(&set, SIGHUP);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
    // A write to a pipe or socket whose reader is gone (the console piped into a pager that
    // quit) fails with EPIPE, and one beyond the file size limit (ulimit -f) with EFBIG, as a
    // full disk fails it, instead of ending the process unsaved.
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
    sigset_t set = stopSet();
    ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signalFd_.reset(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

StopSignals::~StopSignals() { stop(); }

void StopSignals::stop() {
    quit_.signal();
    if (thread_.joinable()) thread_.join();
}

bool StopSignals::start(std::function<void(StopSignal)> handler) {
    if (!signalFd_ || !quit_.valid()) return false;
    thread_ = std::thread([this, handler = std::move(handler)] {
        const int fds[1] = {signalFd_.get()};
        bool readable[1];
        for (;;) {
            WaitResult r = waitReadable(fds, &quit_, -1, readable);
            if (r == WaitResult::Woken || r == WaitResult::Error) return;
            signalfd_siginfo info;
            while (::read(signalFd_.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
                if (info.ssi_signo == SIGINT)
                    handler(StopSignal::Interrupt);
                else if (info.ssi_signo == SIGQUIT)
                    handler(StopSignal::Quit);
                else if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGHUP)
                    handler(StopSignal::Terminate);
            }
        }
    });
    return true;
}

}  // namespace tolmark::platform
