#include "server/host/dhcp_sockets.h"

namespace tolmark {

bool DhcpSockets::ensureSocket(std::uint16_t port) {
    if (socket_.valid() && port_ == port) return true;
    if (socket_.valid()) {
        // Open slots keep the port they started on; a new port applies once none is open.
        if (anyOpen()) return true;
        socket_.close();
    }
    platform::UdpSocket s = platform::openBoundUdpSocket(0, port);
    if (!s.valid() || !s.enablePacketInfo() || !s.setNonBlocking()) return false;
    socket_ = std::move(s);
    port_ = port;
    return true;
}

DhcpSockets::DhcpSockets() {
    for (auto& image : images_) image.store(kNoSocketImage);
}

int DhcpSockets::reconcile(const InterfaceTable& table, std::uint16_t port, LogSink& log) {
    int opened = 0;
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
            if (ensureSocket(port)) {
                open_[i] = true;
                slotEntry_[i] = *e;
                ++opened;
                log.line(1, true, "DHCP  Start   Server on %s\n", formatIpv4(e->address).c_str());
            } else {
                log.line(1, true, "DHCP  Error   failed to start server on %s\n", formatIpv4(e->address).c_str());
            }
        }
    }
    if (!anyOpen()) socket_.close();
    publishImages();
    return opened;
}

void DhcpSockets::closeAll() {
    open_.fill(false);
    socket_.close();
    publishImages();
}

void DhcpSockets::publishImages() {
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        const bool open = open_[i] && socket_.valid();
        images_[i].store(open ? static_cast<std::uint64_t>(socket_.fd()) : kNoSocketImage);
    }
}

bool DhcpSockets::anyOpen() const {
    for (bool o : open_) {
        if (o) return true;
    }
    return false;
}

std::optional<InterfaceEntry> DhcpSockets::entryFor(const platform::DatagramInfo& info) const {
    const InterfaceEntry* byInterface = nullptr;
    for (std::size_t i = 0; i < kMaxInterfaces; ++i) {
        if (!open_[i]) continue;
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
