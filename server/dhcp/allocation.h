#pragma once
// Choosing the dynamic record that serves a client from a profile's pool: its existing lease,
// a free or expired record reused for it, or a new record for the lowest unassigned address.

#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// The record, or nullptr when the pool has nothing for the client. Increments the dynamic
// list's change count on success.
ClientRecord* allocate(EngineContext& context, const Request& request, const Profile& pool);

// With "TestIP": allocation repeated while another host answers ARP for the address found.
// While the answer for an address is still awaited it returns nullptr with the outcome marked
// parked: the request is to be processed again once the answer (or its time-out) is in.
ClientRecord* allocateTested(EngineContext& context, const Request& request, const Profile& pool, bool test);

enum class AddressTest { Free, InUse, Pending };
// InUse when another host answers for the record's address; the address is then held for that
// host for one lease time of the pool.
AddressTest testAddress(EngineContext& context, const Request& request, ClientRecord& record, const Profile& pool);

}  // namespace tolmark::dhcp
