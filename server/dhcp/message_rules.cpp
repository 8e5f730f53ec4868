#include "server/dhcp/message_rules.h"

#include "server/dhcp/dhcp_protocol.h"

namespace tolmark::dhcp {
namespace {

RuleOutcome ack() { return RuleOutcome{.replyType = kAck, .line = RuleLine::Ack}; }

// The address the client asked for or named is not its own: the lease ends, and the client is
// told so (NAK) or left to its other servers.
RuleOutcome refuse(bool nak, Ipv4 about) {
    RuleOutcome r{.replyType = nak ? kNak : 0, .clearExpiry = true};
    r.line = nak ? RuleLine::Nak : RuleLine::Ignored;
    r.lineAddress = about;
    return r;
}

RuleOutcome request(const RequestInput& in, Ipv4 address, Ipv4 mask, const RecordFacts& f) {
    const RequestView& s = in.view;
    const bool fixed = f.fixed;
    const bool changeIp = in.settings.changeIp;
    if (s.serverIdentifier != 0) {
        if (s.serverIdentifier == s.interfaceAddress) return ack();
        // The client chose another server.
        return RuleOutcome{.clearIdentity = !fixed, .clearExpiry = true, .otherServer = true};
    }
    // A stray option 50 beside ciaddr is not taken for an INIT-REBOOT, which would end the lease
    // the client renews, with no reply.
    if (s.requestedAddress != 0 && !renewsCiaddr(s)) {
        if (s.requestedAddress == address && (!changeIp || fixed)) return ack();
        const bool otherSubnet = (s.requestedAddress & mask) != (address & mask);
        // A client rebooting with another address of the subnet in mind (INIT-REBOOT) may have it
        // from another server: it is left to that one. When this server holds the client's
        // running lease at another address and the address asked for is of its own pool (no
        // other server gives it), the client is wrong, and is told at once rather than after its
        // reboot time.
        const bool wrong = f.heldLease && f.requestedInPool && s.requestedAddress != address;
        return refuse(fixed || in.settings.soleServer || otherSubnet || wrong, s.requestedAddress);
    }
    if (s.ciaddr == 0 || (s.ciaddr == address && (!changeIp || fixed))) return ack();
    // A client this server has no record of, rebinding an address of the subnet that lies outside
    // the pool, holds a lease another server of the link gave: it is left to that one, which a
    // NAK would cut off. An address of the pool, or of another subnet, is wrong for it here.
    const bool othersLease =
        !f.known && !in.settings.soleServer && !f.ciaddrInPool && (s.ciaddr & mask) == (address & mask);
    return refuse(!othersLease, s.ciaddr);
}

}  // namespace

bool renewsCiaddr(const RequestView& s) {
    return s.messageType == kRequest && s.serverIdentifier == 0 && s.ciaddr != 0;
}

RuleOutcome applyMessageRules(const RequestInput& in, Ipv4 address, Ipv4 mask, const RecordFacts& record) {
    const RequestView& s = in.view;
    switch (s.messageType) {
        case kDiscover:
            return RuleOutcome{.replyType = kOffer, .line = RuleLine::Discover, .lineAddress = s.sourceAddress};
        case kRequest:
            return request(in, address, mask, record);
        case kDecline:
            return RuleOutcome{.clearIdentity = !record.fixed,
                               .markDynamic = !record.fixed,
                               .line = RuleLine::Decline,
                               .lineAddress = s.requestedAddress};
        case kRelease:
            return RuleOutcome{
                .clearExpiry = true, .markDynamic = true, .line = RuleLine::Release, .lineAddress = s.ciaddr};
        case kInform:
            return RuleOutcome{.replyType = kAck, .line = RuleLine::Inform, .lineAddress = s.sourceAddress};
        default:
            return RuleOutcome{};
    }
}

}  // namespace tolmark::dhcp
