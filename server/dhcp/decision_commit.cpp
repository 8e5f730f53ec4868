#include "server/dhcp/decision_commit.h"

#include <cstdio>

#include "common/entry_line.h"
#include "server/dhcp/allocation.h"
#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/dns_removal.h"
#include "server/dhcp/ignored_clients.h"
#include "server/dhcp/request_decision.h"

namespace tolmark::dhcp {
namespace {

HardwareAddressText hw(const RequestView& s) { return formatHardwareAddress(s.hardwareAddress); }

// "<head> <hardware address> (<address>)<suffix>[ if <interface>]". The texts are made only when
// the line is written: formatting them for nothing was a fifth of a request's cost.
void logWithSuffix(EngineTables& c, const RequestView& s, int level, const char* head, Ipv4 address,
                   bool withInterface) {
    if (c.log.level() < level) return;
    char suffix[1600];
    relaySuffix(s, suffix, sizeof suffix);
    if (withInterface) {
        c.log.line(level, false, "%s %s (%s)%s if %s\n", head, hw(s).c_str(), formatIpv4(address).c_str(), suffix,
                   formatIpv4(s.interfaceAddress).c_str());
    } else {
        c.log.line(level, false, "%s %s (%s)%s\n", head, hw(s).c_str(), formatIpv4(address).c_str(), suffix);
    }
}

void logNote(EngineTables& c, const RequestView& s, const Selection& sel) {
    switch (sel.note) {
        case SelectionNote::None:
            break;
        case SelectionNote::RegisteredOnly:
            c.log.line(2, false, "DHCP  Ignored responding to registered clients only\n");
            break;
        case SelectionNote::MacRange:
            c.log.line(2, false, "DHCP  Ignored responding to configured MAC ranges only\n");
            break;
        case SelectionNote::NoProfile:
            c.log.line(2, false, "DHCP  Error   profile lookup failed, if %s\n",
                       formatIpv4(s.interfaceAddress).c_str());
            break;
        case SelectionNote::NoSubnetProfile:
            c.log.line(2, false, "DHCP  Error   no profile for the subnet of %s, if %s\n", formatIpv4(s.ciaddr).c_str(),
                       formatIpv4(s.interfaceAddress).c_str());
            break;
        case SelectionNote::NoDynamicAddress:
            c.log.line(2, false, "DHCP  Error   dyn. address lookup failed\n");
            break;
        case SelectionNote::PoolExhausted:
            // Clients that get no address at all is what an administrator must hear of at the
            // usual level; the log's flood limit keeps a storm of such requests to a few lines.
            c.log.line(2, false, "DHCP  Error   dyn. address lookup failed\n");
            c.log.line(1, false, "DHCP  Error   pool of %.*s exhausted: no address for %s\n",
                       static_cast<int>(sel.poolName.size()), sel.poolName.data(), hw(s).c_str());
            break;
    }
}

// address: the served record's.
void logRuleLine(EngineTables& c, const RequestView& s, const Decision& d, Ipv4 address) {
    const RuleOutcome& rules = d.rules;
    switch (rules.line) {
        case RuleLine::None:
            break;
        case RuleLine::Discover:
            logWithSuffix(c, s, 2, "DHCP  Discov.", rules.lineAddress, true);
            break;
        case RuleLine::Ack:
            if (c.log.level() >= 1) {
                char suffix[1600];
                relaySuffix(s, suffix, sizeof suffix);
                c.log.line(1, false, "DHCP  Request %s ACK %s %u%s if %s\n", hw(s).c_str(), formatIpv4(address).c_str(),
                           d.leaseTime, suffix, formatIpv4(s.interfaceAddress).c_str());
            }
            break;
        case RuleLine::Nak:
            c.log.line(1, false, "DHCP  Request %s (%s) NAK\n", hw(s).c_str(), formatIpv4(rules.lineAddress).c_str());
            break;
        case RuleLine::Ignored:
            c.log.line(1, false, "DHCP  Request %s (%s) ignored\n", hw(s).c_str(),
                       formatIpv4(rules.lineAddress).c_str());
            break;
        case RuleLine::Decline:
            logWithSuffix(c, s, 1, "DHCP  Decline", rules.lineAddress, false);
            break;
        case RuleLine::Release:
            logWithSuffix(c, s, 1, "DHCP  Release", rules.lineAddress, false);
            break;
        case RuleLine::Inform:
            logWithSuffix(c, s, 1, "DHCP  Inform ", rules.lineAddress, true);
            break;
    }
}

// Marks the list the record lives in as changed, so that the change reaches its file.
void recordChanged(ClientTable& table, const ClientRecord& rec) {
    if (rec.list() == ClientList::Dynamic) table.markChanged(ClientList::Dynamic);
}

// Acknowledged clients with a name get it registered, away from the request path. A bare
// BOOTP reply carries no name. An INFORM's client has its address from elsewhere: its name
// is registered only where it stands at the address the server keeps for it.
bool acknowledged(const RequestInput& in, const Decision& d, const ClientRecord& rec) {
    const bool informedElsewhere = in.view.messageType == kInform && in.view.ciaddr != rec.address;
    return d.bootp ? !in.view.bareBootp : d.rules.replyType == kAck && !informedElsewhere;
}

// True when the reply acknowledges the lease and, with "DNSAccept" on, the client sent no name
// this time: the lease has the "DNSBase" name now, no longer the one the record kept.
bool givesBaseNameInstead(const RequestInput& in, const Decision& d, const ClientRecord& rec) {
    return acknowledged(in, d, rec) && !d.clientHostName && d.hostNameLength != 0 && !d.selection.fixedAddress &&
           d.selection.profile->dnsAccept != 0 && rec.list() == ClientList::Dynamic && !rec.hostName.empty();
}

// What the selection changes whatever the request gets: the static entry seen, the record
// that serves (made or taken over when planned), its remark, and the ethers file's change.
ClientRecord* commitSelection(EngineTables& c, const RequestInput& in, const Selection& sel, bool takeAddress,
                              DnsUpdateQueue* dnsQueue) {
    if (sel.staticSeen != nullptr) sel.staticSeen->lastAccess = in.now;
    logNote(c, in.view, sel);
    if (!sel.serves()) return nullptr;
    if (sel.markStatic) c.clients.markChanged(ClientList::Static);
    if (!takeAddress) return nullptr;
    ClientRecord* rec = sel.record != nullptr ? sel.record : commitAddress(c, sel.plan, in.now, dnsQueue);
    if (rec == nullptr) return nullptr;
    if (sel.remark == Selection::Remark::Profile)
        rec->remark = sel.remarkText.substr(0, kDynamicRemarkChars);
    else if (sel.remark == Selection::Remark::Clear)
        rec->remark.clear();
    return rec;
}

// A dynamic lease whose names may still be in DNS keeps its name, in DNS and in the record,
// until a reply registers another: an offer (or an INFORM from elsewhere) registers nothing, and
// its client may well stay on its lease, or go away, without the REQUEST that would. A request
// that ends the lease takes its names away anyway.
bool keepsRegisteredName(const RequestInput& in, const Decision& d, const ClientRecord& rec,
                         const DnsUpdateQueue* dnsQueue) {
    if (dnsQueue == nullptr || d.bootp || d.selection.fixedAddress || rec.list() != ClientList::Dynamic) return false;
    if (acknowledged(in, d, rec) || d.rules.clearExpiry || d.rules.clearIdentity) return false;
    return d.selection.profile->dnsUpdate != 0 && leaseNamesMayRemain(rec, in.now, dnsQueue->expiriesPassed());
}

// The request's own changes to its record: seen now, through this relay or interface, the lease
// running from now, the client's name (unless the lease keeps its registered one), and what the
// message rules end.
void commitServing(EngineTables& c, const RequestInput& in, const Decision& d, ClientRecord& rec, bool keepName) {
    const RequestView& s = in.view;
    rec.lastAccess = in.now;
    c.clients.setSeenVia(rec, seenViaAfter(c.profiles, s, &rec));
    if (d.setExpiry) c.clients.setExpiry(rec, in.now + d.leaseTime);
    recordChanged(c.clients, rec);
    if (d.clientHostName && !keepName) {
        rec.hostName = std::string_view(d.hostName, d.hostNameLength);
    } else if (givesBaseNameInstead(in, d, rec)) {
        rec.hostName.clear();  // the name the lease now has is the one "DNSBase" gives
    }

    if (d.bootp) {
        if (c.log.level() >= 1) {
            char suffix[1600];
            relaySuffix(s, suffix, sizeof suffix);
            c.log.line(1, false, "BOOTP Request %s assigned %s%s if %s\n", hw(s).c_str(),
                       formatIpv4(rec.address).c_str(), suffix, formatIpv4(s.interfaceAddress).c_str());
        }
        return;
    }
    const RuleOutcome& rules = d.rules;
    if (rules.clearIdentity) c.clients.setIdentity(rec, Identity{});
    if (rules.clearExpiry) c.clients.setExpiry(rec, 0);
    if (rules.clearIdentity || rules.clearExpiry) recordChanged(c.clients, rec);
    if (rules.markDynamic) c.clients.markChanged(ClientList::Dynamic);
    logRuleLine(c, s, d, rec.address);
}

// A request that ends a lease still running: a RELEASE or DECLINE, a NAK (or the silence in its
// place) for an address that is not the lease's, a REQUEST for another server. What the lease
// registered is removed, so that the name no longer leads to an address another machine gets
// next. An address of a static entry stays the client's, and so do its records.
std::optional<DnsUpdate> endedLeaseRemoval(const RequestInput& in, const Decision& d, const ClientRecord& rec,
                                           std::int64_t passedUntil) {
    const bool ends = d.rules.clearExpiry || d.rules.clearIdentity;
    if (d.bootp || !ends || d.selection.fixedAddress || rec.list() != ClientList::Dynamic) return std::nullopt;
    return runningLeaseRemoval(*d.selection.profile, rec, &in.view, in.now, passedUntil);
}

// The acknowledgement gives the client of a lease whose names may still be in DNS another name:
// the one the client sent, or the "DNSBase" one. The old name goes just before the new one is
// registered, or it would stay for good: the record, and so the lease's end, knows only the new
// one. A string compare for most requests; nothing is made unless the name really changes.
std::optional<DnsUpdate> renamedRemoval(const RequestInput& in, const Decision& d, const ClientRecord& rec,
                                        std::int64_t passedUntil) {
    if (d.selection.fixedAddress || rec.list() != ClientList::Dynamic || !acknowledged(in, d, rec)) return std::nullopt;
    if (!d.clientHostName && !givesBaseNameInstead(in, d, rec)) return std::nullopt;
    return renamedLeaseRemoval(*d.selection.profile, rec, std::string_view(d.hostName, d.hostNameLength), in.view,
                               in.now, passedUntil);
}

}  // namespace

Committed commitDecision(EngineTables& c, const RequestInput& in, Decision& d, DnsUpdateQueue* dnsQueue) {
    Committed done;
    if (d.verdict == Verdict::Silent || d.verdict == Verdict::Parked) return done;
    ClientRecord* rec = commitSelection(c, in, d.selection, !d.takesNothing, dnsQueue);
    if (d.verdict == Verdict::Serve && (d.selection.informedFrom != 0 || d.takesNothing)) {
        // Answered without a record: the table keeps nothing of it, and DNS registers nothing.
        logRuleLine(c, in.view, d, d.selection.informedFrom);
        return done;
    }
    if (d.verdict == Verdict::Serve && rec == nullptr) {
        d.verdict = Verdict::Ignored;
        d.ignoredClass = kIgnoredKeepClass;
    }
    if (d.verdict == Verdict::Ignored) {
        done.ignoredRecorded = commitIgnored(c, in, d.ignoredClass);
        return done;
    }
    // Taken before the request changes the record: the name and expiry the lease had.
    std::optional<DnsUpdate> removal;
    const bool keepName = keepsRegisteredName(in, d, *rec, dnsQueue);
    if (dnsQueue != nullptr) {
        const std::int64_t passedUntil = dnsQueue->expiriesPassed();
        removal = endedLeaseRemoval(in, d, *rec, passedUntil);
        if (!removal) removal = renamedRemoval(in, d, *rec, passedUntil);
    }
    commitServing(c, in, d, *rec, keepName);
    done.record = rec;
    if (removal) dnsQueue->push(std::move(*removal));

    const Profile& p = *d.selection.profile;
    if (dnsQueue != nullptr && acknowledged(in, d, *rec) && p.dnsUpdate != 0 && d.hostNameLength != 0) {
        // A static entry's name is its entry's: owned by the identity the entry names, as its
        // removal, made from the entry alone when the entry is removed or changed, names it.
        std::vector<std::uint8_t> owner;
        if (d.selection.fixedAddress) owner = recordDhcidIdentifier(rec->identity);
        if (owner.empty()) owner = requestDhcidIdentifier(in.view);
        dnsQueue->push(DnsUpdate{std::string(d.hostName, d.hostNameLength), p.dnsName, rec->address,
                                 replyMask(p, rec->address), d.leaseTime, p.dns[0], std::move(owner)});
    }
    return done;
}

}  // namespace tolmark::dhcp
