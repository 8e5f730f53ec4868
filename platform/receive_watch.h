#pragma once
// Blocking receives that another thread cuts short. A thread that waits for one datagram at a
// time (a lock-step protocol such as TFTP) pays most for its waits: a poll with a time-out
// before every receive costs more than the receive itself. Here the thread blocks in the
// receive alone, with no timer of its own; the watch keeps the deadline of every receive in
// progress and interrupts the receiving thread once that deadline has passed, or at once for
// every receive when the owner stops.
//
// Before it blocks, a receive asks the socket again for a few tens of microseconds. A peer on
// the same host or link answers a lock-step exchange within that time, and a thread that slept
// meanwhile pays a wake-up (on a virtual machine an interrupt to a halted CPU) that costs more
// CPU time than the asking, and delays the exchange by far more. Only while no more receivers
// exist than half the CPUs (at least one) is this done, so that a crowd of transfers never spins
// against each other, and between two askings any other thread ready to run on the CPU goes
// first; a receiver whose datagrams keep coming later than that stops asking for a while.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>

#include "platform/wake_event.h"

namespace tolmark::platform {

class ReceiveWatch {
public:
    ReceiveWatch();
    // Ends the watch thread; every Waiter must be gone.
    ~ReceiveWatch();
    ReceiveWatch(const ReceiveWatch&) = delete;
    ReceiveWatch& operator=(const ReceiveWatch&) = delete;

    // Cuts short every receive in progress and every later one, until resume.
    void interruptAll();
    void resume();

    // Milliseconds of the steady clock that deadlines are given in.
    static std::int64_t nowMs();

    // How long a receive asks before it blocks, and after how many late datagrams in a row a
    // receiver skips the asking for kSpinSkip receives.
    static constexpr std::int64_t kSpinMicros = 50;
    static constexpr int kSpinMisses = 4;
    static constexpr int kSpinSkip = 64;

    // The registration of one receiving thread: made, used and destroyed on that thread.
    class Waiter {
    public:
        explicit Waiter(ReceiveWatch& watch);
        ~Waiter();
        Waiter(const Waiter&) = delete;
        Waiter& operator=(const Waiter&) = delete;

        // One datagram from the socket (blocking), waiting until deadlineMs at the latest.
        // Returns its length, or -1 with errno: EAGAIN once the deadline has passed, ECANCELED
        // when the watch interrupts everything, others as the receive reported them.
        long receive(int fd, std::uint8_t* buffer, std::size_t capacity, std::int64_t deadlineMs);

    private:
        friend class ReceiveWatch;
        long receiveUnwatched(int fd, std::uint8_t* buffer, std::size_t capacity, std::int64_t deadlineMs);
        // The datagram if it comes within kSpinMicros (its length), else -1 (errno EAGAIN) with
        // nothing taken.
        long spin(int fd, std::uint8_t* buffer, std::size_t capacity);
        ReceiveWatch& watch_;
        unsigned long thread_;                // the receiving thread (pthread_t)
        std::atomic<std::int64_t> armed_{0};  // deadline of the receive in progress, 0 for none
        // Guarded by the watch's lock: the receive last signalled (by its deadline), when, and
        // the pause before the next signal.
        std::int64_t signalledFor_ = 0;
        std::int64_t signalledAt_ = 0;
        std::int64_t retryMs_ = 0;
        std::list<Waiter*>::iterator entry_;
        int misses_ = 0;  // late datagrams in a row
        int skip_ = 0;    // receives left that block at once
    };

private:
    void run();
    // Interrupts the threads whose time is up; returns when to look again.
    std::int64_t scanLocked(std::int64_t now);

    std::mutex lock_;  // guards waiters_, the waiters' signalledAt_ and thread_ start
    std::list<Waiter*> waiters_;
    std::atomic<int> waiterCount_{0};
    const int spinners_;  // receivers allowed to spin: half the CPUs, at least one
    WakeEvent poke_;
    std::atomic<bool> quit_{false};
    std::atomic<bool> interrupting_{false};
    std::atomic<bool> watching_{false};         // the watch thread runs
    std::atomic<std::int64_t> plannedWake_{0};  // when the watch looks next
    std::thread thread_;
};

}  // namespace tolmark::platform
