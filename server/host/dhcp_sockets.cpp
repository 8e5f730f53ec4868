#include "server/host/dhcp_sockets.h"

#include <cerrno>
#include <string>

#include "base/error_text.h"

namespace tolmark {

std::optional<std::uint16_t> DhcpSockets::ensureSocket(std::uint16_t port) {
    for (const PortSocket& s : sockets_) {
        if (s.port == port) return port;
    }
    platform::UdpSocket s = platform::openBoundUdpSocket(0, port);
    if (!s.valid() || !s.enablePacketInfo() || !s.setNonBlocking()) {
        const int error = errno;
        s.close();
        errno = error;
        return std::nullopt;
    }
    // Port 0 lets the system choose (tests do): the socket is then known by the port it got.
    const std::uint16_t bound = port != 0 ? port : s.localPort();
    for (const PortSocket& existing : sockets_) {
        if (existing.port == bound) return bound;
    }
    sockets_.push_back(PortSocket{bound, std::move(s)});
    return bound;
}

void DhcpSockets::closeUnused() {
    std::erase_if(sockets_, [&](const PortSocket& s) {
        for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
            if (open_[i] && slotPort_[i] == s.port) return false;
        }
        return true;
    });
}

DhcpSockets::DhcpSockets() {
    for (auto& image : images_) image.store(kNoSocketImage);
}

std::string portHoldersText(std::uint16_t port) {
    std::string text;
    for (const Ipv4 holder : platform::udpPortHolders(port)) {
        text += text.empty() ? " on " : ", ";
        text += formatIpv4(holder).c_str();
    }
    return text;
}

// Another DHCP server (or a relay, or a second copy of this one) holding the port is named by the
// addresses it is bound to; any other failure by its error text.
void DhcpSockets::reportFailure(std::uint16_t port, int error, LogSink& log) const {
    const unsigned seconds = static_cast<unsigned>(kSocketRetryInterval.count());
    if (error != EADDRINUSE) {
        log.line(1, true, "DHCP  Error   UDP port %u cannot be opened: %s; tried again every %u seconds\n",
                 static_cast<unsigned>(port), errorText(error).c_str(), seconds);
        return;
    }
    const std::string holders = portHoldersText(port);
    log.line(1, true, "DHCP  Error   UDP port %u is held by another program%s; tried again every %u seconds\n",
             static_cast<unsigned>(port), holders.c_str(), seconds);
}

int DhcpSockets::reconcile(const InterfaceTable& table, std::uint16_t port, LogSink& log, bool retry) {
    int opened = 0;
    std::size_t waiting = 0;
    int error = 0;
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        std::optional<InterfaceEntry> e = table.entry(i);
        bool wanted = e && e->presentAndServed();
        // An entry reused for another address closes the old address's slot first.
        if (open_[i] && (!wanted || slotEntry_[i].address != e->address)) {
            open_[i] = false;
            log.line(1, true, "DHCP  Stop    Server on %s\n", formatIpv4(slotEntry_[i].address).c_str());
        }
        // An open slot follows its entry's interface index, mask and flags.
        if (open_[i] && wanted) slotEntry_[i] = *e;
        if (wanted && !open_[i]) {
            if (const std::optional<std::uint16_t> bound = ensureSocket(port)) {
                open_[i] = true;
                slotPort_[i] = *bound;
                slotEntry_[i] = *e;
                ++opened;
                log.line(1, true, "DHCP  Start   Server on %s\n", formatIpv4(e->address).c_str());
            } else {
                ++waiting;
                if (error == 0) error = errno != 0 ? errno : EIO;
                if (!retry || error != reportedError_ || port != reportedPort_)
                    log.line(1, true, "DHCP  Error   failed to start server on %s\n", formatIpv4(e->address).c_str());
            }
        }
    }
    if (waiting != 0 && (!retry || error != reportedError_ || port != reportedPort_)) reportFailure(port, error, log);
    waiting_ = waiting;
    portHeld_.store(waiting != 0 && error == EADDRINUSE);
    reportedError_ = waiting != 0 ? error : 0;
    reportedPort_ = waiting != 0 ? port : 0;
    closeUnused();
    publishImages();
    return opened;
}

void DhcpSockets::closeAll() {
    open_.fill(false);
    sockets_.clear();
    publishImages();
}

void DhcpSockets::publishImages() {
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        std::uint64_t image = kNoSocketImage;
        for (const PortSocket& s : sockets_) {
            if (open_[i] && s.port == slotPort_[i] && s.socket.valid())
                image = static_cast<std::uint64_t>(s.socket.fd());
        }
        images_[i].store(image);
    }
}

bool DhcpSockets::anyOpen() const {
    for (bool o : open_) {
        if (o) return true;
    }
    return false;
}

std::optional<InterfaceEntry> DhcpSockets::entryFor(const platform::DatagramInfo& info, std::size_t socketIndex) const {
    if (socketIndex >= sockets_.size()) return std::nullopt;
    const std::uint16_t port = sockets_[socketIndex].port;
    const InterfaceEntry* byInterface = nullptr;
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        if (!open_[i] || slotPort_[i] != port) continue;
        const InterfaceEntry& e = slotEntry_[i];
        if (e.address == info.destination) return e;
        const bool broadcast = info.destination == kBroadcastAll || info.destination == e.broadcast();
        if (broadcast && e.ifIndex == info.ifIndex) {
            // A directed broadcast belongs to the entry of that subnet; a full broadcast to
            // the interface's first served entry.
            if (info.destination == e.broadcast()) return e;
            if (byInterface == nullptr) byInterface = &e;
        }
    }
    if (byInterface == nullptr) return std::nullopt;
    return *byInterface;
}

std::uint64_t DhcpSockets::socketImage(std::size_t index) const {
    return index < kMaxInterfaces ? images_[index].load() : kNoSocketImage;
}

}  // namespace tolmark
