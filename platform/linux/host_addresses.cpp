#include <ifaddrs.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/host_addresses.h"

namespace tolmark::platform {
namespace {

// An alias label such as "eth0:1" belongs to the device "eth0".
int baseDeviceIndex(const char* label) {
    std::string name(label);
    auto colon = name.find(':');
    if (colon != std::string::npos) name.resize(colon);
    return static_cast<int>(::if_nametoindex(name.c_str()));
}

class IfAddrsSource final : public HostAddressSource {
public:
    bool read(std::vector<HostAddress>& rows) override {
        ifaddrs* list = nullptr;
        if (::getifaddrs(&list) != 0) return false;
        rows.clear();
        for (ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
            if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
            HostAddress row;
            row.address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
            if (i->ifa_netmask != nullptr)
                row.mask = reinterpret_cast<const sockaddr_in*>(i->ifa_netmask)->sin_addr.s_addr;
            row.ifIndex = baseDeviceIndex(i->ifa_name);
            rows.push_back(row);
        }
        ::freeifaddrs(list);
        return true;
    }
};

class NetlinkWatcher final : public AddressChangeWatcher {
public:
    NetlinkWatcher() {
        fd_.reset(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
        if (!fd_) return;
        sockaddr_nl sa{};
        sa.nl_family = AF_NETLINK;
        sa.nl_groups = RTMGRP_IPV4_IFADDR;
        if (::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) fd_.reset();
    }

    WaitResult waitForChange(const WakeEvent& stop) override {
        if (!fd_) {
            // Without a notification socket, fall back to a slow poll so changes are still seen.
            return stop.sleepFor(std::chrono::seconds(10)) ? WaitResult::Woken : WaitResult::Readable;
        }
        const int fds[1] = {fd_.get()};
        bool readable[1];
        WaitResult r = waitReadable(fds, &stop, -1, readable);
        if (r != WaitResult::Readable) return r;
        // Drain every queued notification; one reload covers them all.
        char buffer[8192];
        while (::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        return WaitResult::Readable;
    }

private:
    FileDescriptor fd_;
};

}  // namespace

std::unique_ptr<HostAddressSource> makeHostAddressSource() { return std::make_unique<IfAddrsSource>(); }
std::unique_ptr<AddressChangeWatcher> makeAddressChangeWatcher() { return std::make_unique<NetlinkWatcher>(); }

}  // namespace tolmark::platform
