#include "platform/udp_socket.h"

#include <gtest/gtest.h>
#include <net/if.h>

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

}  // namespace
}  // namespace tolmark::platform
