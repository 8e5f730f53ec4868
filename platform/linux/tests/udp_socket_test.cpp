#include "platform/udp_socket.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <algorithm>
#include <span>
#include <vector>

#include "platform/wake_event.h"

namespace tolmark::platform {
namespace {

const Ipv4 kLoopback = makeIpv4(127, 0, 0, 1);

TEST(UdpSocket, PortRangeStepsOverPortsInUse) {
    UdpSocket first = openBoundUdpSocket(kLoopback, 0);
    ASSERT_TRUE(first.valid());
    std::uint16_t taken = first.localPort();
    if (taken > 65000) GTEST_SKIP() << "kernel picked a port at the top of the range";
    std::uint16_t bound = 0;
    UdpSocket next = openBoundUdpSocketInRange(kLoopback, taken, static_cast<std::uint16_t>(taken + 20), &bound);
    ASSERT_TRUE(next.valid());
    EXPECT_GT(bound, taken);
    EXPECT_EQ(next.localPort(), bound);
    // Running past the last port, or a range that is upside down, fails.
    EXPECT_FALSE(openBoundUdpSocketInRange(kLoopback, taken, taken).valid());
    EXPECT_FALSE(openBoundUdpSocketInRange(kLoopback, 10, 9).valid());
}

TEST(UdpSocket, ReportsArrivalInterfaceAndDestination) {
    UdpSocket server = openBoundUdpSocket(0, 0);
    ASSERT_TRUE(server.valid());
    ASSERT_TRUE(server.enablePacketInfo());
    UdpSocket client = openBoundUdpSocket(makeIpv4(127, 0, 0, 9), 0);
    ASSERT_TRUE(client.valid());
    const std::uint8_t data[3] = {1, 2, 3};
    ASSERT_TRUE(client.send(data, sizeof data, makeIpv4(127, 0, 0, 4), server.localPort()));
    std::uint8_t buffer[16];
    DatagramInfo info;
    ASSERT_EQ(server.receive(buffer, sizeof buffer, info), 3);
    EXPECT_EQ(info.source, makeIpv4(127, 0, 0, 9));
    EXPECT_EQ(info.sourcePort, client.localPort());
    EXPECT_EQ(info.destination, makeIpv4(127, 0, 0, 4));
    EXPECT_EQ(info.ifIndex, static_cast<int>(if_nametoindex("lo")));
    // A reply from a chosen source address.
    ASSERT_TRUE(server.send(data, 2, info.source, info.sourcePort, makeIpv4(127, 0, 0, 4), 0));
    DatagramInfo back;
    ASSERT_EQ(client.receive(buffer, sizeof buffer, back), 2);
    EXPECT_EQ(back.source, makeIpv4(127, 0, 0, 4));
}

TEST(WakeEvent, EndsAWaitAtOnceAndStaysSignalled) {
    WakeEvent wake;
    ASSERT_TRUE(wake.valid());
    UdpSocket idle = openBoundUdpSocket(kLoopback, 0);
    const int fds[1] = {idle.fd()};
    bool readable[1];
    EXPECT_EQ(waitReadable(fds, &wake, 10, readable), WaitResult::Timeout);
    wake.signal();
    EXPECT_EQ(waitReadable(fds, &wake, -1, readable), WaitResult::Woken);
    EXPECT_TRUE(wake.sleepFor(std::chrono::seconds(5)));
    wake.reset();
    EXPECT_FALSE(wake.signalled());
}

TEST(UdpSocket, BatchesArriveWholeAndInOrder) {
    // Datagrams of one size with a shorter last (one segmented send), mixed sizes (one message
    // each), an empty one, and more than one call takes: each arrives as it was sent.
    UdpSocket receiver = openBoundUdpSocket(kLoopback, 0);
    UdpSocket sender = openBoundUdpSocket(kLoopback, 0);
    ASSERT_TRUE(receiver.valid() && sender.valid());
    ASSERT_TRUE(sender.connect(kLoopback, receiver.localPort()));
    for (const std::vector<std::size_t>& sizes : std::vector<std::vector<std::size_t>>{
             {516, 516, 516, 100}, {1472, 10, 1472, 1472, 4, 0}, std::vector<std::size_t>(150, 8196)}) {
        std::vector<std::vector<std::uint8_t>> data;
        std::vector<DatagramParts> parts;
        std::uint8_t heads[200][4];
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            std::uint8_t* head = heads[i];
            for (int k = 0; k < 4; ++k) head[k] = static_cast<std::uint8_t>(i + k);
            const std::size_t headLength = std::min<std::size_t>(4, sizes[i]);
            data.emplace_back(sizes[i] - headLength, static_cast<std::uint8_t>(i * 3));
            parts.push_back({head, headLength, data.back().data(), data.back().size()});
        }
        // What fits the receiver's buffer at a time.
        for (std::size_t at = 0; at < parts.size(); at += 16) {
            const std::size_t count = std::min<std::size_t>(16, parts.size() - at);
            ASSERT_EQ(sender.sendBatch(std::span<const DatagramParts>(parts).subspan(at, count)), count);
            for (std::size_t i = at; i < at + count; ++i) {
                std::vector<std::uint8_t> got(70000);
                DatagramInfo info;
                const long n = receiver.receive(got.data(), got.size(), info, true);
                ASSERT_EQ(n, static_cast<long>(sizes[i])) << i;
                EXPECT_TRUE(std::equal(parts[i].head, parts[i].head + parts[i].headLength, got.begin())) << i;
                EXPECT_TRUE(std::equal(data[i].begin(), data[i].end(), got.begin() + parts[i].headLength)) << i;
            }
        }
    }
}

TEST(UdpSocket, SharedPortConnectedToTwoPeers) {
    UdpSocket first = openBoundUdpSocket(kLoopback, 0);
    ASSERT_TRUE(first.valid());
    const std::uint16_t port = first.localPort();
    // Nobody joins a port that was not shared.
    EXPECT_FALSE(openSharedUdpSocket(kLoopback, port).valid());
    ASSERT_TRUE(first.sharePort());
    UdpSocket second = openSharedUdpSocket(kLoopback, port);
    ASSERT_TRUE(second.valid());
    EXPECT_EQ(second.localPort(), port);
    UdpSocket peerA = openBoundUdpSocket(kLoopback, 0);
    UdpSocket peerB = openBoundUdpSocket(kLoopback, 0);
    ASSERT_TRUE(first.connect(kLoopback, peerA.localPort()));
    ASSERT_TRUE(second.connect(kLoopback, peerB.localPort()));
    // Each receives only what its own peer sends; both answer from the shared port.
    const std::uint8_t a = 'a', b = 'b';
    ASSERT_TRUE(peerB.send(&b, 1, kLoopback, port));
    ASSERT_TRUE(peerA.send(&a, 1, kLoopback, port));
    std::uint8_t got = 0;
    ASSERT_EQ(first.receiveConnected(&got, 1, false), 1);
    EXPECT_EQ(got, 'a');
    ASSERT_EQ(second.receiveConnected(&got, 1, false), 1);
    EXPECT_EQ(got, 'b');
    ASSERT_TRUE(second.sendParts(&b, 1, nullptr, 0));
    DatagramInfo info;
    ASSERT_EQ(peerB.receive(&got, 1, info), 1);
    EXPECT_EQ(info.sourcePort, port);
}

}  // namespace
}  // namespace tolmark::platform
