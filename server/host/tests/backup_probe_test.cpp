#include "server/host/backup_probe.h"

#include <gtest/gtest.h>

#include <stdlib.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "platform/udp_socket.h"
#include "server/host/housekeeping.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

using namespace std::chrono_literals;

TEST(BackupProbe, MessageIsLaidOutByteForByte) {
    const auto m = dhcp::probeMessage();
    std::array<std::uint8_t, dhcp::kProbeSize> expected{};
    expected[0] = 1;                         // op: request
    expected[1] = 1;                         // htype
    expected[2] = 6;                         // hlen
    expected[4] = 0x61, expected[5] = 0x68;  // xid
    expected[6] = 0x65, expected[7] = 0x68;
    expected[8] = 0x00, expected[9] = 0x01;  // secs
    const char chaddr[] = "_DHCP_";          // chaddr at 28
    for (int i = 0; i < 6; ++i) expected[28 + i] = static_cast<std::uint8_t>(chaddr[i]);
    expected[236] = 0x63, expected[237] = 0x82;  // cookie
    expected[238] = 0x53, expected[239] = 0x63;
    expected[240] = 53, expected[241] = 1, expected[242] = 1;  // DISCOVER
    expected[243] = 60, expected[244] = 15;                    // vendor class, 15 bytes
    const char marker[] = "Tolmark Server";
    for (int i = 0; i < 14; ++i) expected[245 + i] = static_cast<std::uint8_t>(marker[i]);
    expected[259] = 0;    // the marker's 0 byte
    expected[260] = 255;  // end
    EXPECT_EQ(m, expected);
    // The engine knows it by its marks, all of which must have arrived.
    EXPECT_TRUE(dhcp::isProbe(m));
    EXPECT_FALSE(dhcp::isProbe(std::span<const std::uint8_t>(m).first(259)));
}

TEST(BackupProbe, AnswersComeFromAnotherAddressAndAreTheProbeTurnedIntoAReply) {
    // What a server of this kind sends back: the probe as a 548-byte OFFER.
    std::array<std::uint8_t, 548> answer{};
    const auto probe = dhcp::probeMessage();
    std::copy(probe.begin(), probe.end(), answer.begin());
    answer[0] = 2;
    answer[242] = 2;
    const Ipv4 own = makeIpv4(10, 0, 0, 1), other = makeIpv4(10, 0, 0, 2);
    EXPECT_TRUE(isProbeAnswer(answer, other, own));
    EXPECT_TRUE(isProbeAnswer(std::span<const std::uint8_t>(answer).first(300), other, own));
    EXPECT_FALSE(isProbeAnswer(answer, own, own));  // our own receive loop answering
    EXPECT_FALSE(isProbeAnswer(std::span<const std::uint8_t>(answer).first(299), other, own));
    struct Change {
        std::size_t at;
        std::uint8_t value;
    };
    // A request, another transaction, another client's reply (an OFFER to this host's own DHCP
    // client on the shared port), a reply without the marker.
    for (const Change c : {Change{0, 1}, Change{4, 0x62}, Change{28, 0x52}, Change{245, 'M'}}) {
        auto changed = answer;
        changed[c.at] = c.value;
        EXPECT_FALSE(isProbeAnswer(changed, other, own)) << c.at;
    }
}

TEST(BackupProbe, DetectOffKeepsTheServerActiveWithoutProbing) {
    InterfaceTable interfaces;
    SettingsHolder settings;
    ServerFlags flags;
    flags.paused.store(2);
    testing::CapturingLog log;
    platform::WakeEvent stop;
    BackupProbe probe(interfaces, settings, flags, log, stop);
    probe.run(true);
    EXPECT_EQ(flags.paused.load(), 0);
    EXPECT_TRUE(log.lines.empty());
}

// On the loopback: this server at 127.0.0.2 (on two interfaces, as the host may list it) and an
// address of "Include" it does not have; another server answers from 127.0.0.3.
TEST(BackupProbe, ProbesEachAddressOnceOneProbeAtATimeAndPausesWhileAnotherServerAnswers) {
    std::string directory = (std::filesystem::temp_directory_path() / "backup_probe_XXXXXX").string();
    ASSERT_NE(::mkdtemp(directory.data()), nullptr);
    ConfigStore store(directory + "/registry.ini");
    ASSERT_TRUE(store.setIniPath(directory + "/", "Dorvane"));
    ASSERT_TRUE(store.writeText("Dorvane", "Include", "127.0.0.2,172.16.99.1"));
    const Ipv4 own = makeIpv4(127, 0, 0, 2);
    testing::FakeHostAddresses host;
    host.rows = {{own, makeIpv4(255, 0, 0, 0), 1}, {own, makeIpv4(255, 0, 0, 0), 9}};
    testing::LockedLog log;
    InterfaceTable interfaces;
    ASSERT_TRUE(interfaces.build(store, "Dorvane", host, 100, log));
    std::filesystem::remove_all(directory);

    // The other server's port, with the client port above it free for the probe.
    platform::UdpSocket other;
    std::uint16_t port = 0;
    for (int tries = 0; tries < 20 && !other.valid(); ++tries) {
        platform::UdpSocket client = platform::openBoundUdpSocket(own, 0);
        port = static_cast<std::uint16_t>(client.localPort() - 1);
        other = platform::openBoundUdpSocket(0, port);
    }
    ASSERT_TRUE(other.valid());
    SettingsHolder settings;
    settings.update([&](DhcpSettings& d, TftpSettings&, MulticastSettings&) {
        d.general.detect = 1;
        d.general.port = port;
        return 0;
    });
    ServerFlags flags;
    platform::WakeEvent stop;
    std::uint8_t buffer[1500];
    BackupProbe probe(interfaces, settings, flags, log, stop);

    // A DHCP client of the host itself holds the client port on every address (with
    // SO_REUSEADDR, as dhclient and systemd-networkd do): the probe shares the port.
    const platform::UdpSocket hostClient = platform::openSharedUdpSocket(0, static_cast<std::uint16_t>(port + 1));
    ASSERT_TRUE(hostClient.valid());

    // Nobody answers: the start-up probe and a periodic one at once neither fail nor leave a pause.
    std::thread periodic([&] { probe.run(false); });
    probe.run(true);
    periodic.join();
    EXPECT_EQ(flags.paused.load(), 0);
    EXPECT_FALSE(log.has("Error"));
    EXPECT_FALSE(log.has("active"));
    int queued = 0;
    for (platform::DatagramInfo info; other.receive(buffer, sizeof buffer, info, true) > 0;) ++queued;
    EXPECT_EQ(queued, 2);  // one for each probe

    // Each probe reaches the other server once; its answer pauses this one.
    std::atomic<int> probesSeen{0};
    std::thread answering([&] {
        platform::UdpSocket from = platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 3), 0);
        const int fds[1] = {other.fd()};
        bool readable[1];
        while (platform::waitReadable(fds, nullptr, 300, readable) == platform::WaitResult::Readable) {
            platform::DatagramInfo info;
            if (other.receive(buffer, sizeof buffer, info, true) != static_cast<long>(dhcp::kProbeSize)) continue;
            probesSeen.fetch_add(1);
            std::array<std::uint8_t, 548> offer{};  // the probe turned into an OFFER, as a server answers
            std::copy_n(buffer, dhcp::kProbeSize, offer.begin());
            offer[0] = 2;
            offer[242] = 2;
            from.send(offer.data(), offer.size(), info.source, static_cast<std::uint16_t>(port + 1));
        }
    });
    probe.run(false);
    answering.join();
    EXPECT_EQ(probesSeen.load(), 1);
    EXPECT_EQ(flags.paused.load(), 2);
    EXPECT_EQ(log.count("DHCP  paused  server on 127.0.0.3 detected"), 1);
    EXPECT_FALSE(log.has("Error"));

    // Datagrams that are no answer, arriving faster than the wait for one ends, do not keep
    // the probe waiting: it ends as one without an answer, and the pause runs down.
    std::atomic<bool> chattering{true};
    std::thread chatter([&] {
        platform::UdpSocket from = platform::openBoundUdpSocket(makeIpv4(127, 0, 0, 3), 0);
        const std::uint8_t noise[20] = {2};
        for (int i = 0; i < 60 && chattering.load(); ++i) {
            from.send(noise, sizeof noise, own, static_cast<std::uint16_t>(port + 1));
            std::this_thread::sleep_for(200ms);
        }
    });
    const auto started = std::chrono::steady_clock::now();
    probe.run(false);
    const auto took = std::chrono::steady_clock::now() - started;
    chattering.store(false);
    chatter.join();
    EXPECT_LT(took, 5s);
    EXPECT_EQ(flags.paused.load(), 1);
}

TEST(Housekeeping, ThePeriodicSaveKeepsItsPeriodWhileDnsUpdatesWaitAndStopEndsBoth) {
    ServerFlags flags;
    platform::WakeEvent stop;
    platform::WakeEvent dnsAnswers;  // a DNS server that stays silent until the end
    std::atomic<int> saves{0}, probes{0}, updates{0};
    HousekeepingTasks tasks{[&] {
                                updates.fetch_add(1);
                                dnsAnswers.sleepFor(10s);
                            },
                            [&] { saves.fetch_add(1); }, [&] { probes.fetch_add(1); }};
    Housekeeping keeper(tasks, flags, stop, 20ms);
    keeper.start();
    for (int i = 0; i < 200 && saves.load() < 3; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_GE(saves.load(), 3);
    EXPECT_GE(probes.load(), 2);
    keeper.signal();
    for (int i = 0; i < 200 && updates.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_EQ(updates.load(), 1);
    // The updates wait for their server; the lists are saved all the same.
    const int before = saves.load();
    for (int i = 0; i < 200 && saves.load() < before + 5; ++i) std::this_thread::sleep_for(5ms);
    EXPECT_GE(saves.load(), before + 5);
    flags.serverStopping.store(1);
    stop.signal();
    dnsAnswers.signal();
    auto start = std::chrono::steady_clock::now();
    keeper.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
}

}  // namespace
}  // namespace tolmark
