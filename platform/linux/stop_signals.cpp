#include <signal.h>
#include <sys/signalfd.h>

#include "platform/stop_signals.h"

namespace tolmark::platform {
namespace {

sigset_t stopSet() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGQUIT);
    sigaddset(&set, SIGTERM);
    return set;
}

}  // namespace

StopSignals::StopSignals() {
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
                else if (info.ssi_signo == SIGTERM)
                    handler(StopSignal::Terminate);
            }
        }
    });
    return true;
}

}  // namespace tolmark::platform
