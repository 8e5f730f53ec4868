#include "server/host/backup_probe.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "platform/udp_socket.h"
#include "server/dhcp/dhcp_protocol.h"

namespace tolmark {
namespace {

constexpr int kAnswerWaitMs = 1000;
// Each datagram that is no answer starts a new wait; all of them together end here, so that
// chatter on the client port (or datagrams sent to keep the probe waiting) can neither hold
// the start-up pause nor stop the housekeeping thread's saves.
constexpr auto kLongestProbe = std::chrono::milliseconds(3 * kAnswerWaitMs);

}  // namespace

// A server of this kind answers with the probe itself turned into a reply: its xid, "_DHCP_" and
// marker stay. A reply to a DHCP client of this host, which shares the client port, is no answer
// (it would pause the server whenever the host renewed its own address during a probe).
bool isProbeAnswer(std::span<const std::uint8_t> datagram, Ipv4 source, Ipv4 entryAddress) {
    static const std::array<std::uint8_t, dhcp::kProbeSize> kProbe = dhcp::probeMessage();
    return source != entryAddress && datagram.size() >= dhcp::kProbeSize && datagram[dhcp::kOp] == dhcp::kBootReply &&
           dhcp::isProbe(datagram) &&
           std::equal(kProbe.begin() + dhcp::kXid, kProbe.begin() + dhcp::kXid + 4, datagram.begin() + dhcp::kXid);
}

void BackupProbe::run(bool startup) {
    // The start-up probe and the housekeeping thread's would otherwise bind the same client
    // ports, and the second would take the first one's pause for its own.
    std::lock_guard<std::mutex> one(running_);
    const GeneralSettings g = settings_.general();
    if (g.detect == 0) {
        flags_.paused.store(0);
        return;
    }
    if (startup) flags_.paused.store(1);

    const std::uint16_t clientPort = static_cast<std::uint16_t>(g.port + 1);
    const auto message = dhcp::probeMessage();
    struct ProbeSocket {
        platform::UdpSocket socket;
        Ipv4 address;
    };
    std::vector<ProbeSocket> sockets;
    for (const InterfaceEntry& e : interfaces_.entries()) {
        // An address the host does not have (yet) cannot send, and one it has on two interfaces
        // is probed once: either would only fail to bind, with an error line every period.
        if (!e.present()) continue;
        if (std::any_of(sockets.begin(), sockets.end(), [&](const auto& p) { return p.address == e.address; }))
            continue;
        // Shared: a DHCP client of the host itself (dhclient, systemd-networkd) may hold the
        // client port, and the probe must still go out. Answers to the probe's own address come
        // to this socket, the more specific one.
        platform::UdpSocket s = platform::openSharedUdpSocket(e.address, clientPort);
        if (!s.valid()) {
            log_.line(1, true, "DHCP  Error   failed to listen on client port %s:%u\n", formatIpv4(e.address).c_str(),
                      static_cast<unsigned>(clientPort));
            continue;
        }
        if (!s.send(message.data(), message.size(), e.broadcast(), g.port)) {
            log_.line(1, true, "DHCP  Error   failed to send on client port %u\n", static_cast<unsigned>(clientPort));
        }
        sockets.push_back({std::move(s), e.address});
    }

    bool answered = false;
    Ipv4 answerFrom = 0;
    std::vector<int> fds;
    fds.reserve(sockets.size());
    for (const auto& s : sockets) fds.push_back(s.socket.fd());
    std::array<bool, kMaxInterfaces> readableStore{};
    std::uint8_t buffer[1500];
    const auto giveUp = std::chrono::steady_clock::now() + kLongestProbe;
    while (!answered && !fds.empty() && !flags_.serverStopping.load()) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(giveUp - std::chrono::steady_clock::now()).count();
        if (left <= 0) break;
        const int wait = static_cast<int>(std::min<std::int64_t>(left, kAnswerWaitMs));
        std::span<bool> readable(readableStore.data(), fds.size());
        if (platform::waitReadable(fds, &stop_, wait, readable) != platform::WaitResult::Readable) break;
        for (std::size_t i = 0; i < sockets.size(); ++i) {
            if (!readable[i]) continue;
            platform::DatagramInfo info;
            long n = sockets[i].socket.receive(buffer, sizeof buffer, info, true);
            // This server's own receive loop answers a probe from one of the host's addresses
            // from another of them (two addresses on one subnet): that is no other server.
            if (n > 0 &&
                isProbeAnswer(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(n)), info.source,
                              sockets[i].address) &&
                !interfaces_.isHostAddress(info.source)) {
                answered = true;
                answerFrom = info.source;
            }
            break;  // the first readable socket in table order
        }
    }
    sockets.clear();

    const int paused = flags_.paused.load();
    if (!flags_.serverStopping.load()) {
        if (answered && (startup || paused == 0)) {
            log_.line(1, true, "DHCP  paused  server on %s detected\n", formatIpv4(answerFrom).c_str());
        } else if (!answered && !startup && paused == 1) {
            log_.line(1, true, "DHCP  active  server started\n");
        }
    }
    if (answered) {
        if (paused < 2) flags_.paused.store(2);
    } else if (paused > 0) {
        flags_.paused.store(paused - 1);
    }
}

}  // namespace tolmark
