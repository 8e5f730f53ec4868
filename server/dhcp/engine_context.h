#pragma once
// What the DHCP engine works on while it handles one request under the engine lock.

#include <cstdint>
#include <span>

#include "common/log_sink.h"
#include "common/settings_blocks.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "platform/arp.h"
#include "server/dhcp/engine_settings.h"
#include "server/dhcp/request_summary.h"
#include "server/leases/client_table.h"

namespace tolmark::dhcp {

struct EngineContext {
    ClientTable& clients;
    const ProfileList& profiles;
    const InterfaceTable& interfaces;
    LogSink& log;
    platform::ArpProber* arp;  // the address test; nullptr: no test possible
};

// What processing decided about the request, apart from what the client sent.
struct Outcome {
    int replyType = 0;          // 2 OFFER, 5 ACK, 6 NAK, 0 no DHCP reply
    bool fixedAddress = false;  // served from a static entry's address
    bool offSubnet = false;     // the address lies outside the receiving subnet
    bool parked = false;        // waits for an address test: process the request again later
};

struct Request {
    std::span<const std::uint8_t> datagram;
    RequestView& view;
    const EngineSettings& settings;
    std::int64_t now;
    bool interfaceTrusted;
    std::uint64_t milliseconds;  // of the engine's clock, for spreading reuse over a full pool
    Outcome& outcome;
};

// The client record that serves a request and the profile its options come from.
struct Selection {
    ClientRecord* record = nullptr;
    const Profile* profile = nullptr;
    explicit operator bool() const { return record != nullptr && profile != nullptr; }
};

}  // namespace tolmark::dhcp
