#include "server/dhcp/request_decision.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/ignored_clients.h"
#include "server/dhcp/message_rules.h"

namespace tolmark::dhcp {
namespace {

// The name the reply carries (option 12) and DNS registers: a static entry's own name up to
// the first character a DNS label cannot hold, the name the client sent ("DNSAccept", which the
// record then keeps), or one made of "DNSBase" and the address.
void chooseHostName(const RequestInput& in, Decision& d, Ipv4 address) {
    const Selection& sel = d.selection;
    const Profile& p = *sel.profile;
    const RequestView& s = in.view;
    std::string_view name;
    char built[kHostNameChars + 1];
    if (sel.fixedAddress && !sel.record->hostName.empty()) {
        name = staticHostName(p, *sel.record);
    } else if (p.dnsAccept != 0 && s.hostName) {
        std::size_t n = std::min<std::size_t>(s.hostName.length(), kHostNameChars);
        std::string_view sent(reinterpret_cast<const char*>(s.hostName.data()), n);
        name = sent.substr(0, sent.find('\0'));
        d.clientHostName = true;
    } else {
        name = baseHostName(p, address, built);
    }
    d.hostNameLength = std::min(name.size(), kHostNameChars);
    name.copy(d.hostName, d.hostNameLength);  // an empty view may have no data at all
}

bool selectsBootFile2(const Profile& p, const RequestView& s) {
    if (p.vendorClassId.empty() || !s.vendorClass) return false;
    return s.vendorClass.length() >= p.vendorClassId.size() &&
           std::memcmp(s.vendorClass.data(), p.vendorClassId.data(), p.vendorClassId.size()) == 0;
}

// The types a client sends a server. Any other (an OFFER, ACK or NAK sent to the server port,
// a relay agent's lease query, a type this server does not know) gets no reply and changes
// nothing: a lease query for a client that went away must not keep its lease running.
bool clientMessage(int type) {
    return type == kDiscover || type == kRequest || type == kDecline || type == kRelease || type == kInform;
}

// Only an OFFER or ACK gives the client the address the pool search found for it.
bool givesAddress(int replyType) { return replyType == kOffer || replyType == kAck; }

RecordFacts recordFacts(const Selection& sel, const RequestView& s, std::int64_t now) {
    RecordFacts f;
    f.fixed = sel.fixedAddress;
    f.known = sel.fixedAddress || sel.record != nullptr || sel.plan.source == AddressPlan::Source::Own;
    f.heldLease = currentLease(sel, now);
    const PoolRef& pool = sel.plan.pool;
    const auto inPool = [&pool](Ipv4 a) { return ipv4ToHostOrder(a) - ipv4ToHostOrder(pool.base) < pool.range; };
    f.ciaddrInPool = inPool(s.ciaddr);
    f.requestedInPool = inPool(s.requestedAddress);
    return f;
}

bool refusedWithoutRecord(const Decision& d) {
    const AddressPlan& plan = d.selection.plan;
    const bool taking = plan.source == AddressPlan::Source::New || plan.source == AddressPlan::Source::Reuse;
    return !d.bootp && d.selection.record == nullptr && taking && !givesAddress(d.rules.replyType);
}

}  // namespace

std::string_view baseHostName(const Profile& p, Ipv4 address, char (&built)[kHostNameChars + 1]) {
    if (p.dnsBase.empty()) return {};
    if (p.dnsBaseOnly != 0) return p.dnsBase;
    int n = std::snprintf(built, sizeof built, "%s-%u-%u-%u-%u", p.dnsBase.c_str(), ipv4Octet(address, 0),
                          ipv4Octet(address, 1), ipv4Octet(address, 2), ipv4Octet(address, 3));
    return std::string_view(built, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), kHostNameChars));
}

std::string_view staticHostName(const Profile& p, const ClientRecord& record) {
    if (p.dnsSend != 0) {
        const std::string_view stored = record.hostName;
        return stored.substr(0, stored.find_first_of("\t !#%'&()*+./:;<=>?@[\\]{|}"));
    }
    if (!p.dnsBase.empty() && p.dnsBaseOnly != 0) return p.dnsBase;
    return {};
}

bool currentLease(const Selection& sel, std::int64_t now) {
    const ClientRecord* rec = sel.record;
    if (rec == nullptr && sel.plan.source == AddressPlan::Source::Own) rec = sel.plan.record;
    return rec != nullptr && rec->list() == ClientList::Dynamic && rec->expiry > now;
}

Ipv4 servingAddress(const Selection& selection) {
    if (selection.informedFrom != 0) return selection.informedFrom;
    return selection.record != nullptr ? selection.record->address : selection.plan.address();
}

Ipv4 replyMask(const Profile& profile, Ipv4 address) {
    return profile.subnetMask != 0 ? profile.subnetMask : classMask(address);
}

Ipv4 seenViaAfter(const ProfileList& profiles, const RequestView& s, const ClientRecord* rec) {
    if (s.relayAddress != 0) return s.relayAddress;
    if (rec != nullptr && s.ciaddr != 0 && rec->address == s.ciaddr && rec->seenVia != 0) {
        const Profile* p = profiles.find(rec->profile);
        if (p != nullptr && p->selectorKind != SelectorKind::Interface) return rec->seenVia;
    }
    return s.interfaceAddress;
}

void decideServing(const RequestInput& in, Decision& d) {
    const Selection& sel = d.selection;
    const RequestView& s = in.view;
    if (!sel.serves() || servingAddress(sel) == kNeverServe) {
        d.verdict = Verdict::Ignored;
        d.ignoredClass = kIgnoredKeepClass;
        return;
    }
    d.bootp = !s.dhcp;
    std::uint32_t lease = static_cast<std::uint32_t>(sel.profile->lease);
    if (lease == 0) {
        if (!d.bootp) {
            d.verdict = Verdict::Ignored;
            d.ignoredClass = kIgnoredDhcp;
            return;
        }
        lease = kInfiniteLease;
    }
    d.verdict = Verdict::Serve;
    d.leaseTime = lease;
    d.setExpiry = d.bootp || (s.messageType != kDiscover && s.messageType != kInform);
    const Ipv4 address = servingAddress(sel);
    chooseHostName(in, d, address);
    d.useBootFile2 = selectsBootFile2(*sel.profile, s);
    if (!d.bootp)
        d.rules = applyMessageRules(in, address, replyMask(*sel.profile, address), recordFacts(sel, s, in.now));
    d.takesNothing = refusedWithoutRecord(d) || (!d.bootp && !clientMessage(s.messageType));
}

bool refusedAt(const RequestInput& in, const Selection& sel, Ipv4 address) {
    if (!in.view.dhcp || sel.profile == nullptr) return false;
    const RecordFacts facts = recordFacts(sel, in.view, in.now);
    return !givesAddress(applyMessageRules(in, address, replyMask(*sel.profile, address), facts).replyType);
}

}  // namespace tolmark::dhcp
