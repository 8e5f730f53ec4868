// The receive loop over a real socket on loopback: 127.0.0.2 stands for a served interface
// address and 127.0.0.3 for an excluded one, both on the loopback device.

#include "server/host/receive_loop.h"

#include <gtest/gtest.h>
#include <net/if.h>

#include <atomic>
#include <filesystem>
#include <thread>
#include <vector>

#include "tests/support/fakes.h"

namespace tolmark {
namespace {

using namespace std::chrono_literals;

class RecordingProcessor final : public RequestProcessor {
public:
    ReplyPlan process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                      const Arrival& arrival) override {
        calls.fetch_add(1);
        lastLength.store(request.size());
        lastInterface.store(arrival.interfaceAddress);
        lastSource.store(arrival.sourceAddress);
        if (!answer) return {};
        // A request whose byte 100 is 0x77 waits for its address test until tests are done.
        if (request[100] == 0x77 && !testsDone.load()) {
            waiting.assign(request.begin(), request.end());
            waitingArrival = arrival;
            return ReplyPlan{.parked = true, .ticket = 7};
        }
        std::copy(request.begin(), request.begin() + 300, reply.begin());
        reply[0] = 2;
        return ReplyPlan{.length = 300, .sourceAddress = arrival.sourceAddress};
    }
    ReplyPlan resume(std::uint64_t ticket, std::span<std::uint8_t> reply) override {
        if (ticket != 7 || waiting.empty()) return {};
        const std::vector<std::uint8_t> request = std::move(waiting);
        waiting.clear();
        return process(request, reply, waitingArrival);
    }
    std::vector<std::uint8_t> waiting;
    Arrival waitingArrival;
    std::atomic<int> calls{0};
    std::atomic<std::size_t> lastLength{0};
    std::atomic<Ipv4> lastInterface{0};
    std::atomic<Ipv4> lastSource{0};
    bool answer = false;
    std::atomic<bool> testsDone{false};
};

class ReceiveLoopTest : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = std::filesystem::temp_directory_path() / ("rloop-" + std::to_string(::getpid()));
        std::filesystem::create_directories(dir_);
        store_.setIniPath(dir_.string() + "/", "Dorvane");
        store_.writeText("Dorvane", "Exclude", "127.0.0.3");
        int lo = static_cast<int>(if_nametoindex("lo"));
        host_.rows = {{makeIpv4(127, 0, 0, 2), makeIpv4(255, 0, 0, 0), lo},
                      {makeIpv4(127, 0, 0, 3), makeIpv4(255, 0, 0, 0), lo}};
        ASSERT_TRUE(table_.build(store_, "Dorvane", host_, clock_.now(), log_));
        // Port 0: the kernel picks a free port, which then is "Port".
        ASSERT_EQ(sockets_.reconcile(table_, 0, log_), 1);
        port_ = sockets_.socketAt(0).localPort();
        settings_.update([&](DhcpSettings& d, TftpSettings&, MulticastSettings&) {
            d.general.port = port_;
            d.directory = dir_.string() + "/";
            return 0;
        });
        log_.setLevel(3);
        log_.check(dir_.string() + "/", 1, 0);
        client_ = platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 5), 0);
        ASSERT_TRUE(client_.valid());
    }
    void TearDown() override {
        stopLoop();
        std::fclose(console_);
        std::filesystem::remove_all(dir_);
    }
    void startLoop() {
        thread_ = std::thread([this] { runReceiveLoop(context_); });
    }
    void stopLoop() {
        if (!thread_.joinable()) return;
        flags_.serverStopping.store(1);
        stop_.signal();
        thread_.join();
    }
    void send(std::vector<std::uint8_t> datagram, Ipv4 to) {
        ASSERT_TRUE(client_.send(datagram.data(), datagram.size(), to, port_));
    }
    bool waitFor(const std::function<bool()>& condition) {
        for (int i = 0; i < 200 && !condition(); ++i) std::this_thread::sleep_for(10ms);
        return condition();
    }
    std::string consoleText() {
        std::fflush(console_);
        std::rewind(console_);
        std::string text;
        char buffer[512];
        while (std::fgets(buffer, sizeof buffer, console_) != nullptr) text += buffer;
        return text;
    }
    static std::vector<std::uint8_t> request(std::size_t length) {
        std::vector<std::uint8_t> d(length, 0);
        d[0] = 1;
        const std::uint8_t hw[6] = {0x00, 0x0c, 0x29, 0xaa, 0xbb, 0xcc};
        std::copy(hw, hw + 6, d.begin() + 28);
        return d;
    }

    std::filesystem::path dir_;
    ConfigStore store_{(std::filesystem::temp_directory_path() / "rloop-registry.ini").string()};
    testing::FakeClock clock_;
    testing::FakeHostAddresses host_;
    testing::RecordingArpCache arp_;
    InterfaceTable table_;
    DhcpSockets sockets_;
    std::FILE* console_ = std::tmpfile();
    Log log_{clock_, console_};
    ServerFlags flags_;
    Mutex engine_;
    RecordingProcessor processor_;
    SettingsHolder settings_;
    platform::WakeEvent stop_;
    platform::WakeEvent testsDone_;
    ReceiveLoopContext context_{.interfaces = table_,
                                .sockets = sockets_,
                                .log = log_,
                                .flags = flags_,
                                .engineLock = engine_,
                                .processor = processor_,
                                .settings = settings_,
                                .hostAddresses = host_,
                                .arp = arp_,
                                .clock = clock_,
                                .stop = stop_,
                                .addressTestsDone = &testsDone_};
    std::uint16_t port_ = 0;
    platform::UdpSocket client_;
    std::thread thread_;
};

TEST_F(ReceiveLoopTest, ShortRequestIsLoggedAndFullLengthOneIsProcessedOnce) {
    startLoop();
    send(request(235), makeIpv4(127, 0, 0, 2));
    send(request(236), makeIpv4(127, 0, 0, 2));
    ASSERT_TRUE(waitFor([&] { return processor_.calls.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(processor_.calls.load(), 1);
    EXPECT_EQ(processor_.lastLength.load(), 236u);
    EXPECT_EQ(processor_.lastInterface.load(), makeIpv4(127, 0, 0, 2));
    EXPECT_EQ(processor_.lastSource.load(), makeIpv4(127, 0, 0, 5));
    EXPECT_NE(consoleText().find(" DHCP  Error   in request from 00:0c:29:aa:bb:cc (127.0.0.5), len 235, if "
                                 "127.0.0.2\n"),
              std::string::npos);
    EXPECT_TRUE(flags_.statusChanged.load() & kStatusClientData);
}

TEST_F(ReceiveLoopTest, ReplyOpCodeAndExcludedAddressesAreNotProcessed) {
    startLoop();
    auto reply = request(300);
    reply[0] = 2;
    send(reply, makeIpv4(127, 0, 0, 2));
    send(request(300), makeIpv4(127, 0, 0, 3));  // excluded: nothing, not even an error line
    send(request(300), makeIpv4(127, 0, 0, 2));
    ASSERT_TRUE(waitFor([&] { return processor_.calls.load() == 1; }));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(processor_.calls.load(), 1);
    std::string text = consoleText();
    EXPECT_NE(text.find("len 300, if 127.0.0.2"), std::string::npos);
    EXPECT_EQ(text.find("if 127.0.0.3"), std::string::npos);
}

TEST_F(ReceiveLoopTest, RequestsAreDroppedWhilePaused) {
    flags_.paused.store(2);
    startLoop();
    send(request(300), makeIpv4(127, 0, 0, 2));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(processor_.calls.load(), 0);
    flags_.paused.store(0);
    send(request(300), makeIpv4(127, 0, 0, 2));
    EXPECT_TRUE(waitFor([&] { return processor_.calls.load() == 1; }));
}

TEST_F(ReceiveLoopTest, AnswerWithoutAddressGoesBackToTheSourceOnTheClientPort) {
    processor_.answer = true;
    platform::UdpSocket requester =
        platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 6), static_cast<std::uint16_t>(port_ + 1));
    if (!requester.valid()) GTEST_SKIP() << "client port " << port_ + 1 << " is in use on this host";
    startLoop();
    auto datagram = request(300);
    ASSERT_TRUE(requester.send(datagram.data(), datagram.size(), makeIpv4(127, 0, 0, 2), port_));
    const int fds[1] = {requester.fd()};
    bool readable[1];
    ASSERT_EQ(platform::waitReadable(fds, nullptr, 2000, readable), platform::WaitResult::Readable);
    std::uint8_t buffer[1500];
    platform::DatagramInfo info;
    EXPECT_EQ(requester.receive(buffer, sizeof buffer, info), 300);
    EXPECT_EQ(buffer[0], 2);
    EXPECT_EQ(info.source, makeIpv4(127, 0, 0, 2));  // sent from the entry's own address
}

TEST_F(ReceiveLoopTest, ARequestWaitingForItsAddressTestLetsOthersPass) {
    processor_.answer = true;
    platform::UdpSocket requester =
        platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 6), static_cast<std::uint16_t>(port_ + 1));
    if (!requester.valid()) GTEST_SKIP() << "client port " << port_ + 1 << " is in use on this host";
    startLoop();
    auto waiting = request(300);
    waiting[100] = 0x77;
    waiting[4] = 1;  // its own transaction ID
    auto other = request(300);
    ASSERT_TRUE(requester.send(waiting.data(), waiting.size(), makeIpv4(127, 0, 0, 2), port_));
    ASSERT_TRUE(requester.send(other.data(), other.size(), makeIpv4(127, 0, 0, 2), port_));
    auto next = [&]() -> int {
        const int fds[1] = {requester.fd()};
        bool readable[1];
        if (platform::waitReadable(fds, nullptr, 2000, readable) != platform::WaitResult::Readable) return -1;
        std::uint8_t buffer[1500];
        platform::DatagramInfo info;
        return requester.receive(buffer, sizeof buffer, info) == 300 ? buffer[4] : -1;
    };
    EXPECT_EQ(next(), 0) << "the request behind the waiting one is answered first";
    // The answer to the test comes in: the waiting request is handed over again and answered.
    processor_.testsDone = true;
    testsDone_.signal();
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(processor_.calls.load(), 3);
}

TEST_F(ReceiveLoopTest, DelayHoldsEachReplyBack) {
    processor_.answer = true;
    settings_.update([](DhcpSettings& d, TftpSettings&, MulticastSettings&) {
        d.general.delay = 100;
        return 0;
    });
    platform::UdpSocket requester =
        platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 7), static_cast<std::uint16_t>(port_ + 1));
    if (!requester.valid()) GTEST_SKIP() << "client port " << port_ + 1 << " is in use on this host";
    startLoop();
    auto datagram = request(300);
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(requester.send(datagram.data(), datagram.size(), makeIpv4(127, 0, 0, 2), port_));
    const int fds[1] = {requester.fd()};
    bool readable[1];
    ASSERT_EQ(platform::waitReadable(fds, nullptr, 2000, readable), platform::WaitResult::Readable);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
}

TEST_F(ReceiveLoopTest, StopEndsTheWaitAtOnce) {
    startLoop();
    std::this_thread::sleep_for(50ms);
    auto start = std::chrono::steady_clock::now();
    stopLoop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(flags_.statusChanged.load() & kStatusLoopEnded);
}

TEST_F(ReceiveLoopTest, ReloadRequestReconcilesTheSockets) {
    startLoop();
    table_.setServed(makeIpv4(127, 0, 0, 3), true);
    flags_.reloadRequest.store(kReloadSockets);
    send(request(300), makeIpv4(127, 0, 0, 2));  // ends the current wait
    ASSERT_TRUE(waitFor([&] { return flags_.reloadRequest.load() == 0 && sockets_.slotOpen(1); }));
    send(request(300), makeIpv4(127, 0, 0, 3));
    EXPECT_TRUE(waitFor([&] { return processor_.lastInterface.load() == makeIpv4(127, 0, 0, 3); }));
    EXPECT_NE(consoleText().find("DHCP  Start   Server on 127.0.0.3\n"), std::string::npos);
}

TEST_F(ReceiveLoopTest, PortChangedAtRunTimeIsUsedByEntriesOpenedAfterwards) {
    platform::UdpSocket probe = platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 1), 0);
    ASSERT_TRUE(probe.valid());
    const std::uint16_t newPort = probe.localPort();
    probe = platform::UdpSocket();
    settings_.update([&](DhcpSettings& d, TftpSettings&, MulticastSettings&) {
        d.general.port = newPort;
        return 0;
    });
    startLoop();
    table_.setServed(makeIpv4(127, 0, 0, 3), true);
    flags_.reloadRequest.store(kReloadSockets);
    send(request(300), makeIpv4(127, 0, 0, 2));  // ends the current wait
    ASSERT_TRUE(waitFor([&] { return flags_.reloadRequest.load() == 0 && sockets_.slotOpen(1); }));
    ASSERT_TRUE(waitFor([&] { return processor_.calls.load() == 1; }));
    EXPECT_NE(sockets_.socketImage(0), sockets_.socketImage(1));
    // 127.0.0.2 keeps the port it started on, 127.0.0.3 listens on the new one; a datagram to an
    // entry on the other port is not taken.
    struct Case {
        Ipv4 to;
        std::uint16_t port;
        bool taken;
    } cases[] = {{makeIpv4(127, 0, 0, 3), port_, false},
                 {makeIpv4(127, 0, 0, 2), newPort, false},
                 {makeIpv4(127, 0, 0, 3), newPort, true},
                 {makeIpv4(127, 0, 0, 2), port_, true}};
    int expected = 1;
    for (const Case& c : cases) {
        const auto datagram = request(300);
        ASSERT_TRUE(client_.send(datagram.data(), datagram.size(), c.to, c.port));
        if (!c.taken) continue;
        ++expected;
        ASSERT_TRUE(waitFor([&] { return processor_.calls.load() == expected; })) << c.port;
        EXPECT_EQ(processor_.lastInterface.load(), c.to);
    }
}

TEST(TemporaryArpEntry, MadeOnTheSubnetsInterfaceOrNotAtAll) {
    testing::FakeHostAddresses host;
    host.rows = {{makeIpv4(192, 168, 1, 10), makeIpv4(255, 255, 255, 0), 7}};
    testing::CapturingLog log;
    ConfigStore store((std::filesystem::temp_directory_path() / "arp-registry.ini").string());
    InterfaceTable table;
    ASSERT_TRUE(table.build(store, "Dorvane", host, 0, log));
    testing::RecordingArpCache arp;
    const std::uint8_t hw[6] = {1, 2, 3, 4, 5, 6};
    bool made = false;
    int ifIndex = 0;
    EXPECT_FALSE(
        makeTemporaryArpEntry(table, arp, makeIpv4(10, 0, 0, 1), hw, platform::ArpEntryType::Dynamic, made, ifIndex));
    EXPECT_FALSE(made);
    EXPECT_TRUE(arp.calls.empty());
    Ipv4 client = makeIpv4(192, 168, 1, 50);
    EXPECT_TRUE(makeTemporaryArpEntry(table, arp, client, hw, platform::ArpEntryType::Dynamic, made, ifIndex));
    EXPECT_TRUE(made);
    EXPECT_EQ(ifIndex, 7);
    // Created static first, then turned into the requested dynamic type.
    EXPECT_EQ(arp.calls, (std::vector<std::string>{"set 7 " + std::to_string(client) + " 4",
                                                   "set 7 " + std::to_string(client) + " 3"}));
}

}  // namespace
}  // namespace tolmark
