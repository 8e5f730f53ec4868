#pragma once
// The DHCP receive loop: waits on the served entries (at most 5 seconds at a time), carries out
// reload requests between waits, checks each datagram, hands accepted ones to the request
// processor under the engine lock and sends the reply to the destination the rules choose.

#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <vector>

#include "base/annotated_mutex.h"
#include "config/interface_table.h"
#include "config/settings_holder.h"
#include "platform/arp.h"
#include "platform/clock.h"
#include "platform/host_addresses.h"
#include "platform/link_sender.h"
#include "platform/wake_event.h"
#include "server/dhcp/request_processor.h"
#include "server/host/dhcp_sockets.h"
#include "server/host/log.h"
#include "server/host/reply_destination.h"
#include "server/host/server_flags.h"
#include "server/metrics/server_metrics.h"

namespace tolmark {

struct ReceiveLoopContext {
    InterfaceTable& interfaces;
    DhcpSockets& sockets;
    Log& log;
    ServerFlags& flags;
    Mutex& engineLock;  // held around every call of the processor
    RequestProcessor& processor;
    SettingsHolder& settings;
    platform::HostAddressSource& hostAddresses;
    platform::ArpCache& arp;
    const platform::Clock& clock;
    const platform::WakeEvent& stop;
    // Signalled when ARP tests have their answers: the requests that wait for them go on.
    platform::WakeEvent* addressTestsDone = nullptr;
    // Unicast replies to clients without an address go straight to their hardware address
    // when it is ready; through a temporary ARP entry otherwise.
    platform::LinkSender* linkSender = nullptr;
    // Leases shared through a lease database: signalled when it has answers to claims or other
    // servers' changes; takeLeaseAnswers, called under the engine lock, applies the changes to
    // the table and gives the answers, which the processor then takes up.
    const platform::WakeEvent* leaseAnswers = nullptr;
    std::function<void(std::vector<ClaimAnswer>&)> takeLeaseAnswers = {};
    // Messages, replies and claims are counted here; nullptr: not counted.
    DhcpCounters* counters = nullptr;
    // Called after the sockets were reconciled (a reload, or a retry of a port that was held).
    std::function<void()> socketsReconciled = {};
    // Called every kSocketRetryInterval: tries again the other ports that were held.
    std::function<void()> retryHeldPorts = {};
};

// Requests that wait for the ARP test of their address or for the lease database's answer to
// their claim: the processor keeps each with its decision under a ticket, whose low bits name
// its place; the loop keeps where the answer is to go, in the same place.
class ParkedRequests {
public:
    static constexpr std::size_t kPlaces = kParkedRequestPlaces;
    static constexpr std::int64_t kLongestWaitMs = 5000;

    struct Waiting {
        std::uint64_t ticket = 0;
        InterfaceEntry entry;
        std::size_t socketIndex = 0;
        std::int64_t since = 0;
    };

    ParkedRequests();
    void park(const Waiting& waiting);
    // Takes the longest-waiting request out; false when none waits. Requests that waited too
    // long are dropped on the way.
    bool takeOldest(std::int64_t nowMs, Waiting& waiting);
    // Takes out the request of this ticket; false when it is not waiting (any more).
    bool take(std::uint64_t ticket, Waiting& waiting);
    std::size_t size() const;
    void clear();

private:
    std::vector<Waiting> places_;  // ticket 0: free
};

// Sends the processor's reply for a request that arrived for entry: the destination, "Delay",
// the send (straight to the hardware address, or after a temporary ARP entry, for a client that
// has no address yet).
void sendReply(ReceiveLoopContext& context, const InterfaceEntry& entry, const ReplyPlan& plan,
               std::span<const std::uint8_t> reply, platform::UdpSocket& socket);

// Handles one received datagram that arrived for entry: the acceptance check with its error
// line, the request processor and the reply. Returns the plan; plan.parked when the request
// waits for an address test instead (nothing was sent).
ReplyPlan handleDatagram(ReceiveLoopContext& context, const InterfaceEntry& entry,
                         std::span<const std::uint8_t> datagram, Ipv4 source, std::span<std::uint8_t> reply,
                         platform::UdpSocket& socket);

// Runs until ServerStopping is set.
void runReceiveLoop(ReceiveLoopContext& context);

// Makes a temporary ARP entry for the address on the first present entry's subnet that holds
// it; false (nothing touched) when there is none.
bool makeTemporaryArpEntry(const InterfaceTable& interfaces, platform::ArpCache& arp, Ipv4 address,
                           const std::uint8_t* hardware6, platform::ArpEntryType type, bool& made, int& ifIndex);

}  // namespace tolmark
