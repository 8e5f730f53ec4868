#include "server/dhcp/allocation.h"

#include <algorithm>
#include <cstring>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/identity_match.h"

namespace tolmark::dhcp {
namespace {

// The identity the pool is searched by; drops the remote ID from the summary when the record
// is to be keyed by the circuit ID. False when the client cannot be identified for a pool.
bool searchIdentity(const Request& r, const Profile& pool, Identity& identity) {
    RequestView& s = r.view;
    const bool relayIdentity = r.settings.relayValuesIdentify;
    const bool circuitKeyed = relayIdentity && s.circuitId &&
                              (!s.remoteId || (pool.selectorKind == SelectorKind::Relay &&
                                               pool.relaySelectorType != RelaySelectorType::CircuitId));
    if (circuitKeyed) {
        s.remoteId = ValueRef{};
    } else if (!relayIdentity || !s.remoteId) {
        if (!s.clientIdentifier && !r.settings.identifyByMac) return false;
    }
    identity = requestIdentity(s, relayIdentity);
    return true;
}

PoolRef poolRef(const Profile& pool) { return {pool.name, pool.baseIp, static_cast<std::uint32_t>(pool.range)}; }

void reuse(EngineContext& c, ClientRecord& rec, const Identity& identity) {
    c.clients.setExpiry(rec, 0);
    rec.hostName.clear();
    c.clients.setIdentity(rec, identity);
    c.clients.markChanged(ClientList::Dynamic);
}

bool relayLimitReached(EngineContext& c, const Request& r, const Profile& pool) {
    if (pool.selectorKind != SelectorKind::Relay || pool.selectorAddress != kBroadcastAll) return false;
    const std::int64_t limit = r.settings.relayLimit;
    if (limit <= 0) return true;
    // Only the records seen through this relay can count.
    std::int64_t count = 0;
    for (const ClientRecord* rec = c.clients.firstSeenVia(r.view.relayAddress); rec != nullptr;
         rec = c.clients.nextSeenVia(*rec)) {
        if (profileNameEquals(rec->profile, pool.name) && rec->expiry > r.now && ++count >= limit) return true;
    }
    return false;
}

// The pool as a walk in address order meets it: every record in range and, when the range's
// last offset is free, the first record beyond the range (left there by a smaller pool).
struct PoolWalk {
    EngineContext& c;
    PoolRef ref;
    ClientRecord* beyond = nullptr;

    PoolWalk(EngineContext& context, const Profile& pool) : c(context), ref(poolRef(pool)) {
        if (c.clients.poolRecordAt(ref, ref.range - 1) == nullptr)
            beyond = c.clients.poolFirstAtOrAbove(ref, ref.range);
    }
    bool meets(const ClientRecord& rec) const {
        const std::optional<std::uint32_t> offset = ClientTable::offsetIn(ref, rec);
        if (!offset) return false;
        return &rec == beyond || (*offset < ref.range && c.clients.poolRecordAt(ref, *offset) == &rec);
    }
    std::uint32_t offsetOf(const ClientRecord& rec) const { return *ClientTable::offsetIn(ref, rec); }
    // The client's own records of the pool in walk order.
    ClientRecord* own(const Identity& identity, const ClientRecord* after) const {
        for (ClientRecord* rec = c.clients.findIdentity(ClientList::Dynamic, identity, after); rec != nullptr;
             rec = c.clients.findIdentity(ClientList::Dynamic, identity, rec)) {
            if (meets(*rec)) return rec;
        }
        return nullptr;
    }
    // The first expired record of another client.
    ClientRecord* firstExpiredOfOthers(const Identity& identity, std::int64_t now) const {
        ClientRecord* rec = c.clients.poolFirstExpired(ref, 0, now);
        while (rec != nullptr && identityEquals(rec->identity, identity))
            rec = c.clients.poolFirstExpired(ref, offsetOf(*rec) + 1, now);
        if (rec == nullptr && beyond != nullptr && beyond->expiry < now && !identityEquals(beyond->identity, identity))
            rec = beyond;
        return rec;
    }
};

// The pool is full: the record whose lease ended earliest. With "ChangeIP" the search starts
// over a prefix of the pool that ends at a point spread by the clock, and the last of equal
// expiries wins.
ClientRecord* reuseCandidate(EngineContext& c, const Request& r, const PoolWalk& walk) {
    const std::uint32_t range = walk.ref.range;
    if (!r.settings.changeIp) return c.clients.poolEarliest(walk.ref, range - 1, r.now, false);
    const ClientRecord* expired = c.clients.poolFirstExpired(walk.ref, 0, r.now);
    if (expired == nullptr) return nullptr;
    const auto start = static_cast<std::uint32_t>(r.milliseconds % range);
    return c.clients.poolEarliest(walk.ref, std::max(start, walk.offsetOf(*expired)), r.now, true);
}

ClientRecord* newRecord(EngineContext& c, const Identity& identity, const Profile& pool, Ipv4 address,
                        ClientRecord* after) {
    ClientRecord* rec = c.clients.take();
    if (rec == nullptr) return nullptr;
    rec->identity = identity;
    rec->profile = pool.name.substr(0, 23);
    rec->address = address;
    c.clients.insertDynamicAfter(after, *rec);
    c.clients.markChanged(ClientList::Dynamic);
    return rec;
}

// The client's own record, or with "ChangeIP" on a DISCOVER an expired record of another
// client reused for it; nullptr when neither serves.
ClientRecord* existingRecord(EngineContext& c, const Request& r, const PoolWalk& walk, const Identity& identity) {
    if (!r.settings.changeIp) return walk.own(identity, nullptr);
    if (!(r.view.dhcp && r.view.messageType == kDiscover)) {
        for (ClientRecord* rec = walk.own(identity, nullptr); rec != nullptr; rec = walk.own(identity, rec)) {
            if (rec->lastAccess != 0) return rec;
        }
        return nullptr;
    }
    // A DISCOVER drops the client's own leases met before the record it moves to.
    ClientRecord* other = walk.firstExpiredOfOthers(identity, r.now);
    for (ClientRecord* rec = walk.own(identity, nullptr); rec != nullptr; rec = walk.own(identity, rec)) {
        if (other != nullptr && !c.clients.precedes(*rec, *other)) break;
        rec->lastAccess = 0;
        c.clients.setExpiry(*rec, 0);
    }
    if (other != nullptr) reuse(c, *other, identity);
    return other;
}

}  // namespace

ClientRecord* allocate(EngineContext& c, const Request& request, const Profile& pool) {
    const Request& r = request;
    Identity identity;
    if (pool.range <= 0 || !searchIdentity(r, pool, identity)) return nullptr;
    const PoolWalk walk(c, pool);
    if (ClientRecord* rec = existingRecord(c, r, walk, identity)) return rec;

    if (relayLimitReached(c, r, pool)) return nullptr;
    // Offsets fill from the base; the lowest free one is taken. After a gap the new record
    // goes behind the last record below it, else at the end of the list.
    const std::uint32_t free = c.clients.poolFirstFree(walk.ref);
    const bool gap = c.clients.poolOccupied(walk.ref) > free || walk.beyond != nullptr;
    const Ipv4 address = ipv4FromHostOrder(ipv4ToHostOrder(pool.baseIp) + free);
    if (gap) {
        ClientRecord* below = free == 0 ? nullptr : c.clients.poolRecordAt(walk.ref, free - 1);
        return newRecord(c, identity, pool, address, below);
    }
    if (free < walk.ref.range) return newRecord(c, identity, pool, address, c.clients.last(ClientList::Dynamic));
    ClientRecord* candidate = reuseCandidate(c, r, walk);
    if (candidate != nullptr) reuse(c, *candidate, identity);
    return candidate;
}

AddressTest testAddress(EngineContext& c, const Request& r, ClientRecord& rec, const Profile& pool) {
    if (c.arp == nullptr) return AddressTest::Free;
    // The ARP request leaves from the local address on the address's subnet.
    int ifIndex = -1;
    Ipv4 source = 0;
    for (const InterfaceEntry& e : c.interfaces.entries()) {
        if (e.present() && e.holds(rec.address)) {
            ifIndex = e.ifIndex;
            source = e.address;
            break;
        }
    }
    if (ifIndex < 0) return AddressTest::Free;
    const platform::ProbeResult answer = c.arp->probe(ifIndex, source, rec.address);
    if (answer.state == platform::ProbeState::Pending) return AddressTest::Pending;
    if (answer.state == platform::ProbeState::Free) return AddressTest::Free;
    if (rec.identity.kind() == kIdentityHardware && rec.identity.length() == 6 &&
        std::memcmp(rec.identity.data(), answer.holder.data(), 6) == 0) {
        return AddressTest::Free;
    }
    Identity holder;
    holder.kind = kIdentityHardware;
    holder.length = 6;
    std::memcpy(holder.bytes.data(), answer.holder.data(), 6);
    c.clients.setIdentity(rec, holder);
    c.clients.setExpiry(rec, r.now + pool.lease);
    c.clients.markChanged(ClientList::Dynamic);
    return AddressTest::InUse;
}

ClientRecord* allocateTested(EngineContext& c, const Request& r, const Profile& pool, bool test) {
    // Each conflict takes one address out of the pool for a lease time, so this ends.
    for (std::int32_t attempt = 0; attempt <= pool.range; ++attempt) {
        ClientRecord* rec = allocate(c, r, pool);
        if (rec == nullptr || !test || rec->identity.kind() != kIdentityHardware) return rec;
        switch (testAddress(c, r, *rec, pool)) {
            case AddressTest::Free:
                return rec;
            case AddressTest::InUse:
                break;
            case AddressTest::Pending:
                // The answer is not in yet: the request waits for it, and others go on meanwhile.
                r.outcome.parked = true;
                return nullptr;
        }
    }
    return nullptr;
}

}  // namespace tolmark::dhcp
