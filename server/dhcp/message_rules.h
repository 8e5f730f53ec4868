#pragma once
// The DHCP state rules of a request that has a record: which reply it gets (OFFER, ACK, NAK or
// none), what it changes in the record, and the line that logs it.

#include "server/dhcp/decision.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// A REQUEST of a client in RENEWING or REBINDING: ciaddr, and no server identifier. The address
// it renews is ciaddr; an option 50 beside it (which such a client must not send) is not heeded.
bool renewsCiaddr(const RequestView& request);

// address: the record's address; mask: the profile's subnet mask for it. heldLease: the record is
// the client's own lease here, and it runs.
RuleOutcome applyMessageRules(const RequestInput& request, Ipv4 address, Ipv4 mask, bool fixedAddress,
                              bool heldLease = false);

}  // namespace tolmark::dhcp
