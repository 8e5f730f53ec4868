// The listener on loopback with a minimal client: unusable datagrams, refusals from the
// listening port, repeated requests, the transfer list and an immediate stop.

#include "server/tftp/tftp_server.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "config/tests/temp_directory.h"
#include "tests/support/fakes.h"

namespace tolmark::tftp {
namespace {

using Bytes = std::vector<std::uint8_t>;
const Ipv4 kLoopback = makeIpv4(127, 0, 0, 1);

Bytes request(unsigned opcode, const std::string& name, std::vector<std::string> options = {}) {
    std::string b{'\0', static_cast<char>(opcode)};
    b += name + '\0' + "octet" + '\0';
    for (const std::string& o : options) b += o + '\0';
    return Bytes(b.begin(), b.end());
}

Bytes errorPacket(std::uint8_t code, const std::string& text) {
    std::string b{'\0', '\5', '\0', static_cast<char>(code)};
    b += text;
    b.push_back('\0');
    return Bytes(b.begin(), b.end());
}

struct Client {
    platform::UdpSocket socket = platform::openBoundUdpSocket(kLoopback, 0);
    void send(const Bytes& b, std::uint16_t port) { socket.send(b.data(), b.size(), kLoopback, port); }
    // One datagram within the time limit; empty when none came.
    Bytes receive(int timeoutMs, std::uint16_t* fromPort = nullptr) {
        pollfd p{socket.fd(), POLLIN, 0};
        if (::poll(&p, 1, timeoutMs) <= 0) return {};
        std::uint8_t buffer[2048];
        platform::DatagramInfo info;
        const long n = socket.receive(buffer, sizeof buffer, info);
        if (fromPort) *fromPort = info.sourcePort;
        return n < 0 ? Bytes{} : Bytes(buffer, buffer + n);
    }
};

// Keeps the test's thread, and the server's threads it starts meanwhile, on one CPU: there the
// thread that takes a packet off a transfer's socket often runs only after the listener has
// taken the client's next request.
struct OneCpu {
    cpu_set_t saved{};
    OneCpu() {
        ::sched_getaffinity(0, sizeof saved, &saved);
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(::sched_getcpu(), &one);
        ::sched_setaffinity(0, sizeof one, &one);
    }
    ~OneCpu() { ::sched_setaffinity(0, sizeof saved, &saved); }
};

class Listener : public ::testing::Test {
protected:
    void SetUp() override {
        testing::writeFile(tmp.file("file.bin"), std::string(3000, 'f'));
        settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings&) {
            t.enable = 1;
            t.port = 0;
            t.mode = 0;
            t.directory = tmp.path();
            t.timeout = 1;
            t.retransmit = 1;
            return 0;
        });
    }
    void start(std::size_t bufferBudget = kDefaultBufferBudget, std::int32_t maxWindow = kDefaultMaxWindow) {
        server = std::make_unique<TftpServer>(TftpServerEnvironment{.settings = settings,
                                                                    .log = log,
                                                                    .clock = clock,
                                                                    .maxWindow = [maxWindow] { return maxWindow; },
                                                                    .bufferBudget = bufferBudget,
                                                                    .bindAddress = kLoopback});
        ASSERT_TRUE(server->start());
    }
    // Reads file.bin to its end, acknowledging every block (the last only with ackLast); false
    // when a block does not come in time (the first within firstWaitMs).
    bool fetch(Client& client, int firstWaitMs = 2000, bool ackLast = true) {
        client.send(request(1, "file.bin"), server->port());
        std::uint16_t port = 0;
        for (unsigned block = 1; block <= 6; ++block) {
            const Bytes d = client.receive(block == 1 ? firstWaitMs : 2000, &port);
            if (d.size() < 4) return false;
            const Bytes ack{0, 4, d[2], d[3]};
            if (ackLast || d.size() == 516) client.socket.send(ack.data(), ack.size(), kLoopback, port);
            if (d.size() < 516) return true;
        }
        return false;
    }
    bool waitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 300 && !condition(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return condition();
    }

    testing::TempDirectory tmp;
    SettingsHolder settings;
    testing::LockedLog log{2};
    testing::FakeClock clock;
    std::unique_ptr<TftpServer> server;
};

TEST_F(Listener, TransferListRepeatedRequestsAndStop) {
    settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings&) {
        t.timeout = 255;  // only a stop can end the wait for the first ACK in time
        return 0;
    });
    // A killed server's upload left its working file in the root (no process has that number).
    const std::string leftover = uploadWorkingName("file.bin", 0x7ffffffe, 0);
    testing::writeFile(tmp.file(leftover), "half");
    start();
    EXPECT_TRUE(log.has("TFTP  Removed " + tmp.path() + leftover + ", left by an upload that never ended\n"));
    EXPECT_FALSE(std::filesystem::exists(tmp.file(leftover)));
    Client client;
    // Datagrams too short for a request are dropped and the listener goes on; a refusal comes
    // from the listening port.
    client.send({}, server->port());
    client.send({0}, server->port());
    client.send(request(1, "missing"), server->port());
    std::uint16_t from = 0;
    EXPECT_EQ(client.receive(2000, &from), errorPacket(1, "File not found"));
    EXPECT_EQ(from, server->port());
    client.send(request(1, "file.bin"), server->port());
    std::uint16_t dataPort = 0;
    const Bytes first = client.receive(2000, &dataPort);
    ASSERT_EQ(first.size(), 4u + 512u);
    EXPECT_NE(dataPort, server->port());
    // The request again while its transfer runs: no second transfer.
    client.send(request(1, "file.bin"), server->port());
    EXPECT_TRUE(waitFor([&] { return log.has("TFTP  Error   request from 127.0.0.1 ignored, 1\n"); }));
    EXPECT_EQ(server->transferCount(), 1);
    const std::optional<TransferImage> running = server->transfer(0);
    ASSERT_TRUE(running);
    EXPECT_EQ(running->outcome, kRunning);
    EXPECT_EQ(running->path, tmp.path() + "file.bin");
    EXPECT_EQ(running->size, 3000u);
    EXPECT_EQ(running->socket, dataPort);
    EXPECT_FALSE(server->transfer(1));

    const auto before = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(2));
    EXPECT_EQ(server->transferCount(), -1);
    const std::optional<TransferImage> ended = server->transfer(0);
    ASSERT_TRUE(ended);
    EXPECT_EQ(ended->thread, -1);
    EXPECT_EQ(ended->outcome, kOutcomeFailure);
    EXPECT_TRUE(log.has("TFTP  Error   127.0.0.1  Get/octet  " + tmp.path() + "file.bin\n"));
}

// A boot client asks for the size alone, refuses the OACK with an ERROR and asks again at once,
// from the same port, with other options: that is a new request, not a repetition.
TEST_F(Listener, ANewRequestFromThePortOfAnEndingTransfer) {
    const OneCpu oneCpu;
    start();
    Client client;
    client.send(request(1, "file.bin", {"tsize", "0"}), server->port());
    std::uint16_t dataPort = 0;
    const Bytes oack = client.receive(2000, &dataPort);
    ASSERT_EQ(oack, (Bytes{0, 6, 't', 's', 'i', 'z', 'e', 0, '3', '0', '0', '0', 0}));
    // The listener may see the new request before the transfer has taken in the ERROR.
    client.send(request(1, "file.bin", {"blksize", "1456"}), server->port());
    client.send(errorPacket(8, "TFTP Aborted"), dataPort);
    const Bytes second = client.receive(1000, &dataPort);
    EXPECT_EQ(std::string(second.begin(), second.end()), std::string("\0\6blksize\0001456\0", 15));
    EXPECT_FALSE(log.has("TFTP  Error   request from 127.0.0.1 ignored, 1\n"));
    client.send(errorPacket(0, "done"), dataPort);
    ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
    // The very same request right after the ERROR: the ERROR waiting on the data port tells it
    // from a repetition, also before the transfer has taken it in. In the instant between the
    // transfer's thread taking the ERROR off its socket and noting it, the request still reads
    // as a repetition, and the client asks again after its time-out: a few rounds may need that,
    // where without the look at the socket most of them did.
    int late = 0;
    for (int round = 0; round < 20; ++round) {
        client.send(request(1, "file.bin", {"tsize", "0"}), server->port());
        ASSERT_EQ(client.receive(2000, &dataPort), oack);
        client.send(errorPacket(8, "tsize only"), dataPort);
        client.send(request(1, "file.bin", {"tsize", "0"}), server->port());
        if (client.receive(500, &dataPort) != oack) {
            ++late;
            client.send(request(1, "file.bin", {"tsize", "0"}), server->port());
            ASSERT_EQ(client.receive(2000, &dataPort), oack) << round;
        }
        client.send(errorPacket(0, "done"), dataPort);
        ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
    }
    EXPECT_LE(late, 5);

    // A download whose last block the client has acknowledged is over: the same request at once
    // from the same port (a boot loader that reads a file twice) is a new download, also before
    // the transfer's thread has taken in that last ACK.
    late = 0;
    for (int round = 0; round < 20; ++round) {
        ASSERT_TRUE(fetch(client)) << round;
        if (!fetch(client, 500)) {
            ++late;
            ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
            ASSERT_TRUE(fetch(client)) << round;
        }
        ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
    }
    EXPECT_LE(late, 5);

    // The last ACK of a download is lost and the client asks again from its port: it has the
    // file, so the request is a new download served at once, and the first transfer ends as done
    // without sending its final block again (it would for ten seconds).
    settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings&) {
        t.retransmit = 10;
        return 0;
    });
    ASSERT_TRUE(fetch(client, 2000, false));
    ASSERT_TRUE(fetch(client, 500));
    EXPECT_TRUE(client.receive(1500).empty());
    ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
    std::size_t count = 0;
    while (server->transfer(count)) ++count;
    ASSERT_GE(count, 2u);
    EXPECT_EQ(server->transfer(count - 2)->outcome, kOutcomeDone);
    EXPECT_FALSE(log.has("TFTP  Timeout"));

    // A copy of the request of a one-block download comes after its block has gone out, before
    // the client has answered anything: a repetition, not a new download (whose block would
    // reach a client that has the file and may be asking for another from that port).
    testing::writeFile(tmp.file("small.bin"), "one block");
    client.send(request(1, "small.bin"), server->port());
    const Bytes block = client.receive(2000, &dataPort);
    ASSERT_EQ(block.size(), 4u + 9u);
    const std::string ignored = "TFTP  Error   request from 127.0.0.1 ignored, 1\n";
    const int ignoredBefore = log.count(ignored);
    client.send(request(1, "small.bin"), server->port());
    EXPECT_TRUE(waitFor([&] { return log.count(ignored) > ignoredBefore; }));
    EXPECT_TRUE(client.receive(300).empty());
    client.send({0, 4, 0, 1}, dataPort);
    ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
    EXPECT_EQ(server->transfer(count)->outcome, kOutcomeDone);
    EXPECT_FALSE(server->transfer(count + 1));

    // An upload is complete while it still waits a time-out for its last block repeated: the same
    // request again is a new one (here refused, since the file now exists).
    settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings&) {
        t.upload = 1;
        return 0;
    });
    Client uploader;
    uploader.send(request(2, "new.bin"), server->port());
    EXPECT_EQ(uploader.receive(2000, &dataPort), (Bytes{0, 4, 0, 0}));
    uploader.send({0, 3, 0, 1, 'x'}, dataPort);
    EXPECT_EQ(uploader.receive(2000), (Bytes{0, 4, 0, 1}));
    ASSERT_TRUE(waitFor([&] { return log.has("TFTP       0s 127.0.0.1  Put/octet  " + tmp.path() + "new.bin\n"); }));
    uploader.send(request(2, "new.bin"), server->port());
    EXPECT_EQ(uploader.receive(500), errorPacket(6, "File already exists"));
    EXPECT_TRUE(waitFor(
        [&] { return log.has("TFTP  Error   127.0.0.1  Put  6 File already exists " + tmp.path() + "new.bin\n"); }));
}

TEST_F(Listener, EndedTransfersLeaveTheListAfterFiveSeconds) {
    start();
    Client a;
    ASSERT_TRUE(fetch(a));
    ASSERT_TRUE(waitFor([&] { return server->transfer(0) && server->transfer(0)->thread == -1; }));
    EXPECT_EQ(server->transfer(0)->outcome, kOutcomeDone);
    clock.advance(5);
    Client b;
    ASSERT_TRUE(fetch(b));
    EXPECT_TRUE(server->transfer(1));  // not yet: ended exactly 5 seconds ago
    clock.advance(1);
    Client c;
    ASSERT_TRUE(fetch(c));
    EXPECT_TRUE(waitFor([&] { return !server->transfer(2); }));  // the first has left
    EXPECT_TRUE(log.has("TFTP       0s 127.0.0.1  Get/octet  " + tmp.path() + "file.bin\n"));

    // One that nobody read since it ended stays until a reader has had it (a manager whose read
    // comes a little late), a minute at most.
    ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
    clock.advance(100);
    ASSERT_TRUE(waitFor([&] { return !server->transfer(0); }));
    for (const bool readLate : {true, false}) {
        Client d;
        ASSERT_TRUE(fetch(d));
        ASSERT_TRUE(waitFor([&] { return server->transferCount() == 0; }));
        clock.advance(30);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // the listener's clean-ups ran
        if (readLate) {
            ASSERT_TRUE(server->transfer(0));
            clock.advance(6);
        } else {
            clock.advance(31);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_FALSE(server->transfer(0)) << readLate;
    }
}

TEST_F(Listener, WhatAPeerCannotDoToTheListener) {
    settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings&) {
        t.directory.pop_back();  // stored without its final "/"
        t.clients = 3;           // four slots, two for one address
        t.options = 1;
        return 0;
    });
    start(300000, 1000000);
    EXPECT_TRUE(log.has("TFTP  Error   TFTPMaxWindow 1000000 out of range, 256 used\n"));
    Client client;
    // Nothing but a request is answered on the listening port: no ERROR, DATA, ACK or OACK.
    for (const Bytes& b : {errorPacket(0, "x"), Bytes{0, 3, 0, 1, 'd'}, Bytes{0, 4, 0, 1}, Bytes{0, 6, 'a', 0}})
        client.send(b, server->port());
    EXPECT_TRUE(client.receive(300).empty());
    // A window is cut to what one transfer's buffers may hold; more than the buffers of all
    // transfers may hold is refused.
    client.send(request(1, "file.bin", {"blksize", "65464", "windowsize", "65535"}), server->port());
    EXPECT_EQ(client.receive(2000), errorPacket(0, "Resource problem on server"));
    EXPECT_TRUE(log.has("TFTP  malloc  (2094848) for client failed\n"));
    // The root composes as a directory; one address holds two slots of four.
    Client a, b, c;
    a.send(request(1, "file.bin"), server->port());
    b.send(request(1, "file.bin"), server->port());
    EXPECT_EQ(a.receive(2000).size(), 516u);
    EXPECT_EQ(b.receive(2000).size(), 516u);
    c.send(request(1, "file.bin"), server->port());
    EXPECT_TRUE(c.receive(300).empty());
    EXPECT_TRUE(log.has("TFTP  Error   request from 127.0.0.1 ignored, 2\n"));
    EXPECT_EQ(server->transfer(0)->path, tmp.path() + "file.bin");
}

TEST_F(Listener, AGroupAndADownloadWithoutLargeFilesOnlyForAtMost65535Blocks) {
    // A group's clients place blocks by their 16-bit numbers: 65,535 blocks of 8 bytes (the last
    // one short) still make a group; one byte more needs a 65,536th block, and the file goes to
    // its client alone. The client never acknowledges, so nothing is sent to the group.
    testing::writeFile(tmp.file("fits.bin"), std::string(65535 * 8 - 1, 'a'));
    testing::writeFile(tmp.file("large.bin"), std::string(65535 * 8, 'b'));
    settings.update([&](DhcpSettings&, TftpSettings&, MulticastSettings& m) {
        m.multicast = 1;
        m.address = makeIpv4(239, 255, 0, 9);
        return 0;
    });
    start();
    for (const auto& [name, grouped] : {std::pair{"fits.bin", true}, std::pair{"large.bin", false}}) {
        Client client;
        client.send(request(1, name, {"blksize", "8", "multicast", ""}), server->port());
        const Bytes oack = client.receive(2000);
        ASSERT_GT(oack.size(), 2u) << name;
        EXPECT_EQ(oack[1], 6) << name;
        EXPECT_EQ(std::string(oack.begin(), oack.end()).find("multicast") != std::string::npos, grouped) << name;
    }
    // Without large files the block counter stops at 65,535 blocks of the negotiated size: a
    // larger file is refused before any data, with a text that says why and a log line that
    // names the setting.
    settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings& m) {
        t.largeFiles = 0;
        t.clients = 20;  // the transfers above still run
        m.multicast = 0;
        return 0;
    });
    for (const auto& [name, blksize, refused] : {std::tuple{"fits.bin", "8", false}, std::tuple{"large.bin", "8", true},
                                                 std::tuple{"large.bin", "16", false}}) {
        Client client;
        client.send(request(1, name, {"blksize", blksize}), server->port());
        const Bytes answer = client.receive(2000);
        const std::string oack = std::string("\0\6blksize\0", 10) + blksize + '\0';
        EXPECT_EQ(answer, refused ? errorPacket(3, "File too large") : Bytes(oack.begin(), oack.end()))
            << name << " " << blksize;
    }
    EXPECT_TRUE(log.has("TFTP  Error   " + tmp.path() +
                        "large.bin has more than 65535 blocks of 8 bytes, "
                        "TFTPLargeFiles=1 serves it\n"));
    EXPECT_TRUE(
        log.has("TFTP  Error   127.0.0.1  Get  3 Disk full or allocation exceeded " + tmp.path() + "large.bin\n"));
}

// A client of a file replaced while a group reads it gets a group of its own: the group's
// blocks come from the file as it was, its own from the file as it is.
TEST_F(Listener, AGroupTakesInOnlyClientsOfTheSameFile) {
    settings.update([&](DhcpSettings&, TftpSettings& t, MulticastSettings& m) {
        t.mmf = 1;       // multicast reads through a shared mapping
        t.clients = 20;  // three transfers from one address
        m.multicast = 1;
        m.address = makeIpv4(239, 255, 0, 9);
        m.port = 1758;
        m.last = 1770;
        return 0;
    });
    start();
    // The "multicast" value of the option acknowledgement: "address,port,master".
    auto group = [&](Client& client) {
        client.send(request(1, "file.bin", {"multicast", ""}), server->port());
        const Bytes oack = client.receive(2000);
        const std::string text(oack.begin(), oack.end());
        const std::size_t at = text.find(std::string("multicast") + '\0');
        return at == std::string::npos ? std::string() : std::string(text.c_str() + at + 10);
    };
    Client first, second, third;
    EXPECT_EQ(group(first), "239.255.0.9,1758,1");
    EXPECT_EQ(group(second), "239.255.0.9,1758,0");
    testing::writeFile(tmp.file("new.bin"), std::string(3000, 'n'));
    ASSERT_EQ(::rename(tmp.file("new.bin").c_str(), tmp.file("file.bin").c_str()), 0);
    EXPECT_EQ(group(third), "239.255.0.9,1759,1");
}

}  // namespace
}  // namespace tolmark::tftp
