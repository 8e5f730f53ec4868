#pragma once
// Choosing the dynamic record that serves a client from a profile's pool: its existing lease,
// a free or expired record reused for it, or a new record for the lowest unassigned address.

#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// The record, or nullptr when the pool has nothing for the client. Increments the dynamic
// list's change count on success.
ClientRecord* allocate(EngineContext& context, const Request& request, const Profile& pool);

// With "TestIP": allocation repeated while another host answers ARP for the address found.
ClientRecord* allocateTested(EngineContext& context, const Request& request, const Profile& pool, bool test);

// True when another host answers for the record's address; the address is then held for that
// host for one lease time of the pool.
bool addressInUse(EngineContext& context, const Request& request, ClientRecord& record, const Profile& pool);

}  // namespace tolmark::dhcp
