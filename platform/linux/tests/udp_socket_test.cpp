#include "platform/udp_socket.h"

#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <utility>
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

// How many of the ways to bind port (on the wildcard and on 127.0.0.1, with no option,
// SO_REUSEADDR, SO_REUSEPORT or both) succeed for a process of another user; -1 when that
// cannot be tried.
int bindsAsAnotherUser(std::uint16_t port) {
    if (::geteuid() != 0) return -1;
    const pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(100);
        int bound = 0;
        for (const Ipv4 address : {Ipv4{0}, kLoopback}) {
            for (const int options : {0, 1, 2, 3}) {
                const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
                const int on = 1;
                if ((options & 1) != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
                if ((options & 2) != 0) ::setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
                sockaddr_in sa{};
                sa.sin_family = AF_INET;
                sa.sin_port = htons(port);
                sa.sin_addr.s_addr = address;
                if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) ++bound;
                ::close(fd);
            }
        }
        ::_exit(bound);
    }
    int status = 0;
    if (::waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) == 100) return -1;
    return WEXITSTATUS(status);
}

// Confines the ports the system may give a socket (Linux 6.3; not in the C library's headers).
constexpr int kIpLocalPortRange = 51;

// Whether a socket that asks the system for a port, confined to `port` alone, is given it.
// -1 when the system cannot confine the choice.
int autobindLands(std::uint16_t port, int reuse, bool byConnect) {
    UdpSocket socket(FileDescriptor(::socket(AF_INET, SOCK_DGRAM, 0)));
    const unsigned range = port | (static_cast<unsigned>(port) << 16);
    if (::setsockopt(socket.fd(), IPPROTO_IP, kIpLocalPortRange, &range, sizeof range) != 0) return -1;
    const int on = 1;
    if (reuse != 0) ::setsockopt(socket.fd(), SOL_SOCKET, reuse, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    if (byConnect) return socket.connect(kLoopback, 9) && socket.localPort() == port ? 1 : 0;
    return ::bind(socket.fd(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && socket.localPort() == port ? 1 : 0;
}

TEST(UdpSocket, SharedPortConnectedToTwoPeers) {
    UdpSocket first = openBoundUdpSocket(0, 0);
    ASSERT_TRUE(first.valid());
    const std::uint16_t port = first.localPort();
    // Nobody joins a port that was not shared.
    EXPECT_FALSE(openGroupUdpSocket(0, port).valid());
    EXPECT_FALSE(openSharedUdpSocket(0, port).valid());
    ASSERT_TRUE(first.sharePort());
    // Only the process's own sockets join, and not through SO_REUSEADDR alone.
    EXPECT_FALSE(openSharedUdpSocket(0, port).valid());
    EXPECT_FALSE(openSharedUdpSocket(kLoopback, port).valid());
    UdpSocket second = openGroupUdpSocket(0, port);
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

    // More sockets on the port, one of them still unconnected while the peers send: each
    // connected one still gets all of its own peer's datagrams and nothing else, and what a
    // stranger sends reaches none of them.
    std::vector<UdpSocket> members;
    std::vector<UdpSocket> peers;
    members.push_back(std::move(first));
    members.push_back(std::move(second));
    peers.push_back(std::move(peerA));
    peers.push_back(std::move(peerB));
    for (int i = 0; i < 4; ++i) {
        members.push_back(openGroupUdpSocket(0, port));
        peers.push_back(openBoundUdpSocket(kLoopback, 0));
        ASSERT_TRUE(members.back().valid() && peers.back().valid());
        ASSERT_TRUE(members.back().connect(kLoopback, peers.back().localPort()));
    }
    UdpSocket unconnected = openGroupUdpSocket(0, port);
    ASSERT_TRUE(unconnected.valid());
    UdpSocket stranger = openBoundUdpSocket(kLoopback, 0);
    for (std::uint8_t round = 0; round < 10; ++round) {
        for (std::size_t i = 0; i < peers.size(); ++i) {
            const std::uint8_t tag = static_cast<std::uint8_t>(i * 16 + round);
            ASSERT_TRUE(peers[i].send(&tag, 1, kLoopback, port));
        }
        ASSERT_TRUE(stranger.send(&round, 1, kLoopback, port));
    }
    unconnected.close();
    for (std::size_t i = 0; i < members.size(); ++i) {
        for (std::uint8_t round = 0; round < 10; ++round) {
            ASSERT_EQ(members[i].receiveConnected(&got, 1, false), 1) << i;
            EXPECT_EQ(got, i * 16 + round) << i;
        }
        EXPECT_EQ(members[i].receiveConnected(&got, 1, true), -1) << i;
    }

    // A socket given a port by the system never lands on the shared one: not with SO_REUSEADDR,
    // and not when it is given one by connecting.
    for (const auto& [reuse, byConnect] : {std::pair{0, false}, {SO_REUSEADDR, false}, {0, true}}) {
        const int lands = autobindLands(port, reuse, byConnect);
        if (lands < 0) {
            std::printf("skipped: this system cannot confine a socket's port range\n");
            break;
        }
        EXPECT_EQ(lands, 0) << reuse << byConnect;
    }

    // Another user cannot bind the port in any way.
    const int bound = bindsAsAnotherUser(port);
    if (bound < 0) {
        std::printf("skipped: binding as another user needs root\n");
    } else {
        EXPECT_EQ(bound, 0);
    }
}

}  // namespace
}  // namespace tolmark::platform
