#pragma once
// The DHCP state rules of a request that has a record: which reply it gets (OFFER, ACK, NAK or
// none), what it changes in the record, and the line that logs it.

#include "server/dhcp/decision.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// address: the record's address; mask: the profile's subnet mask for it.
RuleOutcome applyMessageRules(const RequestInput& request, Ipv4 address, Ipv4 mask, bool fixedAddress);

}  // namespace tolmark::dhcp
