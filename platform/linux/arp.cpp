#include <linux/if_packet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/if_ether.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <chrono>
#include <cstring>

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

// ARP over a packet socket of the device: one request, then the first reply that comes from
// the target address.
class PacketArpRequester final : public ArpRequester {
public:
    std::optional<std::array<std::uint8_t, 6>> request(int ifIndex, Ipv4 source, Ipv4 target, int timeoutMs) override {
        FileDescriptor fd(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP)));
        if (!fd) return std::nullopt;
        std::uint8_t ownHardware[6];
        if (!ownAddress(ifIndex, ownHardware)) return std::nullopt;
        sockaddr_ll bindTo{};
        bindTo.sll_family = AF_PACKET;
        bindTo.sll_protocol = htons(ETH_P_ARP);
        bindTo.sll_ifindex = ifIndex;
        if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&bindTo), sizeof bindTo) != 0) return std::nullopt;

        ether_arp packet{};
        packet.arp_hrd = htons(ARPHRD_ETHER);
        packet.arp_pro = htons(ETHERTYPE_IP);
        packet.arp_hln = 6;
        packet.arp_pln = 4;
        packet.arp_op = htons(ARPOP_REQUEST);
        std::memcpy(packet.arp_sha, ownHardware, 6);
        std::memcpy(packet.arp_spa, &source, 4);
        std::memcpy(packet.arp_tpa, &target, 4);
        sockaddr_ll to = bindTo;
        to.sll_halen = 6;
        std::memset(to.sll_addr, 0xFF, 6);
        if (::sendto(fd.get(), &packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0) {
            return std::nullopt;
        }

        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        for (;;) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return std::nullopt;
            const int fds[1] = {fd.get()};
            bool readable[1];
            if (waitReadable(fds, nullptr, static_cast<int>(left.count()), readable) != WaitResult::Readable) {
                return std::nullopt;
            }
            ether_arp reply{};
            ssize_t n = ::recv(fd.get(), &reply, sizeof reply, MSG_DONTWAIT);
            if (n < static_cast<ssize_t>(sizeof reply)) continue;
            if (ntohs(reply.arp_op) != ARPOP_REPLY || std::memcmp(reply.arp_spa, &target, 4) != 0) continue;
            std::array<std::uint8_t, 6> hardware;
            std::memcpy(hardware.data(), reply.arp_sha, 6);
            return hardware;
        }
    }

private:
    static bool ownAddress(int ifIndex, std::uint8_t (&hardware)[6]) {
        ifreq req{};
        char name[IF_NAMESIZE];
        if (!deviceName(ifIndex, name)) return false;
        std::memcpy(req.ifr_name, name, sizeof name);
        FileDescriptor fd(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        if (!fd || ::ioctl(fd.get(), SIOCGIFHWADDR, &req) != 0) return false;
        std::memcpy(hardware, req.ifr_hwaddr.sa_data, 6);
        return true;
    }
};

}  // namespace

std::unique_ptr<ArpCache> makeArpCache() { return std::make_unique<IoctlArpCache>(); }
std::unique_ptr<ArpRequester> makeArpRequester() { return std::make_unique<PacketArpRequester>(); }

}  // namespace tolmark::platform
