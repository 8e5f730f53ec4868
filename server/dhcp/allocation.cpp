#include "server/dhcp/allocation.h"

#include <cstring>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/identification.h"

namespace tolmark::dhcp {
namespace {

// The identity the pool is searched by; drops the remote ID from the summary when the record
// is to be keyed by the circuit ID. False when the client cannot be identified for a pool.
bool searchIdentity(const Request& r, const Profile& pool, Identity& identity) {
    RequestSummary& s = r.summary;
    const int ra = r.settings.relayAgent;
    const bool circuitKeyed = !(ra & kRelayNotIdentity) && s.circuitId &&
                              (!s.remoteId || (pool.selectorKind == SelectorKind::Relay &&
                                               pool.relaySelectorType != RelaySelectorType::CircuitId));
    if (circuitKeyed) {
        s.remoteId = ValueRef{};
    } else if ((ra & kRelayNotIdentity) || !s.remoteId) {
        if (!s.clientIdentifier && r.settings.enableMac == 0) return false;
    }
    identity = requestIdentity(s, ra);
    return true;
}

bool sameIdentity(const Identity& a, const Identity& b) {
    return a.kind == b.kind && a.length == b.length && std::memcmp(a.bytes.data(), b.bytes.data(), a.length) == 0;
}

bool belongsToPool(const ClientRecord& rec, const Profile& pool) {
    return profileNameEquals(rec.profile, pool.name) && ipv4ToHostOrder(rec.address) >= ipv4ToHostOrder(pool.baseIp);
}

std::uint32_t offsetOf(const ClientRecord& rec, const Profile& pool) {
    return ipv4ToHostOrder(rec.address) - ipv4ToHostOrder(pool.baseIp);
}

void reuse(EngineContext& c, ClientRecord& rec, const Identity& identity) {
    rec.expiry = 0;
    rec.hostName.clear();
    rec.identity = identity;
    c.clients.markChanged(ClientList::Dynamic);
}

bool relayLimitReached(EngineContext& c, const Request& r, const Profile& pool) {
    if (pool.selectorKind != SelectorKind::Relay || pool.selectorAddress != kBroadcastAll) return false;
    const std::int64_t limit = r.settings.relayLimit;
    if (limit <= 0) return true;
    std::int64_t count = 0;
    for (const ClientRecord* rec = c.clients.first(ClientList::Dynamic); rec != nullptr; rec = c.clients.next(*rec)) {
        if (profileNameEquals(rec->profile, pool.name) && rec->expiry > r.now &&
            rec->seenVia == r.summary.relayAddress && ++count >= limit) {
            return true;
        }
    }
    return false;
}

// The pool is full: the record whose lease ended earliest.
ClientRecord* reuseCandidate(EngineContext& c, const Request& r, const Profile& pool) {
    const bool changeIp = r.settings.changeIp != 0;
    const std::uint64_t range = static_cast<std::uint64_t>(pool.range);
    const std::uint64_t start = range == 0 ? 0 : r.milliseconds % range;
    ClientRecord* candidate = nullptr;
    std::uint64_t d = 0;
    for (ClientRecord* rec = c.clients.first(ClientList::Dynamic); rec != nullptr && d < range;
         rec = c.clients.next(*rec)) {
        if (!belongsToPool(*rec, pool)) continue;
        if (rec->expiry < r.now) {
            if (candidate == nullptr || rec->expiry < candidate->expiry ||
                (changeIp && rec->expiry == candidate->expiry)) {
                candidate = rec;
            }
        }
        d = static_cast<std::uint64_t>(offsetOf(*rec, pool)) + 1;
        if (changeIp && candidate != nullptr && d > start) break;
    }
    return candidate;
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

}  // namespace

ClientRecord* allocate(EngineContext& c, const Request& request, const Profile& pool) {
    const Request& r = request;
    Identity identity;
    if (pool.range <= 0 || !searchIdentity(r, pool, identity)) return nullptr;
    const bool changeIp = r.settings.changeIp != 0;
    const bool discover = r.summary.dhcp && r.summary.messageType == kDiscover;
    const std::uint64_t range = static_cast<std::uint64_t>(pool.range);

    std::uint64_t d = 0;
    bool gap = false;
    ClientRecord* insertionPoint = nullptr;
    ClientRecord* lastWalked = nullptr;
    for (ClientRecord* rec = c.clients.first(ClientList::Dynamic); rec != nullptr && d < range;
         rec = c.clients.next(*rec)) {
        lastWalked = rec;
        if (!belongsToPool(*rec, pool)) continue;
        if (sameIdentity(rec->identity, identity)) {
            if (!changeIp) return rec;
            if (discover) {
                rec->lastAccess = 0;
                rec->expiry = 0;
            } else if (rec->lastAccess != 0) {
                return rec;
            }
        } else if (changeIp && discover && rec->expiry < r.now) {
            reuse(c, *rec, identity);
            return rec;
        }
        const std::uint64_t offset = offsetOf(*rec, pool);
        if (!gap) {
            if (offset > d) gap = true;
            else insertionPoint = rec;
        }
        d = offset + 1;
    }

    if (relayLimitReached(c, r, pool)) return nullptr;
    if (gap) {
        Ipv4 address = insertionPoint == nullptr ? pool.baseIp
                                                 : ipv4FromHostOrder(ipv4ToHostOrder(insertionPoint->address) + 1);
        return newRecord(c, identity, pool, address, insertionPoint);
    }
    if (d < range) {
        Ipv4 address = ipv4FromHostOrder(ipv4ToHostOrder(pool.baseIp) + static_cast<std::uint32_t>(d));
        return newRecord(c, identity, pool, address, lastWalked);
    }
    ClientRecord* candidate = reuseCandidate(c, r, pool);
    if (candidate != nullptr) reuse(c, *candidate, identity);
    return candidate;
}

bool addressInUse(EngineContext& c, const Request& r, ClientRecord& rec, const Profile& pool) {
    if (c.arp == nullptr) return false;
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
    if (ifIndex < 0) return false;
    auto answer = c.arp->request(ifIndex, source, rec.address, 1000);
    if (!answer) return false;
    if (rec.identity.kind == kIdentityHardware && rec.identity.length == 6 &&
        std::memcmp(rec.identity.bytes.data(), answer->data(), 6) == 0) {
        return false;
    }
    rec.identity = Identity{};
    rec.identity.kind = kIdentityHardware;
    rec.identity.length = 6;
    std::memcpy(rec.identity.bytes.data(), answer->data(), 6);
    rec.expiry = r.now + pool.lease;
    c.clients.markChanged(ClientList::Dynamic);
    return true;
}

ClientRecord* allocateTested(EngineContext& c, const Request& r, const Profile& pool, bool test) {
    // Each conflict takes one address out of the pool for a lease time, so this ends.
    for (std::int32_t attempt = 0; attempt <= pool.range; ++attempt) {
        ClientRecord* rec = allocate(c, r, pool);
        if (rec == nullptr || !test || rec->identity.kind != kIdentityHardware) return rec;
        if (!addressInUse(c, r, *rec, pool)) return rec;
    }
    return nullptr;
}

}  // namespace tolmark::dhcp
