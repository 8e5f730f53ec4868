#pragma once
// Finding the dynamic address that serves a client in a profile's pool: its existing lease, a
// free or expired record reused for it, or the lowest unassigned address. Finding changes
// nothing; the plan is committed once the request is decided.

#include "server/dhcp/decision.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// The plan, or no source when the pool has nothing for the client. test: the address is to be
// tested before it is given out (hardware identities only).
AddressPlan planAddress(EngineTables& tables, const RequestInput& request, const Profile& pool, bool test);

// The first step of planAddress: the client's own record of the pool (with "ChangeIP" on a
// DISCOVER, another client's expired one once its own are given up), or no source. Alone, it
// takes no address for the client: an INFORM's client has its address already.
AddressPlan planExistingAddress(EngineTables& tables, const RequestInput& request, const Profile& pool);

// The client's plan moved to the address it named in the same pool: the record there taken
// over, or a new one; no source when the address is outside the pool or this server knows it
// as another client's current lease.
AddressPlan planNamedAddress(EngineTables& tables, const AddressPlan& plan, Ipv4 address, std::int64_t now);

// A record that holds an address for the host or for a conflict is no lease: its all-zero
// hardware address belongs to no client.
bool isHold(const ClientRecord& record);

// Gives up the client's own leases that plan.giveUpOwnFirst names; the names of those still
// running are queued for removal (dnsQueue nullptr: not).
void giveUpOwnLeases(EngineTables& tables, const RequestInput& request, const AddressPlan& plan, const Profile& pool,
                     DnsUpdateQueue* dnsQueue);

// Makes the plan's record what the plan says: the client's own record as it is, another
// client's expired record taken over, or a new record linked in address order. nullptr when no
// record could be had (the table logged it). A record taken over whose names the expiry pass
// has not removed yet has their removal queued (dnsQueue nullptr: not).
ClientRecord* commitAddress(EngineTables& tables, const AddressPlan& plan, std::int64_t now, DnsUpdateQueue* dnsQueue);

// The ARP test of the planned address: free, in use by another host (its hardware address in
// holder), or still waiting for its answer. Changes nothing.
enum class AddressTest { Free, InUse, Pending };
AddressTest testAddress(EngineTables& tables, const AddressPlan& plan, HardwareAddress& holder);

// The address answered ARP for another host: the plan's record is committed for that host and
// held for one lease time of the pool, so that the next search passes it by. When that record
// is the client's own running lease, the names it registered are queued for removal first
// (dnsQueue nullptr: not): the hold names nobody whose names could be removed later.
void holdForHost(EngineTables& tables, const AddressPlan& plan, const HardwareAddress& holder,
                 const RequestInput& request, const Profile& pool, DnsUpdateQueue* dnsQueue);

// True while the plan still describes the table (a request that waited takes it up again).
bool planStillHolds(EngineTables& tables, const AddressPlan& plan, std::int64_t now);

}  // namespace tolmark::dhcp
