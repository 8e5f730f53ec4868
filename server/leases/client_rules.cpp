// The rules of the client table that depend on the configuration: which static entries may be
// added or changed, and the reservations that keep static addresses out of the dynamic pools.
// The table itself only stores; these decide.

#include "server/leases/client_rules.h"

#include <algorithm>
#include <new>

namespace tolmark {

namespace {

std::string fitText(std::string_view text, std::size_t maxChars) {
    return std::string(text.substr(0, std::min(text.size(), maxChars)));
}

// A reservation: kept for a static entry, with no identity of its own.
bool isReservation(const ClientRecord& record) {
    const std::uint8_t* bytes = record.identity->data();
    return record.expiry == kExpiryReserved && record.identity->kind() == kIdentityHardware &&
           std::all_of(bytes, bytes + record.identity->length(), [](std::uint8_t b) { return b == 0; });
}

bool profileExists(std::string_view name, const ProfileList& profiles) {
    // An empty name means the first profile.
    return name.empty() ? !profiles.empty() : profiles.find(name) != nullptr;
}

// The profile name a static entry keeps: an empty one is the first profile's, named, since a
// line without a profile name loads as "Standard", which need not be the first.
std::string_view storedProfileName(std::string_view name, const ProfileList& profiles) {
    if (name.empty() && profiles.first() != nullptr) name = profiles.first()->name;
    return name.substr(0, std::min(name.size(), kProfileNameChars));
}

void releaseUnsharedReservation(ClientTable& table, Ipv4 address, const ClientRecord* leaving);
bool staticChangeAllowed(ClientTable& table, const ClientFields& fields, bool allowDuplicateAddress,
                         const ProfileList& profiles, const ClientRecord* self);

}  // namespace

// ---- Reservations -----------------------------------------------------------------------------

void reserveAddress(ClientTable& table, Ipv4 address, const ProfileList& profiles, const LeaseEnding& ending) {
    const auto& all = profiles.profiles();
    const auto pool =
        std::find_if(all.begin(), all.end(), [&](const Profile& p) { return p.hasPool() && p.poolContains(address); });
    if (pool == all.end()) return;
    ClientRecord* record = findOrInsertDynamic(table, *pool, address);
    if (record == nullptr) return;
    try {
        table.setProfile(*record, fitText(pool->name, kProfileNameChars));
    } catch (const std::bad_alloc&) {
        // The reservation below still holds the address; only the name is missing.
    }
    if (ending) ending(*record);
    table.setIdentity(*record, Identity{});
    table.setExpiry(*record, kExpiryReserved);
    table.markChanged(ClientList::Dynamic);
}

ClientRecord* dynamicInsertionPoint(ClientTable& table, const PoolRef& pool, Ipv4 address) {
    // The pool's records run in address order: the new one goes before the first at or above
    // the address.
    const std::uint32_t base = ipv4ToHostOrder(pool.base);
    const std::uint32_t host = ipv4ToHostOrder(address);
    ClientRecord* stop = table.poolFirstAtOrAbove(pool, host >= base ? host - base : 0);
    return stop == nullptr ? table.last(ClientList::Dynamic) : table.previous(*stop);
}

void endOtherOffers(ClientTable& table, const ClientRecord& lease, std::int64_t now, const LeaseEnding& ending) {
    const Identity identity = lease.identity;
    if (identity.length == 0) return;
    ClientRecord* other = table.findIdentity(ClientList::Dynamic, identity, nullptr);
    while (other != nullptr) {
        ClientRecord* next = table.findIdentity(ClientList::Dynamic, identity, other);
        if (other != &lease && other->expiry <= now && profileNameEquals(other->profile, lease.profile)) {
            if (ending && other->expiry != 0) ending(*other);
            table.setIdentity(*other, Identity{});
            other->lastAccess = 0;
        }
        other = next;
    }
}

ClientRecord* findOrInsertDynamic(ClientTable& table, const Profile& profile, Ipv4 address) {
    // The new record goes where the pool's address order puts it, unless a record of that
    // address (of any profile) comes earlier.
    const PoolRef pool{profile.name, profile.baseIp, static_cast<std::uint32_t>(std::max(profile.range, 0))};
    const std::uint32_t base = ipv4ToHostOrder(profile.baseIp);
    const std::uint32_t host = ipv4ToHostOrder(address);
    ClientRecord* stop = table.poolFirstAtOrAbove(pool, host >= base ? host - base : 0);
    ClientRecord* same = table.findAddress(ClientList::Dynamic, address, nullptr);
    if (same != nullptr && (stop == nullptr || same == stop || table.precedes(*same, *stop))) return same;
    ClientRecord* passed = dynamicInsertionPoint(table, pool, address);
    ClientRecord* record = table.take();
    if (record == nullptr) return nullptr;
    try {
        table.setProfile(*record, fitText(profile.name, kProfileNameChars));
    } catch (const std::bad_alloc&) {
        table.release(*record);
        return nullptr;
    }
    table.setAddress(*record, address);
    table.insertDynamicAfter(passed, *record);
    return record;
}

void releaseReservation(ClientTable& table, Ipv4 address) {
    for (ClientRecord* r = table.findAddress(ClientList::Dynamic, address, nullptr); r != nullptr;
         r = table.findAddress(ClientList::Dynamic, address, r)) {
        if (isReservation(*r)) {
            table.setExpiry(*r, 0);
            table.markChanged(ClientList::Dynamic);
            return;
        }
    }
}

namespace {

// Releases the reservation unless another static record (other than leaving) keeps the address.
void releaseUnsharedReservation(ClientTable& table, Ipv4 address, const ClientRecord* leaving) {
    // Static records may share an address when duplicates were allowed; the pool address stays
    // withheld while any of them is left.
    if (address == 0 || table.findStaticByAddressExcept(address, leaving) != nullptr) return;
    releaseReservation(table, address);
}

}  // namespace

void reserveAllStatic(ClientTable& table, const ProfileList& profiles, const LeaseEnding& ending) {
    for (const ClientRecord* r = table.first(ClientList::Static); r != nullptr; r = table.next(*r)) {
        if (r->address != 0) reserveAddress(table, r->address, profiles, ending);
    }
}

// ---- Operations of the control pipe ------------------------------------------------------------

int profileUse(const ClientTable& table, std::string_view name, const ProfileList& profiles) {
    const Profile* profile = profiles.find(name);
    if (profile == nullptr) return 0;
    const bool isFirst = profile == profiles.first();
    for (const ClientRecord* r = table.first(ClientList::Static); r != nullptr; r = table.next(*r)) {
        // A static record without a profile name is served by the first profile.
        if (profileNameEquals(r->profile, name) || (isFirst && r->profile->empty())) return 2;
    }
    return 1;
}

namespace {

bool staticChangeAllowed(ClientTable& table, const ClientFields& fields, bool allowDuplicateAddress,
                         const ProfileList& profiles, const ClientRecord* self) {
    if (fields.identity.length > kIdentityBytes) return false;
    // Address 0 is an entry without an address of its own, kNeverServe one whose client is never
    // served; any other must be one a client can use: an entry at a multicast, reserved or
    // loopback address would hand it out.
    if (fields.address != 0 && fields.address != kNeverServe && !isClientAddress(fields.address)) return false;
    if (table.findStaticByIdentity(fields.identity, storedProfileName(fields.profile, profiles), self) != nullptr)
        return false;
    if (!allowDuplicateAddress && table.findStaticByAddressExcept(fields.address, self) != nullptr) return false;
    return profileExists(fields.profile, profiles);
}

}  // namespace

ClientRecord* addStatic(ClientTable& table, const ClientFields& fields, bool allowDuplicateAddress,
                        const ProfileList& profiles, const LeaseEnding& ending) {
    if (!staticChangeAllowed(table, fields, allowDuplicateAddress, profiles, nullptr)) return nullptr;
    ClientFields copy;
    try {
        copy = fields;
        copy.profile = std::string(storedProfileName(fields.profile, profiles));
        copy.hostName = fitText(fields.hostName, kHostNameChars);
        copy.remark = fitText(fields.remark, kRemarkChars);
    } catch (const std::bad_alloc&) {
        table.reportNoMemory();
        return nullptr;
    }
    ClientRecord* record = table.take();
    if (record == nullptr) return nullptr;
    try {
        table.fill(*record, copy);
    } catch (const std::bad_alloc&) {
        table.release(*record);
        table.reportNoMemory();
        return nullptr;
    }
    table.appendStatic(*record);
    if (record->address != 0) reserveAddress(table, record->address, profiles, ending);
    table.markChanged(ClientList::Static);
    return record;
}

bool modifyStatic(ClientTable& table, ClientRecord& record, const ClientFields& fields, bool allowDuplicateAddress,
                  const ProfileList& profiles, const LeaseEnding& ending) {
    if (!table.owns(record) || record.list() != ClientList::Static) return false;
    if (!staticChangeAllowed(table, fields, allowDuplicateAddress, profiles, &record)) return false;
    std::string profile, hostName, remark;
    try {
        profile = std::string(storedProfileName(fields.profile, profiles));
        hostName = fitText(fields.hostName, kHostNameChars);
        remark = fitText(fields.remark, kRemarkChars);
    } catch (const std::bad_alloc&) {
        return false;
    }
    table.setIdentity(record, fields.identity);
    table.setProfile(record, profile);
    record.hostName = std::move(hostName);
    record.remark = std::move(remark);
    const Ipv4 oldAddress = record.address;
    table.setAddress(record, fields.address);
    if (oldAddress != fields.address) {
        releaseUnsharedReservation(table, oldAddress, &record);
        if (fields.address != 0) reserveAddress(table, fields.address, profiles, ending);
    }
    table.markChanged(ClientList::Static);
    return true;
}

bool applySharedLease(ClientTable& table, const ClientFields& lease, bool removed, const ProfileList& profiles,
                      std::int64_t now) {
    table.pauseJournal(true);
    ClientRecord* record = table.findAddress(ClientList::Dynamic, lease.address, nullptr);
    bool applied = true;
    if (removed) {
        if (record != nullptr) table.release(*record);
    } else {
        // A lease without a profile name holds its address for no client (the database could
        // not name it): in the pool that has the address, or in the record there, whose pool
        // it leaves alone. A lease running there that this server knows stands: the broken row
        // may well be that lease's, with a column spoilt by a hand edit.
        const bool anyPool = lease.profile.empty();
        if (anyPool && record != nullptr && record->expiry > now) {
            table.pauseJournal(false);
            return true;
        }
        if (record == nullptr) {
            const auto& all = profiles.profiles();
            const auto pool = std::find_if(all.begin(), all.end(), [&](const Profile& p) {
                return p.hasPool() && p.poolContains(lease.address) &&
                       (anyPool || profileNameEquals(p.name, lease.profile));
            });
            if (pool != all.end()) {
                record = findOrInsertDynamic(table, *pool, lease.address);
            } else if ((record = table.take()) != nullptr) {
                // A pool this server does not have: kept at the end, as a load would.
                table.setAddress(*record, lease.address);
                table.insertDynamicAfter(table.last(ClientList::Dynamic), *record);
            }
        }
        applied = record != nullptr;
        if (applied) {
            try {
                if (!anyPool) table.setProfile(*record, fitText(lease.profile, kProfileNameChars));
                record->hostName = fitText(lease.hostName, kHostNameChars);
                record->remark = fitText(lease.remark, kRemarkChars);
            } catch (const std::bad_alloc&) {
                table.reportNoMemory();
            }
            table.setIdentity(*record, lease.identity);
            table.setExpiry(*record, lease.expiry);
            table.setSeenVia(*record, lease.seenVia);
            record->lastAccess = lease.lastAccess;
            // The client is served at this address now: what this server offered it elsewhere
            // in the pool is free again.
            if (lease.expiry > now) endOtherOffers(table, *record, now);
        }
    }
    table.markChanged(ClientList::Dynamic);
    table.pauseJournal(false);
    return applied;
}

bool deleteRecord(ClientTable& table, ClientList list, ClientRecord& record) {
    if (!table.owns(record) || record.list() != list) return false;
    switch (list) {
        case ClientList::Static: {
            const Ipv4 address = record.address;
            table.unlink(record);
            releaseUnsharedReservation(table, address, nullptr);
            table.release(record);
            break;
        }
        case ClientList::Ignored:
            table.unlink(record);
            table.release(record);
            break;
        case ClientList::Dynamic: {
            // The record keeps its place and address so the pool order stays intact; the
            // allocator reuses it like any expired lease.
            Identity freed;
            freed.kind = kIdentityFree;
            table.setIdentity(record, freed);
            record.lastAccess = 0;
            table.setExpiry(record, 0);
            record.remark.clear();
            record.hostName.clear();  // the name was its client's, whose records went before
            break;
        }
        default:
            return false;
    }
    table.markChanged(list);
    return true;
}

std::size_t purgeDynamic(ClientTable& table, const ProfileList& profiles, bool autoExclude, const LeaseEnding& ending) {
    std::size_t removed = 0;
    for (ClientRecord* r = table.first(ClientList::Dynamic); r != nullptr;) {
        ClientRecord* following = table.next(*r);
        const Profile* profile = profiles.find(r->profile);
        if (profile != nullptr && !(profile->hasPool() && profile->poolContains(r->address))) {
            if (ending) ending(*r);
            table.release(*r);
            ++removed;
        }
        r = following;
    }
    table.changes(ClientList::Dynamic).fetch_add(static_cast<std::int32_t>(removed));
    if (autoExclude) reserveAllStatic(table, profiles, ending);
    return removed;
}

}  // namespace tolmark
