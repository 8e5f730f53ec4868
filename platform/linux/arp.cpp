#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/if_ether.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "base/file_descriptor.h"
#include "platform/arp.h"
#include "platform/wake_event.h"

namespace tolmark::platform {
namespace {

bool deviceName(int ifIndex, char (&name)[IF_NAMESIZE]) { return ::if_indextoname(ifIndex, name) != nullptr; }

class IoctlArpCache final : public ArpCache {
public:
    bool setEntry(int ifIndex, Ipv4 address, const std::uint8_t* hardware6, ArpEntryType type) override {
        arpreq req{};
        if (!fill(req, ifIndex, address)) return false;
        req.arp_ha.sa_family = ARPHRD_ETHER;
        std::memcpy(req.arp_ha.sa_data, hardware6, 6);
        req.arp_flags = ATF_COM | (type == ArpEntryType::Static ? ATF_PERM : 0);
        return control(SIOCSARP, req);
    }
    bool deleteEntry(int ifIndex, Ipv4 address) override {
        arpreq req{};
        if (!fill(req, ifIndex, address)) return false;
        return control(SIOCDARP, req);
    }

private:
    static bool fill(arpreq& req, int ifIndex, Ipv4 address) {
        char name[IF_NAMESIZE];
        if (!deviceName(ifIndex, name)) return false;
        auto* pa = reinterpret_cast<sockaddr_in*>(&req.arp_pa);
        pa->sin_family = AF_INET;
        pa->sin_addr.s_addr = address;
        std::memcpy(req.arp_dev, name, sizeof name);  // both IF_NAMESIZE, NUL included
        return true;
    }
    static bool control(unsigned long request, arpreq& req) {
        FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return fd && ::ioctl(fd.get(), request, &req) == 0;
    }
};

bool ownHardwareAddress(int ifIndex, std::uint8_t (&hardware)[6]) {
    ifreq req{};
    char name[IF_NAMESIZE];
    if (!deviceName(ifIndex, name)) return false;
    std::memcpy(req.ifr_name, name, sizeof name);
    FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd || ::ioctl(fd.get(), SIOCGIFHWADDR, &req) != 0) return false;
    std::memcpy(hardware, req.ifr_hwaddr.sa_data, 6);
    return true;
}

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// ARP over one packet socket that sees every interface. probe() queues a request and returns;
// a thread of its own sends the requests, reads the replies and ends the waits that run out.
class PacketArpProber final : public ArpProber {
public:
    explicit PacketArpProber(int timeoutMs)
        : timeoutMs_(timeoutMs), socket_(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP))) {
        // Without the right to send ARP nothing can be tested: every address counts as free.
        if (!socket_) return;
        thread_ = std::thread([this] { run(); });
    }
    ~PacketArpProber() override {
        stop_.signal();
        if (thread_.joinable()) thread_.join();
    }

    ProbeResult probe(int ifIndex, Ipv4 source, Ipv4 target) override {
        if (!socket_) return ProbeResult{ProbeState::Free, {}};
        std::lock_guard<std::mutex> guard(lock_);
        const std::int64_t now = steadyMs();
        auto it = probes_.find(target);
        if (it != probes_.end()) {
            if (it->second.state != ProbeState::Pending) return ProbeResult{it->second.state, it->second.holder};
            return ProbeResult{};
        }
        // A bounded number of questions in flight: beyond it the caller waits like the others,
        // and asks again once answers have come in.
        if (probes_.size() >= kMaxProbes) return ProbeResult{};
        probes_.emplace(target, Probe{ifIndex, source, now + timeoutMs_, 0, false, ProbeState::Pending, {}});
        kick_.signal();
        return ProbeResult{};
    }

    WakeEvent& completed() override { return completed_; }
    bool ready() const override { return socket_.valid(); }

private:
    static constexpr std::size_t kMaxProbes = 1024;
    static constexpr std::int64_t kKeepMs = 3000;  // how long a finished answer is kept

    struct Probe {
        int ifIndex;
        Ipv4 source;
        std::int64_t deadline;
        std::int64_t finished;
        bool sent;
        ProbeState state;
        std::array<std::uint8_t, 6> holder;
    };

    void run() {
        const int fds[] = {socket_.get(), kick_.fd()};
        while (!stop_.signalled()) {
            bool readable[2] = {false, false};
            const WaitResult r = waitReadable(fds, &stop_, nextWaitMs(), readable);
            if (r == WaitResult::Woken || r == WaitResult::Error) {
                if (stop_.signalled()) return;
            }
            if (readable[1]) kick_.reset();
            sendQueued();
            if (readable[0]) readReplies();
            expire();
        }
    }

    int nextWaitMs() {
        std::lock_guard<std::mutex> guard(lock_);
        const std::int64_t now = steadyMs();
        std::int64_t wait = kKeepMs;
        for (const auto& [target, p] : probes_) {
            const std::int64_t until = p.state == ProbeState::Pending ? p.deadline : p.finished + kKeepMs;
            wait = std::min(wait, std::max<std::int64_t>(until - now, 0));
        }
        return static_cast<int>(wait) + 1;
    }

    void sendQueued() {
        std::lock_guard<std::mutex> guard(lock_);
        for (auto& [target, p] : probes_) {
            if (p.sent) continue;
            p.sent = true;
            if (!sendRequest(p.ifIndex, p.source, target)) finish(p, ProbeState::Free, nullptr);
        }
    }

    bool sendRequest(int ifIndex, Ipv4 source, Ipv4 target) {
        std::uint8_t ownHardware[6];
        if (!ownHardwareAddress(ifIndex, ownHardware)) return false;
        ether_arp packet{};
        packet.arp_hrd = htons(ARPHRD_ETHER);
        packet.arp_pro = htons(ETHERTYPE_IP);
        packet.arp_hln = 6;
        packet.arp_pln = 4;
        packet.arp_op = htons(ARPOP_REQUEST);
        std::memcpy(packet.arp_sha, ownHardware, 6);
        std::memcpy(packet.arp_spa, &source, 4);
        std::memcpy(packet.arp_tpa, &target, 4);
        sockaddr_ll to{};
        to.sll_family = AF_PACKET;
        to.sll_protocol = htons(ETH_P_ARP);
        to.sll_ifindex = ifIndex;
        to.sll_halen = 6;
        std::memset(to.sll_addr, 0xFF, 6);
        return ::sendto(socket_.get(), &packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) ==
               static_cast<ssize_t>(sizeof packet);
    }

    void readReplies() {
        for (int n = 0; n < 256; ++n) {
            ether_arp reply{};
            sockaddr_ll from{};
            socklen_t fromLength = sizeof from;
            const ssize_t got = ::recvfrom(socket_.get(), &reply, sizeof reply, MSG_DONTWAIT,
                                           reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) return;
            if (got < static_cast<ssize_t>(sizeof reply) || ntohs(reply.arp_op) != ARPOP_REPLY) continue;
            Ipv4 sender;
            std::memcpy(&sender, reply.arp_spa, 4);
            std::lock_guard<std::mutex> guard(lock_);
            auto it = probes_.find(sender);
            // Only an answer on the interface the question left from counts.
            if (it == probes_.end() || it->second.state != ProbeState::Pending || !it->second.sent ||
                it->second.ifIndex != from.sll_ifindex) {
                continue;
            }
            finish(it->second, ProbeState::Taken, reply.arp_sha);
        }
    }

    void expire() {
        std::lock_guard<std::mutex> guard(lock_);
        const std::int64_t now = steadyMs();
        for (auto it = probes_.begin(); it != probes_.end();) {
            Probe& p = it->second;
            if (p.state == ProbeState::Pending && now >= p.deadline) finish(p, ProbeState::Free, nullptr);
            if (p.state != ProbeState::Pending && now >= p.finished + kKeepMs) {
                it = probes_.erase(it);
            } else {
                ++it;
            }
        }
    }

    // Called under lock_.
    void finish(Probe& p, ProbeState state, const std::uint8_t* holder) {
        p.state = state;
        p.finished = steadyMs();
        if (holder != nullptr) std::memcpy(p.holder.data(), holder, 6);
        completed_.signal();
    }

    const int timeoutMs_;
    FileDescriptor socket_;
    std::mutex lock_;
    std::unordered_map<Ipv4, Probe> probes_;
    WakeEvent kick_;
    WakeEvent stop_;
    WakeEvent completed_;
    std::thread thread_;
};

}  // namespace

std::unique_ptr<ArpCache> makeArpCache() { return std::make_unique<IoctlArpCache>(); }
std::unique_ptr<ArpProber> makeArpProber(int timeoutMs) { return std::make_unique<PacketArpProber>(timeoutMs); }

}  // namespace tolmark::platform
