#include "server/dhcp/identification.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "server/dhcp/allocation.h"
#include "server/dhcp/dhcp_protocol.h"

namespace tolmark::dhcp {
namespace {

constexpr std::size_t kMaxIdentity = 64;
constexpr std::size_t kMaxHostName = 158;
constexpr std::size_t kMaxRemark = 31;

void setIdentity(Identity& id, std::uint8_t kind, const std::uint8_t* bytes, std::size_t length) {
    id = Identity{};
    id.kind = kind;
    id.length = static_cast<std::uint8_t>(length > kMaxIdentity ? kMaxIdentity : length);
    if (id.length != 0) std::memcpy(id.bytes.data(), bytes, id.length);
}

// The identity a record has when it was keyed by this value (cut to the identity's width).
Identity valueIdentity(std::uint8_t kind, ValueRef value) {
    Identity id;
    setIdentity(id, kind, value.data(), value.length());
    return id;
}

// Circuit ID followed by remote ID; nothing when the two do not fit an identity.
std::optional<Identity> circuitRemoteIdentity(const RequestSummary& s) {
    if (!s.circuitId || !s.remoteId) return std::nullopt;
    const std::size_t c = s.circuitId.length(), r = s.remoteId.length();
    if (c + r > kMaxIdentity) return std::nullopt;
    Identity id;
    id.kind = kIdentityCircuitRemote;
    id.length = static_cast<std::uint8_t>(c + r);
    std::memcpy(id.bytes.data(), s.circuitId.data(), c);
    if (r != 0) std::memcpy(id.bytes.data() + c, s.remoteId.data(), r);
    return id;
}

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

bool relayValueConfigured(const Profile& p) {
    return p.relaySelectorType != RelaySelectorType::None && p.selectorValue.length != 0;
}

bool relayValueMatches(const Profile& p, const RequestSummary& s, std::uint16_t wildcard) {
    if (!relayValueConfigured(p)) return true;
    ValueRef value = p.relaySelectorType == RelaySelectorType::CircuitId ? s.circuitId : s.remoteId;
    return value && beginsWithWildcard(value.value(), p.selectorValue, wildcard);
}

const Profile* relayProfile(const ProfileList& profiles, const RequestSummary& s, std::uint16_t wildcard) {
    const Profile* withoutValue = nullptr;
    const Profile* anyRelay = nullptr;
    for (const Profile& p : profiles.profiles()) {
        if (p.selectorKind != SelectorKind::Relay) continue;
        if (p.selectorAddress == s.relayAddress) {
            if (relayValueConfigured(p)) {
                if (relayValueMatches(p, s, wildcard)) return &p;
            } else {
                withoutValue = &p;
            }
        }
        // The profile for any relay is the last fallback: its CircuitID/RemoteID value, if any,
        // does not keep a client from it (the pipe's selector check judges it the same way).
        if (p.selectorAddress == kBroadcastAll) anyRelay = &p;
    }
    return withoutValue != nullptr ? withoutValue : anyRelay;
}

bool isRelayKind(std::uint8_t kind) {
    return kind == kIdentityCircuit || kind == kIdentityRemote || kind == kIdentityCircuitRemote;
}

// A client renewing directly on a trusted interface is found by its address when it was
// leased by relay values.
bool directRenewalOnTrusted(const Request& r) {
    const RequestSummary& s = r.summary;
    const EngineSettings& g = r.settings;
    return g.relayInformation && g.trustedDirectRenewals && r.interfaceTrusted && s.relayAddress == 0 &&
           s.sourceAddress == s.ciaddr && s.sourceAddress != 0;
}

ClientRecord* findRelayKindByAddress(ClientTable& table, ClientList list, Ipv4 address, const ClientRecord* after) {
    for (ClientRecord* c = table.findAddress(list, address, after); c != nullptr;
         c = table.findAddress(list, address, c)) {
        if (isRelayKind(c->identity.kind)) return c;
    }
    return nullptr;
}

void copyText(std::string& out, ValueRef value, std::size_t max) {
    out.clear();
    if (!value) return;
    std::size_t n = value.length() < max ? value.length() : max;
    // A NUL inside a sent name ends it, as it would in a fixed text field.
    for (std::size_t i = 0; i < n && value.data()[i] != 0; ++i) out += static_cast<char>(value.data()[i]);
}

void appendShown(char*& out, char* end, const char* label, ValueRef value) {
    if (!value || out >= end) return;
    int n = std::snprintf(out, static_cast<std::size_t>(end - out), " %s %s", label, showValue(value.value()).c_str());
    if (n > 0) out += n < end - out ? n : end - out - 1;
}

// Dynamic records of a RELEASE or DECLINE: those the request identifies, walked until one
// holds the address the message is about.
ClientRecord* releasedRecord(EngineContext& c, const Request& r) {
    const RequestSummary& s = r.summary;
    const Ipv4 address = s.messageType == kRelease ? s.ciaddr : s.requestedAddress;
    for (ClientRecord* rec = findByRequest(c, r, ClientList::Dynamic, true); rec != nullptr;
         rec = findByRequest(c, r, ClientList::Dynamic, true, rec)) {
        if (rec->address == address) return rec;
    }
    return nullptr;
}

}  // namespace

Identity requestIdentity(const RequestSummary& s, bool relayValuesIdentify) {
    Identity id;
    if (relayValuesIdentify && s.remoteId) {
        setIdentity(id, kIdentityRemote, s.remoteId.data(), s.remoteId.length());
    } else if (!relayValuesIdentify || !s.circuitId) {
        if (s.clientIdentifier)
            setIdentity(id, kIdentityClientId, s.clientIdentifier.data(), s.clientIdentifier.length());
        else
            setIdentity(id, kIdentityHardware, s.hardwareAddress, s.hardwareLength);
    } else {
        setIdentity(id, kIdentityCircuit, s.circuitId.data(), s.circuitId.length());
    }
    return id;
}

ClientRecord* findByRequest(EngineContext& c, const Request& r, ClientList list, bool strict,
                            const ClientRecord* after) {
    const RequestSummary& s = r.summary;
    const EngineSettings& g = r.settings;
    if (!s.relayInformation || !g.relayValuesIdentify) {
        if (directRenewalOnTrusted(r)) {
            if (ClientRecord* rec = findRelayKindByAddress(c.clients, list, s.ciaddr, after)) return rec;
        }
    } else {
        // Circuit and remote ID together, or the remote ID alone: whichever comes first.
        const std::optional<Identity> both = circuitRemoteIdentity(s);
        ClientRecord* pair = both ? c.clients.findIdentity(list, *both, after) : nullptr;
        ClientRecord* remote =
            s.remoteId ? c.clients.findIdentity(list, valueIdentity(kIdentityRemote, s.remoteId), after) : nullptr;
        if (pair != nullptr && (remote == nullptr || c.clients.precedes(*pair, *remote))) return pair;
        if (remote != nullptr) return remote;
        if (s.circuitId) {
            if (ClientRecord* rec = c.clients.findIdentity(list, valueIdentity(kIdentityCircuit, s.circuitId), after))
                return rec;
        }
        if (strict) return nullptr;
    }
    if (s.clientIdentifier) {
        if (ClientRecord* rec =
                c.clients.findIdentity(list, valueIdentity(kIdentityClientId, s.clientIdentifier), after))
            return rec;
        if (strict) return nullptr;
    }
    if (list != ClientList::Ignored && !g.identifyByMac) return nullptr;
    Identity hardware;
    setIdentity(hardware, kIdentityHardware, s.hardwareAddress, s.hardwareLength);
    return c.clients.findIdentity(list, hardware, after);
}

bool classMatches(const Profile& p, const RequestSummary& s, std::uint16_t wildcard) {
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

const Profile* networkProfile(const ProfileList& profiles, const RequestSummary& s, std::uint16_t wildcard) {
    if (s.relayAddress != 0 || s.circuitId || s.remoteId) return relayProfile(profiles, s, wildcard);
    for (const Profile& p : profiles.profiles()) {
        if (p.selectorKind == SelectorKind::Interface && p.selectorAddress == s.interfaceAddress) return &p;
    }
    return nullptr;
}

bool macRangeAllows(const MacRangeTable& table, const RequestSummary& s) {
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

Selection serveKnownClient(EngineContext& c, const Request& r, ClientRecord& firstMatch) {
    const RequestSummary& s = r.summary;
    const EngineSettings& g = r.settings;
    const Profile* network = networkProfile(c.profiles, s, g.idWildcard);

    // Candidates by category: user class, vendor class, client identifier or MAC class, the
    // network profile, no class. The last match within a category wins.
    ClientRecord* best[5] = {};
    for (ClientRecord* rec = &firstMatch; rec != nullptr; rec = findByRequest(c, r, ClientList::Static, false, rec)) {
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
    if (chosen == nullptr) return {};
    const Profile* profile = c.profiles.findOrFirst(chosen->profile);
    if (profile == nullptr) return {};

    Selection result;
    if (chosen->address != 0) {
        const bool placeBound =
            profile->selectorKind == SelectorKind::Interface || profile->selectorKind == SelectorKind::Relay;
        if (placeBound && profile != network) return {};
        r.outcome.fixedAddress = true;
        result = {chosen, profile};
    } else {
        chosen->lastAccess = r.now;
        ClientRecord* dynamicRecord = nullptr;
        if (s.messageType == kRelease || s.messageType == kDecline) {
            dynamicRecord = releasedRecord(c, r);
        } else {
            const Profile* pool = profile->hasPool() ? profile : network;
            if (pool == nullptr || !pool->hasPool()) return {};
            const bool test = g.testIp && !(pool == profile && profile->selectorKind == SelectorKind::Relay);
            dynamicRecord = allocateTested(c, r, *pool, test);
            if (dynamicRecord != nullptr) dynamicRecord->remark = profile->name.substr(0, 23);
        }
        if (dynamicRecord == nullptr) return {};
        result = {dynamicRecord, profile};
    }
    if (g.updateEthers) c.clients.markChanged(ClientList::Static);
    return result;
}

Selection serveUnregisteredClient(EngineContext& c, const Request& r) {
    const RequestSummary& s = r.summary;
    const EngineSettings& g = r.settings;
    if (g.registeredOnly) {
        c.log.line(2, false, "DHCP  Ignored responding to registered clients only\n");
        return {};
    }
    if (!macRangeAllows(g.macRange, s)) {
        c.log.line(2, false, "DHCP  Ignored responding to configured MAC ranges only\n");
        return {};
    }
    if (s.messageType == kRequest && !s.relayInformation && s.serverIdentifier == 0 && s.requestedAddress == 0 &&
        !(s.flagsByte & kBroadcastFlag) && directRenewalOnTrusted(r)) {
        if (ClientRecord* rec = findRelayKindByAddress(c.clients, ClientList::Dynamic, s.ciaddr, nullptr)) {
            return {rec, c.profiles.findOrFirst(rec->profile)};
        }
    }

    const Profile* options = nullptr;
    const Profile* pool = nullptr;
    ClientRecord* record = nullptr;
    if (s.messageType == kRelease || s.messageType == kDecline) {
        record = releasedRecord(c, r);
        if (record != nullptr) options = pool = c.profiles.findOrFirst(record->profile);
    } else {
        const Profile* network = networkProfile(c.profiles, s, g.idWildcard);
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
            c.log.line(2, false, "DHCP  Error   profile lookup failed, if %s\n",
                       formatIpv4(s.interfaceAddress).c_str());
            return {};
        }
        if (pool->hasPool()) record = allocateTested(c, r, *pool, g.testIp);
    }
    if (record == nullptr) {
        c.log.line(2, false, "DHCP  Error   dyn. address lookup failed\n");
        return {};
    }
    if (options == nullptr) options = c.profiles.first();
    if (options != pool && options != nullptr && !options->hasPool())
        record->remark = options->name.substr(0, 23);
    else
        record->remark.clear();
    return {record, options};
}

std::size_t recordIgnored(EngineContext& c, const Request& r, int classArgument, ReplyWriter& reply) {
    const RequestSummary& s = r.summary;
    ClientRecord* rec = findByRequest(c, r, ClientList::Ignored, false);
    if (rec == nullptr) {
        // A flood of refused clients must not grow the table without end: at the limit the
        // oldest ignored entry makes room (released, so its old handle names nothing).
        if (c.clients.size(ClientList::Ignored) >= kMaxIgnoredClients) {
            if (ClientRecord* oldest = c.clients.last(ClientList::Ignored)) c.clients.release(*oldest);
        }
        rec = c.clients.take();
        if (rec == nullptr) return 0;
        rec->identity = requestIdentity(s, r.settings.relayValuesIdentify);
        c.clients.pushIgnored(*rec);
    }
    rec->lastAccess = r.now;
    rec->seenVia = s.relayAddress != 0 ? s.relayAddress : s.interfaceAddress;
    ValueRef cls = s.userClass ? s.userClass : s.vendorClass;
    rec->remark.clear();
    for (std::size_t i = 0; cls && i < cls.length() && i < kMaxRemark; ++i) {
        std::uint8_t b = cls.data()[i];
        rec->remark += b < 32 ? '?' : static_cast<char>(b);
    }
    copyText(rec->hostName, s.hostName, kMaxHostName);
    if (classArgument == kIgnoredBootp) rec->remark = "BOOTP";
    if (classArgument == kIgnoredDhcp) rec->remark = "DHCP";
    c.clients.markChanged(ClientList::Ignored);

    if (c.log.level() > 1) {
        char suffix[1600];
        relaySuffix(s, suffix, sizeof suffix);
        c.log.line(2, false, "DHCP  Ignored %s %s (%s)%s\n", messageTypeName(s.dhcp ? s.messageType : 0),
                   formatHardwareAddress(s.hardwareAddress).c_str(), formatIpv4(s.sourceAddress).c_str(), suffix);
    }

    if (s.dhcp && s.messageType == kDiscover && s.autoConfigure != 0 && !r.settings.autoConfigure) {
        reply.ipv4(kYiaddr, 0);
        reply.ipv4(kSiaddr, s.interfaceAddress);
        reply.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
        reply.setPosition(kOptions);
        reply.putByteOption(kMessageType, kOffer);
        reply.putByteOption(kAutoConfigure, 0);
        return finishReply(reply, kMinimumReply);
    }
    return 0;
}

void relaySuffix(const RequestSummary& s, char* out, std::size_t capacity) {
    if (capacity == 0) return;
    char* p = out;
    char* end = out + capacity;
    *p = '\0';
    appendShown(p, end, "rc", s.circuitId);
    if (s.remoteId)
        appendShown(p, end, "rr", s.remoteId);
    else
        appendShown(p, end, "ci", s.clientIdentifier);
    appendShown(p, end, "uc", s.userClass);
    appendShown(p, end, "vc", s.vendorClass);
    if (s.relayAddress != 0 && p < end) {
        int n = std::snprintf(p, static_cast<std::size_t>(end - p), " gw %s", formatIpv4(s.relayAddress).c_str());
        if (n > 0) p += n < end - p ? n : end - p - 1;
    }
    if (s.hostName && p < end) {
        // Control characters would let a client forge log lines.
        char name[kMaxHostName + 1];
        std::size_t n = 0;
        for (; n < s.hostName.length() && n < kMaxHostName; ++n) {
            std::uint8_t b = s.hostName.data()[n];
            name[n] = b < 32 ? '?' : static_cast<char>(b);
        }
        name[n] = '\0';
        std::snprintf(p, static_cast<std::size_t>(end - p), " nm %s", name);
    }
}

}  // namespace tolmark::dhcp
