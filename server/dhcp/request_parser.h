#pragma once
// Turns a received request into its summary: the header fields, the option walk and the
// acceptance rules of the message types.

#include <cstdint>
#include <span>

#include "server/dhcp/engine_settings.h"
#include "server/dhcp/request_summary.h"

namespace tolmark::dhcp {

// Copies the header fields the engine needs into the summary (flags byte, ciaddr, relay
// address, hardware address and length, maximum reply size 548). The request is at least 236
// bytes long.
void readHeader(std::span<const std::uint8_t> request, RequestSummary& summary);

// Walks the options and applies the acceptance rules. False: the message is to be rejected.
// interfaceTrusted: relay agent information is accepted on the receiving interface.
bool parseAndCheck(std::span<const std::uint8_t> request, RequestSummary& summary, const EngineSettings& settings,
                   bool interfaceTrusted);

}  // namespace tolmark::dhcp
