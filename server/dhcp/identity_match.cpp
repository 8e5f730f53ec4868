#include "server/dhcp/identity_match.h"

#include <cstring>
#include <optional>

namespace tolmark::dhcp {
namespace {

void setIdentity(Identity& id, std::uint8_t kind, const std::uint8_t* bytes, std::size_t length) {
    id = Identity{};
    id.kind = kind;
    id.length = static_cast<std::uint8_t>(length > kIdentityBytes ? kIdentityBytes : length);
    if (id.length != 0) std::memcpy(id.bytes.data(), bytes, id.length);
}

// The identity a record has when it was keyed by this value (cut to the identity's width).
Identity valueIdentity(std::uint8_t kind, ValueRef value) {
    Identity id;
    setIdentity(id, kind, value.data(), value.length());
    return id;
}

// Circuit ID followed by remote ID; nothing when the two do not fit an identity.
std::optional<Identity> circuitRemoteIdentity(const RequestView& s) {
    if (!s.circuitId || !s.remoteId) return std::nullopt;
    const std::size_t c = s.circuitId.length(), r = s.remoteId.length();
    if (c + r > kIdentityBytes) return std::nullopt;
    Identity id;
    id.kind = kIdentityCircuitRemote;
    id.length = static_cast<std::uint8_t>(c + r);
    std::memcpy(id.bytes.data(), s.circuitId.data(), c);
    if (r != 0) std::memcpy(id.bytes.data() + c, s.remoteId.data(), r);
    return id;
}

bool isRelayKind(std::uint8_t kind) {
    return kind == kIdentityCircuit || kind == kIdentityRemote || kind == kIdentityCircuitRemote;
}

}  // namespace

bool directRenewalOnTrusted(const RequestInput& r) {
    const RequestView& s = r.view;
    const EngineSettings& g = r.settings;
    return g.relayInformation && g.trustedDirectRenewals && r.interfaceTrusted && s.relayAddress == 0 &&
           s.sourceAddress == s.ciaddr && s.sourceAddress != 0;
}

ClientRecord* findRelayKindByAddress(ClientTable& table, ClientList list, Ipv4 address, const ClientRecord* after) {
    for (ClientRecord* c = table.findAddress(list, address, after); c != nullptr;
         c = table.findAddress(list, address, c)) {
        if (isRelayKind(c->identity->kind())) return c;
    }
    return nullptr;
}

Identity requestIdentity(const RequestView& s, bool relayValuesIdentify, bool withoutRemoteId) {
    Identity id;
    if (relayValuesIdentify && s.remoteId && !withoutRemoteId) {
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

ClientRecord* findByRequest(ClientTable& table, const RequestInput& r, ClientList list, bool strict,
                            const ClientRecord* after) {
    const RequestView& s = r.view;
    const EngineSettings& g = r.settings;
    if (!s.relayInformation || !g.relayValuesIdentify) {
        if (directRenewalOnTrusted(r)) {
            if (ClientRecord* rec = findRelayKindByAddress(table, list, s.ciaddr, after)) return rec;
        }
    } else {
        // Circuit and remote ID together, or the remote ID alone: whichever comes first.
        const std::optional<Identity> both = circuitRemoteIdentity(s);
        ClientRecord* pair = both ? table.findIdentity(list, *both, after) : nullptr;
        ClientRecord* remote =
            s.remoteId ? table.findIdentity(list, valueIdentity(kIdentityRemote, s.remoteId), after) : nullptr;
        if (pair != nullptr && (remote == nullptr || table.precedes(*pair, *remote))) return pair;
        if (remote != nullptr) return remote;
        if (s.circuitId) {
            if (ClientRecord* rec = table.findIdentity(list, valueIdentity(kIdentityCircuit, s.circuitId), after))
                return rec;
        }
        if (strict) return nullptr;
    }
    if (s.clientIdentifier) {
        if (ClientRecord* rec = table.findIdentity(list, valueIdentity(kIdentityClientId, s.clientIdentifier), after))
            return rec;
        if (strict) return nullptr;
    }
    // An empty hardware address would be every such client's: it finds no lease.
    if (list != ClientList::Ignored && (!g.identifyByMac || s.hardwareLength == 0)) return nullptr;
    Identity hardware;
    setIdentity(hardware, kIdentityHardware, s.hardwareAddress, s.hardwareLength);
    return table.findIdentity(list, hardware, after);
}

}  // namespace tolmark::dhcp
