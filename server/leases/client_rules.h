#pragma once
// What the configuration decides about client records: the admission of static entries (no
// second entry of one identity in a profile, no address twice unless allowed, an existing
// profile) and the reservations that hold static addresses inside the dynamic pools. Called
// under the engine lock, by the engine, the control pipe and the loader.

#include <cstddef>
#include <functional>
#include <string_view>

#include "config/profiles.h"
#include "server/leases/client_table.h"

namespace tolmark {

// Told of a dynamic record that stops being its client's here (freed, or taken for a
// reservation), before its identity goes: what the lease set up outside the table (its DNS
// names) can go with it. Unset: nobody is told.
using LeaseEnding = std::function<void(const ClientRecord&)>;

// Reservations of static addresses inside dynamic pools.
void reserveAddress(ClientTable& table, Ipv4 address, const ProfileList& profiles, const LeaseEnding& ending = {});
ClientRecord* findOrInsertDynamic(ClientTable& table, const Profile& profile, Ipv4 address);
// Where a new record of that address of the pool goes to keep the pool in address order: after
// the record returned (nullptr: at the head).
ClientRecord* dynamicInsertionPoint(ClientTable& table, const PoolRef& pool, Ipv4 address);
// The client now holds a current lease at `lease`: what was offered to it elsewhere in the same
// pool (records of its identity without a current lease) is free again. ending is told of each
// before its identity goes (an expired lease there may still have its names).
void endOtherOffers(ClientTable& table, const ClientRecord& lease, std::int64_t now, const LeaseEnding& ending = {});
void releaseReservation(ClientTable& table, Ipv4 address);
void reserveAllStatic(ClientTable& table, const ProfileList& profiles, const LeaseEnding& ending = {});

// Operations of the control pipe; false or nullptr when refused.
int profileUse(const ClientTable& table, std::string_view name,
               const ProfileList& profiles);  // 0 none, 1 unused, 2 static use
ClientRecord* addStatic(ClientTable& table, const ClientFields& fields, bool allowDuplicateAddress,
                        const ProfileList& profiles, const LeaseEnding& ending = {});
bool modifyStatic(ClientTable& table, ClientRecord& record, const ClientFields& fields, bool allowDuplicateAddress,
                  const ProfileList& profiles, const LeaseEnding& ending = {});
bool deleteRecord(ClientTable& table, ClientList list, ClientRecord& record);
// Returns the number of records removed.
std::size_t purgeDynamic(ClientTable& table, const ProfileList& profiles, bool autoExclude,
                         const LeaseEnding& ending = {});

// A lease as another server wrote it to the shared lease table: the dynamic record of its
// address takes its state (one is made in address order when there is none), or a removed
// lease frees the address. A current lease (expiry after now) ends this server's offers to the
// same client in the same pool. Not journalled: the change came from the table. False when no
// record could be had for it.
bool applySharedLease(ClientTable& table, const ClientFields& lease, bool removed, const ProfileList& profiles,
                      std::int64_t now);

}  // namespace tolmark
