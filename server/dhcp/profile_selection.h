#pragma once
// Profile selection: the profiles that apply to a request (class profiles, the relay or
// interface profile of its network) and the record and options profile that serve it. A
// selection that needs a dynamic address names the pool to take it from (allocateFrom); the
// engine plans it (allocation.h). Nothing here changes the table.

#include <cstdint>

#include "server/dhcp/decision.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

bool classMatches(const Profile& profile, const RequestView& summary, std::uint16_t wildcard);
// The relay-class profile of the request's relay, or the interface profile of its interface.
const Profile* networkProfile(const ProfileList& profiles, const RequestView& summary, std::uint16_t wildcard);
bool macRangeAllows(const MacRangeTable& table, const RequestView& summary);

// The pool a selection's dynamic address comes from, when it needs one.
struct PoolChoice {
    const Profile* pool = nullptr;
    bool test = false;  // tested by ARP before it is given out
    // Without an address from it nothing serves the client, with the note "dyn. address lookup
    // failed" for clients without a static entry.
    bool noteWhenEmpty = false;
};

struct SelectionStart {
    Selection selection;
    PoolChoice allocateFrom;
};

SelectionStart selectKnownClient(EngineTables& tables, const RequestInput& request, ClientRecord& firstMatch);
SelectionStart selectUnregisteredClient(EngineTables& tables, const RequestInput& request);

}  // namespace tolmark::dhcp
