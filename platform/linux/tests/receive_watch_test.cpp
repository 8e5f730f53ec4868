// Blocking receives ended by the watch: a datagram, a deadline that passes, a stop of every
// receive in progress and of later ones, several threads at once; the short asking before a
// receive blocks.

#include "platform/receive_watch.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <time.h>

#include <cerrno>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"

namespace tolmark::platform {
namespace {

const Ipv4 kLoopback = makeIpv4(127, 0, 0, 1);

struct Pair {
    UdpSocket server = openBoundUdpSocket(kLoopback, 0);
    UdpSocket client = openBoundUdpSocket(kLoopback, 0);
    Pair() { server.connect(kLoopback, client.localPort()); }
    void send(std::uint8_t byte) { client.send(&byte, 1, kLoopback, server.localPort()); }
};

// What a receive on its own thread ended with: the length, or -errno.
long receiveOnThread(ReceiveWatch& watch, int fd, std::int64_t waitMs) {
    long result = 0;
    std::thread([&] {
        ReceiveWatch::Waiter waiter(watch);
        std::uint8_t buffer[8];
        const long n = waiter.receive(fd, buffer, sizeof buffer, ReceiveWatch::nowMs() + waitMs);
        result = n >= 0 ? n : -errno;
    }).join();
    return result;
}

TEST(ReceiveWatch, DatagramsDeadlinesAndStops) {
    ReceiveWatch watch;
    Pair pair;
    pair.send(7);
    EXPECT_EQ(receiveOnThread(watch, pair.server.fd(), 60000), 1);
    // Nothing arrives: the deadline ends the receive, also one that has passed already.
    EXPECT_EQ(receiveOnThread(watch, pair.server.fd(), 30), -EAGAIN);
    EXPECT_EQ(receiveOnThread(watch, pair.server.fd(), 0), -EAGAIN);

    // Several threads blocked with a deadline a minute away end when everything is interrupted.
    std::vector<Pair> pairs(4);
    std::vector<long> results(pairs.size(), 0);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < pairs.size(); ++i)
        threads.emplace_back([&, i] { results[i] = receiveOnThread(watch, pairs[i].server.fd(), 60000); });
    pairs[0].send(1);  // this one may still get its datagram first
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    watch.interruptAll();
    for (std::thread& t : threads) t.join();
    EXPECT_TRUE(results[0] == 1 || results[0] == -ECANCELED) << results[0];
    for (std::size_t i = 1; i < results.size(); ++i) EXPECT_EQ(results[i], -ECANCELED);
    // Later receives end at once until resumed, even with a datagram waiting.
    pair.send(8);
    EXPECT_EQ(receiveOnThread(watch, pair.server.fd(), 60000), -ECANCELED);
    watch.resume();
    EXPECT_EQ(receiveOnThread(watch, pair.server.fd(), 60000), 1);
}

std::int64_t threadCpuMicros() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// A lock-step exchange with a peer that answers at once (taken while asking) and one that
// answers late (taken by the blocking receive) loses and reorders nothing, and the asking is
// bounded: a receive that waits a long time for its datagram spends almost no CPU time on it.
TEST(ReceiveWatch, AskingBeforeBlockingIsBounded) {
    ReceiveWatch watch;
    Pair pair;
    constexpr int kRounds = 200;
    std::vector<int> got;
    std::int64_t longWaitCpu = 0;
    std::thread receiver([&] {
        ReceiveWatch::Waiter waiter(watch);
        std::uint8_t buffer[8];
        for (int i = 0; i < kRounds + 1; ++i) {
            const std::int64_t cpuBefore = threadCpuMicros();
            const long n = waiter.receive(pair.server.fd(), buffer, sizeof buffer, ReceiveWatch::nowMs() + 5000);
            if (i == kRounds) longWaitCpu = threadCpuMicros() - cpuBefore;
            if (n != 1) break;
            got.push_back(buffer[0]);
            pair.server.sendParts(buffer, 1, nullptr, 0);  // the answer the peer waits for
        }
    });
    std::uint8_t answer = 0;
    DatagramInfo info;
    for (int i = 0; i < kRounds + 1; ++i) {
        // Every tenth round the peer is slow, as on a far link; the last round it is very slow.
        if (i % 10 == 9) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (i == kRounds) std::this_thread::sleep_for(std::chrono::milliseconds(300));
        pair.send(static_cast<std::uint8_t>(i));
        pollfd ready{pair.client.fd(), POLLIN, 0};
        if (::poll(&ready, 1, 5000) != 1 || pair.client.receive(&answer, 1, info) != 1) break;
    }
    receiver.join();
    ASSERT_EQ(got.size(), static_cast<std::size_t>(kRounds + 1));
    for (int i = 0; i < kRounds + 1; ++i) EXPECT_EQ(got[static_cast<std::size_t>(i)], i % 256);
    EXPECT_LT(longWaitCpu, 30000) << "a 300 ms wait cost " << longWaitCpu << " us of CPU time";
}

}  // namespace
}  // namespace tolmark::platform
