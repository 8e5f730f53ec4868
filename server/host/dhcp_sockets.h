#pragma once
// The DHCP server sockets of the interface table's entries. One UDP socket on the server port
// (any address, with arrival interface and destination reported per datagram) carries every
// served entry: a socket bound to a unicast address would not see the broadcasts that DHCP
// clients send. An entry opened after the "Port" setting changed gets a socket on the new port,
// while the entries already open keep theirs. Each entry has a slot that is open exactly while it is present and served;
// datagrams are mapped to their entry by destination and arrival interface, and anything aimed
// at an address that is not served is dropped.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/log_sink.h"
#include "config/interface_table.h"
#include "platform/udp_socket.h"

namespace tolmark {

// How often the receive loop tries again to open the port for entries that could not have it
// (another program held it, or the address was not yet usable).
inline constexpr std::chrono::seconds kSocketRetryInterval{10};

// " on A, B" with the local addresses of the UDP sockets that hold port (0.0.0.0: every
// address), or empty when nobody does.
std::string portHoldersText(std::uint16_t port);

class DhcpSockets {
public:
    DhcpSockets();
    // Opens slots for entries that are present and served and closes the others, logging
    // "Start", "Stop" and "failed to start" per entry, and once why the port could not be had
    // (who holds it). A retry (the loop's own, while entries wait for the port) repeats none of
    // the failure lines while the cause stays the same. Returns the number of slots opened.
    int reconcile(const InterfaceTable& table, std::uint16_t port, LogSink& log, bool retry = false);
    void closeAll();

    bool anyOpen() const;
    // Entries that are present and served but got no socket at the last reconcile.
    std::size_t waitingForSocket() const { return waiting_; }
    // Whether they wait because another program holds the port; safe from any thread.
    bool portHeld() const { return portHeld_.load(); }
    bool slotOpen(std::size_t index) const { return index < kMaxInterfaces && open_[index]; }
    // The open sockets, one per port in use.
    std::size_t socketCount() const { return sockets_.size(); }
    platform::UdpSocket& socketAt(std::size_t index) { return sockets_[index].socket; }
    std::uint16_t portAt(std::size_t index) const { return sockets_[index].port; }

    // The served entry a datagram received on the socket belongs to: the entry whose address it
    // was sent to, or, for a broadcast, the first served entry of the interface it arrived on.
    // Works on the slots' own copies of their entries, so the hot path never touches the table.
    std::optional<InterfaceEntry> entryFor(const platform::DatagramInfo& info, std::size_t socketIndex) const;

    // The socket field of the status record per entry; safe from any thread.
    std::uint64_t socketImage(std::size_t index) const;

private:
    // The socket of the port, opened when there is none yet; the port it is bound to.
    std::optional<std::uint16_t> ensureSocket(std::uint16_t port);
    void closeUnused();
    void publishImages();
    void reportFailure(std::uint16_t port, int error, LogSink& log) const;

    struct PortSocket {
        std::uint16_t port = 0;
        platform::UdpSocket socket;
    };
    std::vector<PortSocket> sockets_;
    std::array<bool, kMaxInterfaces> open_{};
    std::array<std::uint16_t, kMaxInterfaces> slotPort_{};
    std::array<InterfaceEntry, kMaxInterfaces> slotEntry_{};  // the entry as it was at the last reconcile
    // What the control pipe shows of the slots, written by the loop's thread only.
    std::array<std::atomic<std::uint64_t>, kMaxInterfaces> images_{};
    std::size_t waiting_ = 0;
    std::atomic<bool> portHeld_{false};
    // The cause last logged for entries without a socket (port and error number), 0 for none.
    std::uint16_t reportedPort_ = 0;
    int reportedError_ = 0;
};

}  // namespace tolmark
