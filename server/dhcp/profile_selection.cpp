#include "server/dhcp/profile_selection.h"

#include <cstring>

#include "server/dhcp/allocation.h"
#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/identity_match.h"
#include "server/dhcp/message_rules.h"
#include "server/dhcp/request_decision.h"

namespace tolmark::dhcp {
namespace {

bool beginsWith(std::span<const std::uint8_t> value, const CountedValue& prefix) {
    return value.size() >= prefix.length && std::memcmp(value.data(), prefix.bytes.data(), prefix.length) == 0;
}

bool beginsWithWildcard(std::span<const std::uint8_t> value, const CountedValue& prefix, std::uint16_t wildcard) {
    if (value.size() < prefix.length) return false;
    for (std::size_t i = 0; i < prefix.length; ++i) {
        if (prefix.bytes[i] != wildcard && prefix.bytes[i] != value[i]) return false;
    }
    return true;
}

bool userClassMatches(ValueRef userClass, const CountedValue& cls) {
    if (!userClass) return false;
    std::span<const std::uint8_t> all = userClass.value();
    if (all.size() == cls.length && std::memcmp(all.data(), cls.bytes.data(), cls.length) == 0) return true;
    std::size_t p = 0;
    while (p < all.size()) {
        std::size_t n = all[p];
        if (p + 1 + n > all.size()) break;
        if (beginsWith(all.subspan(p + 1, n), cls)) return true;
        p += 1 + n;
    }
    return false;
}

bool relayValueMatches(const Profile& p, const RequestView& s, std::uint16_t wildcard) {
    if (!p.hasRelayValue()) return true;
    ValueRef value = p.relaySelectorType == RelaySelectorType::CircuitId ? s.circuitId : s.remoteId;
    return value && beginsWithWildcard(value.value(), p.selectorValue, wildcard);
}

// The records of the list the request identifies, walked until one holds the address. Dynamic
// records are found strictly, static entries as their selection finds them.
ClientRecord* ownRecordAt(ClientTable& table, const RequestInput& r, Ipv4 address,
                          ClientList list = ClientList::Dynamic) {
    const bool strict = list == ClientList::Dynamic;
    for (ClientRecord* rec = findByRequest(table, r, list, strict); rec != nullptr;
         rec = findByRequest(table, r, list, strict, rec)) {
        if (rec->address == address) return rec;
    }
    return nullptr;
}

// The dynamic record of a RELEASE or DECLINE: the one of the address the message is about.
ClientRecord* releasedRecord(ClientTable& table, const RequestInput& r) {
    const RequestView& s = r.view;
    return ownRecordAt(table, r, s.messageType == kRelease ? s.ciaddr : s.requestedAddress);
}

// The subnet of a network profile holds the address: the subnet of its interface or relay agent
// (base) under the profile's mask, or its pool.
bool subnetHolds(const Profile& p, Ipv4 base, Ipv4 address) {
    const Ipv4 mask = replyMask(p, base);
    return (address & mask) == (base & mask) || p.poolContains(address);
}

// The network an INFORM's address (ciaddr) is in, when it is not the network it arrives from: a
// host of a second subnet on the same wire, a host behind a relay agent that asks straight from
// its address, a host of a relay agent's secondary subnet. Its mask and router are that
// network's; the first interface or relay profile whose subnet holds the address gives them.
// nullptr when none does: no mask and router are known to be right for it.
const Profile* informNetwork(const ProfileList& profiles, const Profile* arrived, const RequestView& s) {
    const Ipv4 base = s.relayAddress != 0 ? s.relayAddress : s.interfaceAddress;
    if (arrived != nullptr && subnetHolds(*arrived, base, s.ciaddr)) return arrived;
    for (const Profile& p : profiles.profiles()) {
        const bool network = p.selectorKind == SelectorKind::Interface || p.selectorKind == SelectorKind::Relay;
        if (network && p.selectorAddress != 0 && p.selectorAddress != kBroadcastAll &&
            subnetHolds(p, p.selectorAddress, s.ciaddr))
            return &p;
    }
    return nullptr;
}

// The network profile of the request. A client behind a relay agent renews (RENEWING), asks for
// its options (INFORM) or releases its address by unicast from it, straight to the server: no
// giaddr names its network, and the interface the request arrives on is not the one its lease
// came from, whose pool would refuse the renewal (a NAK that never reaches it) and take a record
// for it, and whose options are another network's. Its network is then the relay profile of the
// lease it holds at that address, or of its static entry there (a reservation behind a relay).
// An INFORM that no network profile's subnet holds has no network (offSubnet is set).
const Profile* requestNetwork(EngineTables& c, const RequestInput& r, bool* offSubnet = nullptr) {
    const RequestView& s = r.view;
    const Profile* network = networkProfile(c.profiles, s, r.settings.idWildcard);
    const bool inform = s.messageType == kInform && s.ciaddr != 0;
    const bool fromAddress = renewsCiaddr(s) || inform || s.messageType == kRelease;
    const bool fromLease = fromAddress && s.relayAddress == 0 && s.ciaddr != 0 && !s.circuitId && !s.remoteId;
    // Most direct renewals hold a lease of the interface's own pool: no lookup for them.
    if (fromLease && (network == nullptr || !network->poolContains(s.ciaddr))) {
        const ClientRecord* lease = ownRecordAt(c.clients, r, s.ciaddr);
        if (lease == nullptr) lease = ownRecordAt(c.clients, r, s.ciaddr, ClientList::Static);
        const Profile* leased = lease != nullptr ? c.profiles.find(lease->profile) : nullptr;
        if (leased != nullptr && leased->selectorKind == SelectorKind::Relay) return leased;
    }
    if (!inform) return network;
    const Profile* holding = informNetwork(c.profiles, network, s);
    if (holding == nullptr && offSubnet != nullptr) *offSubnet = true;
    return holding;
}

}  // namespace

bool classMatches(const Profile& p, const RequestView& s, std::uint16_t wildcard) {
    switch (p.selectorKind) {
        case SelectorKind::MacClass:
            return beginsWith(std::span<const std::uint8_t>(s.hardwareAddress, s.hardwareLength), p.selectorValue);
        case SelectorKind::ClientIdClass:
            return s.clientIdentifier && beginsWith(s.clientIdentifier.value(), p.selectorValue);
        case SelectorKind::VendorClass:
            return s.vendorClass && beginsWith(s.vendorClass.value(), p.selectorValue);
        case SelectorKind::UserClass:
            return userClassMatches(s.userClass, p.selectorValue);
        case SelectorKind::Interface:
            return p.selectorAddress == s.interfaceAddress;
        case SelectorKind::Relay:
            return p.selectorAddress == s.relayAddress && relayValueMatches(p, s, wildcard);
        case SelectorKind::None:
            break;
    }
    return false;
}

const Profile* networkProfile(const ProfileList& profiles, const RequestView& s, std::uint16_t wildcard) {
    if (s.relayAddress != 0 || s.circuitId || s.remoteId)
        return profiles.relayProfile(s.relayAddress,
                                     [&](const Profile& p) { return relayValueMatches(p, s, wildcard); });
    for (const Profile& p : profiles.profiles()) {
        if (p.selectorKind == SelectorKind::Interface && p.selectorAddress == s.interfaceAddress) return &p;
    }
    return nullptr;
}

bool macRangeAllows(const MacRangeTable& table, const RequestView& s) {
    const std::size_t total = table[0] < table.size() ? table[0] : table.size() - 1;
    if (total == 0) return true;
    std::size_t p = 1;
    while (p <= total) {
        const std::size_t n = table[p];
        if (p + n > total) break;
        if (n <= s.hardwareLength && std::memcmp(&table[p + 1], s.hardwareAddress, n) == 0) return true;
        p += 1 + n;
    }
    return false;
}

SelectionStart selectKnownClient(EngineTables& c, const RequestInput& r, ClientRecord& firstMatch) {
    const RequestView& s = r.view;
    const EngineSettings& g = r.settings;
    bool offSubnet = false;
    const Profile* network = requestNetwork(c, r, &offSubnet);
    SelectionStart start;
    Selection& sel = start.selection;

    // Candidates by category: user class, vendor class, client identifier or MAC class, the
    // network profile, no class. The last match within a category wins.
    ClientRecord* best[5] = {};
    for (ClientRecord* rec = &firstMatch; rec != nullptr;
         rec = findByRequest(c.clients, r, ClientList::Static, false, rec)) {
        const Profile* p = c.profiles.findOrFirst(rec->profile);
        if (p == nullptr) continue;
        const bool match = classMatches(*p, s, g.idWildcard);
        switch (p->selectorKind) {
            case SelectorKind::UserClass:
                if (match) best[0] = rec;
                break;
            case SelectorKind::VendorClass:
                if (match) best[1] = rec;
                break;
            case SelectorKind::ClientIdClass:
            case SelectorKind::MacClass:
                if (match) best[2] = rec;
                break;
            case SelectorKind::None:
                best[4] = rec;
                break;
            default:
                break;
        }
        if (p == network) best[3] = rec;
    }
    ClientRecord* chosen = nullptr;
    for (ClientRecord* candidate : best) {
        if (candidate != nullptr) {
            chosen = candidate;
            break;
        }
    }
    if (chosen == nullptr) return start;
    const Profile* profile = c.profiles.findOrFirst(chosen->profile);
    if (profile == nullptr) return start;

    if (chosen->address != 0) {
        const bool placeBound =
            profile->selectorKind == SelectorKind::Interface || profile->selectorKind == SelectorKind::Relay;
        if (placeBound && profile != network) {
            if (offSubnet) sel.note = SelectionNote::NoSubnetProfile;
            return start;
        }
        sel.record = chosen;
        sel.fixedAddress = true;
    } else {
        // The entry gives the class; the address comes from a pool.
        sel.staticSeen = chosen;
        if (s.messageType == kRelease || s.messageType == kDecline) {
            sel.record = releasedRecord(c.clients, r);
        } else {
            const Profile* pool = profile->hasPool() ? profile : network;
            if (pool == nullptr || !pool->hasPool()) {
                if (offSubnet) sel.note = SelectionNote::NoSubnetProfile;
                return start;
            }
            start.allocateFrom.pool = pool;
            start.allocateFrom.test = g.testIp && !(pool == profile && profile->selectorKind == SelectorKind::Relay);
            sel.remark = Selection::Remark::Profile;
            sel.remarkText = profile->name;
        }
    }
    sel.profile = profile;
    sel.markStatic = g.updateEthers;
    return start;
}

SelectionStart selectUnregisteredClient(EngineTables& c, const RequestInput& r) {
    const RequestView& s = r.view;
    const EngineSettings& g = r.settings;
    SelectionStart start;
    Selection& sel = start.selection;
    if (g.registeredOnly) {
        sel.note = SelectionNote::RegisteredOnly;
        return start;
    }
    if (!macRangeAllows(g.macRange, s)) {
        sel.note = SelectionNote::MacRange;
        return start;
    }
    if (renewsCiaddr(s) && !s.relayInformation && !(s.flagsByte & kBroadcastFlag) && directRenewalOnTrusted(r)) {
        if (ClientRecord* rec = findRelayKindByAddress(c.clients, ClientList::Dynamic, s.ciaddr, nullptr)) {
            sel.record = rec;
            sel.profile = c.profiles.findOrFirst(rec->profile);
            return start;
        }
    }

    const Profile* options = nullptr;
    const Profile* pool = nullptr;
    if (s.messageType == kRelease || s.messageType == kDecline) {
        sel.record = releasedRecord(c.clients, r);
        if (sel.record == nullptr) {
            sel.note = SelectionNote::NoDynamicAddress;
            return start;
        }
        options = pool = c.profiles.findOrFirst(sel.record->profile);
    } else {
        bool offSubnet = false;
        const Profile* network = requestNetwork(c, r, &offSubnet);
        const Profile* cls = nullptr;
        for (SelectorKind kind : {SelectorKind::UserClass, SelectorKind::VendorClass, SelectorKind::ClientIdClass,
                                  SelectorKind::MacClass}) {
            for (const Profile& p : c.profiles.profiles()) {
                if (p.selectorKind == kind && classMatches(p, s, g.idWildcard)) {
                    cls = &p;
                    break;
                }
            }
            if (cls != nullptr) break;
        }
        if (cls != nullptr) {
            options = cls;
            pool = cls->hasPool() ? cls : network;
        } else {
            options = pool = network;
        }
        if (pool == nullptr) {
            sel.note = offSubnet ? SelectionNote::NoSubnetProfile : SelectionNote::NoProfile;
            return start;
        }
        if (!pool->hasPool()) {
            sel.note = SelectionNote::NoDynamicAddress;
            return start;
        }
        start.allocateFrom = PoolChoice{pool, g.testIp, true};
    }
    if (options == nullptr) options = c.profiles.first();
    sel.profile = options;
    if (options != pool && options != nullptr && !options->hasPool()) {
        sel.remark = Selection::Remark::Profile;
        sel.remarkText = options->name;
    } else {
        sel.remark = Selection::Remark::Clear;
    }
    return start;
}

}  // namespace tolmark::dhcp
