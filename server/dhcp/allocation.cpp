#include "server/dhcp/allocation.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <utility>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/dns_removal.h"
#include "server/dhcp/identity_match.h"
#include "server/leases/client_rules.h"

namespace tolmark::dhcp {
namespace {

// The identity the pool is searched by. When the record is to be keyed by the circuit ID, the
// remote ID no longer counts (dropRemoteId). False when the client cannot be identified for a
// pool.
bool searchIdentity(const RequestInput& r, const Profile& pool, Identity& identity, bool& dropRemoteId) {
    const RequestView& s = r.view;
    const bool relayIdentity = r.settings.relayValuesIdentify;
    const bool circuitKeyed = relayIdentity && s.circuitId &&
                              (!s.remoteId || (pool.selectorKind == SelectorKind::Relay &&
                                               pool.relaySelectorType != RelaySelectorType::CircuitId));
    dropRemoteId = circuitKeyed;
    if (!circuitKeyed && (!relayIdentity || !s.remoteId)) {
        // Keyed by the hardware address: an empty one (hlen 0) is no client's own.
        if (!s.clientIdentifier && (!r.settings.identifyByMac || s.hardwareLength == 0)) return false;
    }
    identity = requestIdentity(s, relayIdentity, circuitKeyed);
    return true;
}

PoolRef poolRef(const Profile& pool) { return {pool.name, pool.baseIp, static_cast<std::uint32_t>(pool.range)}; }

// The plan's identity and pool; false when the pool has no addresses or the client cannot be
// identified for it.
bool identifyForPool(const RequestInput& r, const Profile& pool, AddressPlan& plan) {
    if (pool.range <= 0 || !searchIdentity(r, pool, plan.identity, plan.dropRemoteId)) return false;
    plan.pool = poolRef(pool);
    return true;
}

bool relayLimitReached(EngineTables& c, const RequestInput& r, const Profile& pool) {
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
    ClientTable& clients;
    PoolRef ref;
    ClientRecord* beyond = nullptr;

    PoolWalk(ClientTable& table, const PoolRef& pool) : clients(table), ref(pool) {
        if (clients.poolRecordAt(ref, ref.range - 1) == nullptr) beyond = clients.poolFirstAtOrAbove(ref, ref.range);
    }
    bool meets(const ClientRecord& rec) const {
        const std::optional<std::uint32_t> offset = ClientTable::offsetIn(ref, rec);
        if (!offset) return false;
        return &rec == beyond || (*offset < ref.range && clients.poolRecordAt(ref, *offset) == &rec);
    }
    std::uint32_t offsetOf(const ClientRecord& rec) const { return *ClientTable::offsetIn(ref, rec); }
    // The client's own records of the pool in walk order.
    ClientRecord* own(const Identity& identity, const ClientRecord* after) const {
        for (ClientRecord* rec = clients.findIdentity(ClientList::Dynamic, identity, after); rec != nullptr;
             rec = clients.findIdentity(ClientList::Dynamic, identity, rec)) {
            if (meets(*rec)) return rec;
        }
        return nullptr;
    }
    // The first expired record of another client.
    ClientRecord* firstExpiredOfOthers(const Identity& identity, std::int64_t now) const {
        ClientRecord* rec = clients.poolFirstExpired(ref, 0, now);
        while (rec != nullptr && identityEquals(rec->identity, identity))
            rec = clients.poolFirstExpired(ref, offsetOf(*rec) + 1, now);
        if (rec == nullptr && beyond != nullptr && beyond->expiry < now && !identityEquals(beyond->identity, identity))
            rec = beyond;
        return rec;
    }
    // "ChangeIP" on a DISCOVER: the client's own records met before `until` (all when nullptr)
    // are given up, each in turn.
    template <class Each>
    void ownBefore(const Identity& identity, const ClientRecord* until, Each&& each) const {
        for (ClientRecord* rec = own(identity, nullptr); rec != nullptr; rec = own(identity, rec)) {
            if (until != nullptr && !clients.precedes(*rec, *until)) break;
            each(*rec);
        }
    }
};

// The pool is full: the record whose lease ended earliest. With "ChangeIP" the search starts
// over a prefix of the pool that ends at a point spread by the clock, and the last of equal
// expiries wins.
ClientRecord* reuseCandidate(ClientTable& clients, const RequestInput& r, const PoolWalk& walk) {
    const std::uint32_t range = walk.ref.range;
    if (!r.settings.changeIp) return clients.poolEarliest(walk.ref, range - 1, r.now, false);
    const ClientRecord* expired = clients.poolFirstExpired(walk.ref, 0, r.now);
    if (expired == nullptr) return nullptr;
    const auto start = static_cast<std::uint32_t>(r.milliseconds % range);
    return clients.poolEarliest(walk.ref, std::max(start, walk.offsetOf(*expired)), r.now, true);
}

bool changeIpDiscover(const RequestInput& r) {
    return r.settings.changeIp && r.view.dhcp && r.view.messageType == kDiscover;
}

// The client's own record, or with "ChangeIP" on a DISCOVER an expired record of another
// client taken over for it (after the client's own leases met before it are given up).
void existingRecord(const RequestInput& r, const PoolWalk& walk, AddressPlan& plan) {
    if (!r.settings.changeIp) {
        plan.record = walk.own(plan.identity, nullptr);
        if (plan.record != nullptr) plan.source = AddressPlan::Source::Own;
        return;
    }
    if (!changeIpDiscover(r)) {
        for (ClientRecord* rec = walk.own(plan.identity, nullptr); rec != nullptr; rec = walk.own(plan.identity, rec)) {
            if (rec->lastAccess != 0) {
                plan.source = AddressPlan::Source::Own;
                plan.record = rec;
                return;
            }
        }
        return;
    }
    ClientRecord* other = walk.firstExpiredOfOthers(plan.identity, r.now);
    walk.ownBefore(plan.identity, other, [&](const ClientRecord& rec) {
        if (rec.lastAccess != 0 || rec.expiry != 0) plan.giveUpOwnFirst = true;
    });
    if (plan.giveUpOwnFirst || other == nullptr) return;
    plan.source = AddressPlan::Source::Reuse;
    plan.record = other;
}

}  // namespace

Ipv4 AddressPlan::address() const {
    if (source == Source::New) return ipv4FromHostOrder(ipv4ToHostOrder(pool.base) + offset);
    return record != nullptr ? record->address : 0;
}

AddressPlan planExistingAddress(EngineTables& c, const RequestInput& r, const Profile& pool) {
    AddressPlan plan;
    if (identifyForPool(r, pool, plan)) existingRecord(r, PoolWalk(c.clients, plan.pool), plan);
    return plan;
}

AddressPlan planAddress(EngineTables& c, const RequestInput& r, const Profile& pool, bool test) {
    AddressPlan plan;
    if (!identifyForPool(r, pool, plan)) return plan;
    plan.test = test && plan.identity.kind == kIdentityHardware;
    const PoolWalk walk(c.clients, plan.pool);
    existingRecord(r, walk, plan);
    if (plan || plan.giveUpOwnFirst) return plan;

    if (relayLimitReached(c, r, pool)) return plan;
    // Offsets fill from the base; the lowest free one is taken. After a gap the new record
    // goes behind the last record below it, else at the end of the list.
    const std::uint32_t free = c.clients.poolFirstFree(walk.ref);
    const bool gap = c.clients.poolOccupied(walk.ref) > free || walk.beyond != nullptr;
    if (gap || free < walk.ref.range) {
        plan.source = AddressPlan::Source::New;
        plan.offset = free;
        plan.appended = !gap;
        plan.after = !gap ? c.clients.last(ClientList::Dynamic)
                          : (free == 0 ? nullptr : c.clients.poolRecordAt(walk.ref, free - 1));
        return plan;
    }
    if (ClientRecord* candidate = reuseCandidate(c.clients, r, walk)) {
        plan.source = AddressPlan::Source::Reuse;
        plan.record = candidate;
    } else {
        plan.exhausted = true;
    }
    return plan;
}

AddressPlan planNamedAddress(EngineTables& c, const AddressPlan& from, Ipv4 address, std::int64_t now) {
    AddressPlan plan;
    const std::uint32_t base = ipv4ToHostOrder(from.pool.base);
    const std::uint32_t host = ipv4ToHostOrder(address);
    if (from.source == AddressPlan::Source::None || host < base || host - base >= from.pool.range) return plan;
    plan.identity = from.identity;
    plan.pool = from.pool;
    plan.dropRemoteId = from.dropRemoteId;
    plan.named = true;
    plan.offset = host - base;
    ClientRecord* holder = c.clients.findAddress(ClientList::Dynamic, address, nullptr);
    if (holder == nullptr) {
        plan.source = AddressPlan::Source::New;
        return plan;
    }
    if (holder->expiry > now && !identityEquals(holder->identity, plan.identity)) return AddressPlan{};
    plan.source =
        identityEquals(holder->identity, plan.identity) ? AddressPlan::Source::Own : AddressPlan::Source::Reuse;
    plan.record = holder;
    return plan;
}

bool isHold(const ClientRecord& rec) {
    const Identity id = rec.identity;
    return id.kind == kIdentityHardware && id.length == 6 &&
           std::all_of(id.bytes.begin(), id.bytes.begin() + 6, [](std::uint8_t b) { return b == 0; });
}

void giveUpOwnLeases(EngineTables& c, const RequestInput& r, const AddressPlan& plan, const Profile& pool,
                     DnsUpdateQueue* dnsQueue) {
    const PoolWalk walk(c.clients, plan.pool);
    ClientRecord* other = walk.firstExpiredOfOthers(plan.identity, r.now);
    walk.ownBefore(plan.identity, other, [&](ClientRecord& rec) {
        // A lease still running ends here: the client moves on, and its name must not lead to
        // the address the pool gives out next. A hold (met by an all-zero hardware address) is
        // no lease and registered nothing.
        queueRunningLeaseRemoval(dnsQueue, pool, rec, &r.view, r.now);
        rec.lastAccess = 0;
        c.clients.setExpiry(rec, 0);
    });
}

ClientRecord* commitAddress(EngineTables& c, const AddressPlan& plan, std::int64_t now, DnsUpdateQueue* dnsQueue) {
    ClientTable& table = c.clients;
    switch (plan.source) {
        case AddressPlan::Source::None:
            return nullptr;
        case AddressPlan::Source::Own:
            return plan.record;
        case AddressPlan::Source::Reuse: {
            ClientRecord& rec = *plan.record;
            // Another client's lease that ran out after the expiry pass last came: its identity
            // and name go now, so the pass would not find what to remove, and its names would
            // lead to the address the new client gets.
            queueTableLeaseRemoval(dnsQueue, c.profiles, rec, now);
            table.setExpiry(rec, 0);
            rec.hostName.clear();
            table.setIdentity(rec, plan.identity);
            table.markChanged(ClientList::Dynamic);
            return &rec;
        }
        case AddressPlan::Source::New: {
            ClientRecord* rec = table.take();
            if (rec == nullptr) return nullptr;
            table.setIdentity(*rec, plan.identity);
            table.setProfile(*rec, plan.pool.name.substr(0, kProfileNameChars));
            table.setAddress(*rec, plan.address());
            table.insertDynamicAfter(plan.named ? dynamicInsertionPoint(table, plan.pool, plan.address()) : plan.after,
                                     *rec);
            table.markChanged(ClientList::Dynamic);
            return rec;
        }
    }
    return nullptr;
}

AddressTest testAddress(EngineTables& c, const AddressPlan& plan, HardwareAddress& holder) {
    if (c.arp == nullptr) return AddressTest::Free;
    const Ipv4 address = plan.address();
    // The ARP request leaves from the local address on the address's subnet.
    int ifIndex = -1;
    Ipv4 source = 0;
    for (const InterfaceEntry& e : c.interfaces.entries()) {
        if (e.present() && e.holds(address)) {
            ifIndex = e.ifIndex;
            source = e.address;
            break;
        }
    }
    if (ifIndex < 0) return AddressTest::Free;
    const platform::ProbeResult answer = c.arp->probe(ifIndex, source, address);
    if (answer.state == platform::ProbeState::Pending) return AddressTest::Pending;
    if (answer.state == platform::ProbeState::Free) return AddressTest::Free;
    // The client answering for its own address is no conflict.
    if (plan.identity.kind == kIdentityHardware && plan.identity.length == 6 &&
        std::memcmp(plan.identity.bytes.data(), answer.holder.data(), 6) == 0) {
        return AddressTest::Free;
    }
    std::copy_n(answer.holder.begin(), 6, holder.begin());
    return AddressTest::InUse;
}

void holdForHost(EngineTables& c, const AddressPlan& plan, const HardwareAddress& holder, const RequestInput& r,
                 const Profile& pool, DnsUpdateQueue* dnsQueue) {
    if (plan.source == AddressPlan::Source::Own) queueRunningLeaseRemoval(dnsQueue, pool, *plan.record, &r.view, r.now);
    ClientRecord* rec = commitAddress(c, plan, r.now, dnsQueue);
    if (rec == nullptr) return;
    rec->hostName.clear();  // the client's name went with its lease
    const std::int64_t now = r.now;
    Identity host;
    host.kind = kIdentityHardware;
    host.length = 6;
    std::copy_n(holder.begin(), 6, host.bytes.begin());
    c.clients.setIdentity(*rec, host);
    // The lease time goes on the wire as 32 bits without a sign: "Lease" -1 is infinite.
    c.clients.setExpiry(*rec, now + static_cast<std::uint32_t>(pool.lease));
    c.clients.markChanged(ClientList::Dynamic);
}

bool planStillHolds(EngineTables& c, const AddressPlan& plan, std::int64_t now) {
    switch (plan.source) {
        case AddressPlan::Source::None:
            return true;
        case AddressPlan::Source::Own:
            return c.clients.owns(*plan.record) && plan.record->list() == ClientList::Dynamic &&
                   identityEquals(plan.record->identity, plan.identity);
        case AddressPlan::Source::Reuse:
            return c.clients.owns(*plan.record) && plan.record->list() == ClientList::Dynamic &&
                   plan.record->expiry < now;
        case AddressPlan::Source::New: {
            if (c.clients.poolRecordAt(plan.pool, plan.offset) != nullptr) return false;
            if (plan.named) return c.clients.findAddress(ClientList::Dynamic, plan.address(), nullptr) == nullptr;
            if (plan.appended) return c.clients.last(ClientList::Dynamic) == plan.after;
            const ClientRecord* below = plan.offset == 0 ? nullptr : c.clients.poolRecordAt(plan.pool, plan.offset - 1);
            return below == plan.after;
        }
    }
    return false;
}

}  // namespace tolmark::dhcp
