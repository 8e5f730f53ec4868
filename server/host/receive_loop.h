#pragma once
// The DHCP receive loop: waits on the served entries (at most 5 seconds at a time), carries out
// reload requests between waits, checks each datagram, hands accepted ones to the request
// processor under the engine lock and sends the reply to the destination the rules choose.

#include <cstdint>
#include <mutex>
#include <span>

#include "config/interface_table.h"
#include "config/settings_holder.h"
#include "platform/arp.h"
#include "platform/clock.h"
#include "platform/host_addresses.h"
#include "platform/wake_event.h"
#include "server/dhcp/request_processor.h"
#include "server/host/dhcp_sockets.h"
#include "server/host/log.h"
#include "server/host/reply_destination.h"
#include "server/host/server_flags.h"

namespace tolmark {

struct ReceiveLoopContext {
    InterfaceTable& interfaces;
    DhcpSockets& sockets;
    Log& log;
    ServerFlags& flags;
    std::mutex& engineLock;
    RequestProcessor& processor;
    SettingsHolder& settings;
    platform::HostAddressSource& hostAddresses;
    platform::ArpCache& arp;
    const platform::Clock& clock;
    const platform::WakeEvent& stop;
};

// Handles one received datagram that arrived for entry: the acceptance check with its error
// line, the request processor, the destination, "Delay", the send and the temporary ARP entry.
void handleDatagram(ReceiveLoopContext& context, const InterfaceEntry& entry, std::span<const std::uint8_t> datagram,
                    Ipv4 source, std::span<std::uint8_t> reply);

// Runs until ServerStopping is set.
void runReceiveLoop(ReceiveLoopContext& context);

// Makes a temporary ARP entry for the address on the first present entry's subnet that holds
// it; false (nothing touched) when there is none.
bool makeTemporaryArpEntry(const InterfaceTable& interfaces, platform::ArpCache& arp, Ipv4 address,
                           const std::uint8_t* hardware6, platform::ArpEntryType type, bool& made, int& ifIndex);

}  // namespace tolmark
