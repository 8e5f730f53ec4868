#pragma once
// Writing a decided and committed request's reply into the reply buffer, through the checked
// writer: the header over a copy of the request, the options in the client's order, the
// overload into `file` and `sname`, and the final length.

#include <cstddef>
#include <span>

#include "server/dhcp/decision.h"
#include "server/dhcp/engine_context.h"
#include "server/dhcp/reply_writer.h"

namespace tolmark::dhcp {

// Starts every reply: the request copied (every field not set is echoed), the rest zero, op
// and hlen set.
void startReply(ReplyWriter& reply, std::span<const std::uint8_t> request, std::uint16_t hardwareLength);

// The probe's own options with OFFER, then zeros: a message that only carries the probe's marks
// gets the same well-formed answer as the probe, none of its other option bytes.
std::size_t writeProbeAnswer(ReplyWriter& reply, Ipv4 interfaceAddress);

// The reply of a served request; 0 when the rules send none. offSubnet: set when the address
// lies outside the receiving subnet.
std::size_t writeServedReply(EngineTables& tables, const RequestInput& request, const Decision& decision,
                             const ClientRecord& record, const OptionCodeList& defaultOptions, ReplyWriter& reply,
                             bool& offSubnet);

}  // namespace tolmark::dhcp
