#pragma once
// What the DHCP engine decides by while it handles one request under the engine lock: the
// tables it reads (and, when committing, changes), and the request as policy reads it.

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

struct EngineTables {
    ClientTable& clients;
    const ProfileList& profiles;
    const InterfaceTable& interfaces;
    LogSink& log;
    platform::ArpProber* arp;  // the address test; nullptr: no test possible
};

// One request as deciding reads it. Nothing here changes while a decision is made.
struct RequestInput {
    std::span<const std::uint8_t> datagram;
    const RequestView& view;
    const EngineSettings& settings;
    std::int64_t now;
    bool interfaceTrusted;
    std::uint64_t milliseconds;  // of the engine's clock, for spreading reuse over a full pool
};

}  // namespace tolmark::dhcp
