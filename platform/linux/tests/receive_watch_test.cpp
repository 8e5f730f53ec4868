// Blocking receives ended by the watch: a datagram, a deadline that passes, a stop of every
// receive in progress and of later ones, several threads at once.

#include "platform/receive_watch.h"

#include <gtest/gtest.h>

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

}  // namespace
}  // namespace tolmark::platform
