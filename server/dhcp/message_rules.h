#pragma once
// The DHCP state rules of a request that has a record: which reply it gets (OFFER, ACK, NAK or
// none), what it changes in the record, and the line that logs it.

#include "server/dhcp/decision.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// A REQUEST of a client in RENEWING or REBINDING: ciaddr, and no server identifier. The address
// it renews is ciaddr; an option 50 beside it (which such a client must not send) is not heeded.
bool renewsCiaddr(const RequestView& request);

// What the rules know of the record that serves a request, beside its address.
struct RecordFacts {
    bool fixed = false;            // a static entry's address
    bool known = false;            // the client's own record here, not one the pool search found for it
    bool heldLease = false;        // that record is a lease, and it runs
    bool ciaddrInPool = false;     // ciaddr lies in the pool the record's address comes from
    bool requestedInPool = false;  // so does the address the client asks for (option 50)
};

// address: the record's address; mask: the profile's subnet mask for it.
RuleOutcome applyMessageRules(const RequestInput& request, Ipv4 address, Ipv4 mask, const RecordFacts& record);

}  // namespace tolmark::dhcp
