#pragma once
// A received request into its summary (what the client sent), the view of it that policy reads
// (with the settings applied), and the acceptance rules of the message types.

#include <cstdint>
#include <span>

#include "server/dhcp/engine_settings.h"
#include "server/dhcp/request_summary.h"

namespace tolmark::dhcp {

// Reads the header fields and, after the cookie, the options of a request of at least 236
// bytes into the summary, whose arrival addresses are already set. No setting is consulted.
void parseRequest(std::span<const std::uint8_t> request, RequestSummary& summary);

// The view of the summary that policy reads, with the settings applied. interfaceTrusted:
// relay agent information is accepted on the receiving interface.
void applySettings(const RequestSummary& summary, const EngineSettings& settings, bool interfaceTrusted,
                   RequestView& view);

// The acceptance rules of the message types. False: the message is to be rejected.
bool acceptable(const RequestView& view, const EngineSettings& settings);

}  // namespace tolmark::dhcp
