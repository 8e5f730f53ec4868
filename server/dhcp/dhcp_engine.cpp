#include "server/dhcp/dhcp_engine.h"

#include <algorithm>
#include <cstring>

#include "server/dhcp/allocation.h"
#include "server/dhcp/decision_commit.h"
#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/dns_removal.h"
#include "server/dhcp/identity_match.h"
#include "server/dhcp/ignored_clients.h"
#include "server/dhcp/probe_message.h"
#include "server/dhcp/reply_render.h"
#include "server/dhcp/request_decision.h"
#include "server/dhcp/request_parser.h"
#include "server/leases/client_rules.h"

namespace tolmark::dhcp {
namespace {

// The routing facts of a written reply, taken from what was decided.
void routeFacts(ReplyPlan& plan, const RequestSummary& summary, const RequestView& view, bool broadcast, Ipv4 yiaddr) {
    plan.relayAddress = view.relayAddress;
    plan.sourceAddress = summary.sourceAddress;
    plan.ciaddr = summary.ciaddr;
    plan.broadcast = broadcast;
    plan.yiaddr = yiaddr;
    std::copy_n(summary.hardwareAddress, plan.hardware.size(), plan.hardware.begin());
}

// The record that serves the decision now, before it is committed (none for a new address).
const ClientRecord* existingRecord(const Selection& sel) {
    if (sel.record != nullptr) return sel.record;
    const AddressPlan& plan = sel.plan;
    return plan.source == AddressPlan::Source::Own || plan.source == AddressPlan::Source::Reuse ? plan.record : nullptr;
}

// The lease as committing the decision will leave it: what a claim asks the database for.
LeaseFields leaseAfter(const EngineTables& tables, const Decision& d, const RequestInput& in) {
    const Selection& sel = d.selection;
    const AddressPlan& plan = sel.plan;
    const ClientRecord* rec = existingRecord(sel);
    const bool taken = plan.source == AddressPlan::Source::New || plan.source == AddressPlan::Source::Reuse;
    LeaseFields f;
    f.address = servingAddress(sel);
    f.identity = taken ? plan.identity : rec->identity->get();
    f.profile.assign(plan.source == AddressPlan::Source::New ? plan.pool.name : rec->profile->view());
    if (d.clientHostName)
        f.hostName.assign(std::string_view(d.hostName, d.hostNameLength));
    else if (!taken)
        f.hostName.assign(rec->hostName);
    if (sel.remark == Selection::Remark::Profile)
        f.remark.assign(sel.remarkText);
    else if (sel.remark == Selection::Remark::Keep && rec != nullptr)
        f.remark.assign(rec->remark);
    f.lastAccess = in.now;
    f.expiry = d.setExpiry ? in.now + d.leaseTime : (rec != nullptr ? rec->expiry.get() : 0);
    f.seenVia = seenViaAfter(tables.profiles, in.view, rec);
    return f;
}

// A lease the database has not confirmed is acknowledged for the time it has left, not longer:
// a server that reaches the database gives the address to another client once the lease there
// ends, and a renewal only this server knows of (it cannot reach the database, or its claim
// went unanswered) would outlast it. An infinite lease never ends there either.
// With less than an eighth of the lease left the renewal goes unanswered: each answer would
// halve the time to the next renewal down to a storm of them, and a client left without one
// rebinds through any server, which may reach the database. It keeps its address meanwhile.
void keepUnconfirmedLease(Decision& d, const RequestInput& in) {
    const ClientRecord* rec = existingRecord(d.selection);
    if (rec == nullptr || !d.setExpiry || d.leaseTime == kInfiniteLease) return;
    const std::int64_t left = rec->expiry - in.now;
    if (left <= 0 || left >= d.leaseTime) return;
    if (!d.bootp && left < d.leaseTime / 8) {
        d.verdict = Verdict::Silent;
        return;
    }
    d.leaseTime = static_cast<std::uint32_t>(left);
}

}  // namespace

DhcpEngine::DhcpEngine(ClientTable& clients, const ProfileList& profiles, const InterfaceTable& interfaces,
                       const SettingsHolder& settings, LogSink& log, const platform::Clock& clock,
                       platform::ArpProber* arp)
    : tables_{clients, profiles, interfaces, log, arp},
      settings_(settings),
      clock_(clock),
      parked_(kParkedPlaces),
      resumed_(kReceiveBufferSize) {
    // Storage for waiting requests is taken once.
    for (Parked& p : parked_) p.datagram.resize(kReceiveBufferSize);
    freePlaces_.reserve(kParkedPlaces);
    for (std::size_t i = kParkedPlaces; i > 0; --i) freePlaces_.push_back(static_cast<std::uint16_t>(i - 1));
}

void DhcpEngine::setDnsUpdateQueue(DnsUpdateQueue* queue) {
    dnsQueue_ = queue;
    leaseEnding_ = queueTableLeaseRemovals(queue, &clock_, tables_.profiles);
}

const EngineSettings& DhcpEngine::engineSettings() {
    const std::uint64_t generation = settings_.generation();
    if (generation != typedGeneration_) {
        typed_ = settings_.withDhcp([](const DhcpSettings& d) { return EngineSettings::from(d); });
        typedGeneration_ = generation;
    }
    return typed_;
}

ReplyPlan DhcpEngine::process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                              const Arrival& arrival) {
    claimRounds_ = 0;
    requestType_ = -1;
    ReplyPlan plan = handle(request, reply, arrival, nullptr);
    plan.requestType = requestType_;
    return plan;
}

void DhcpEngine::claimAnswered(std::uint64_t ticket, ClaimOutcome outcome) {
    Parked& p = parked_[ticket & kParkedPlaceMask];
    if (ticket == 0 || p.ticket != ticket || p.waitingFor != WaitingFor::Claim) return;
    p.answered = true;
    p.answer = outcome;
}

ReplyPlan DhcpEngine::resume(std::uint64_t ticket, std::span<std::uint8_t> reply) {
    Parked& slot = parked_[ticket & kParkedPlaceMask];
    if (ticket == 0 || slot.ticket != ticket) return {};
    if (clock_.milliseconds() - slot.sinceMs > kLongestWaitMs) {
        freePlace(slot);
        return {};
    }
    // A claim whose answer is not in yet waits on where it is.
    if (slot.waitingFor == WaitingFor::Claim && !slot.answered) return ReplyPlan{.parked = true, .ticket = ticket};
    // The place is free again whatever happens: a request that waits on gets a new one.
    freePlace(slot);
    const std::size_t length = std::min(slot.length, resumed_.size());
    std::copy_n(slot.datagram.begin(), length, resumed_.begin());
    const std::span<const std::uint8_t> request(resumed_.data(), length);
    const bool lost = slot.waitingFor == WaitingFor::Claim && slot.answer == ClaimOutcome::Lost;
    claimRounds_ = slot.claimRounds + (lost ? 1 : 0);
    if (!parkedStillHolds(slot, clock_.now())) {
        // Made afresh; a lost claim's holder is in the table by now.
        return handle(request, reply, slot.arrival, nullptr);
    }
    return handle(request, reply, slot.arrival, &slot);
}

bool DhcpEngine::parkedStillHolds(const Parked& p, std::int64_t now) {
    if (p.profilesGeneration != tables_.profiles.generation() || p.settingsGeneration != settings_.generation())
        return false;
    const Selection& sel = p.waitingFor == WaitingFor::Claim ? p.decision.selection : p.selection;
    ClientTable& t = tables_.clients;
    if (sel.staticSeen != nullptr && (!t.owns(*sel.staticSeen) || sel.staticSeen->list() != ClientList::Static))
        return false;
    if (p.waitingFor == WaitingFor::AddressTest) return sel.record == nullptr && p.allocateFrom.pool != nullptr;
    if (p.answer == ClaimOutcome::Lost) return false;
    if (sel.record != nullptr &&
        (!t.owns(*sel.record) || sel.record->list() == ClientList::Free || sel.record->list() == ClientList::None))
        return false;
    return planStillHolds(tables_, sel.plan, now);
}

DhcpEngine::Parked& DhcpEngine::place() {
    if (freePlaces_.empty()) reclaimStalePlaces();
    if (!freePlaces_.empty()) {
        Parked& p = parked_[freePlaces_.back()];
        freePlaces_.pop_back();
        return p;
    }
    // All taken: the one that waited longest gives way (its client asks again).
    Parked* oldest = &parked_.front();
    for (Parked& p : parked_) {
        if (p.sinceMs < oldest->sinceMs) oldest = &p;
    }
    oldest->ticket = 0;
    return *oldest;
}

void DhcpEngine::freePlace(Parked& p) {
    if (p.ticket == 0) return;
    p.ticket = 0;
    freePlaces_.push_back(static_cast<std::uint16_t>(&p - parked_.data()));
}

void DhcpEngine::reclaimStalePlaces() {
    // The receive loop lets a request go without taking it up again once it has waited too long,
    // and drops every waiting request at an address change: their places would stay taken.
    const std::uint64_t nowMs = clock_.milliseconds();
    for (Parked& p : parked_) {
        if (p.ticket != 0 && nowMs - p.sinceMs > kLongestWaitMs) freePlace(p);
    }
}

ReplyPlan DhcpEngine::park(Parked& p, std::span<const std::uint8_t> request, const Arrival& arrival) {
    p.length = std::min(request.size(), p.datagram.size());
    std::copy_n(request.begin(), p.length, p.datagram.begin());
    p.arrival = arrival;
    p.profilesGeneration = tables_.profiles.generation();
    p.settingsGeneration = settings_.generation();
    p.sinceMs = clock_.milliseconds();
    p.answered = false;
    p.claimRounds = claimRounds_;
    if (p.ticket == 0) p.ticket = (nextTicket_++ << kParkedPlaceBits) | static_cast<std::uint64_t>(&p - parked_.data());
    return ReplyPlan{.parked = true, .ticket = p.ticket};
}

bool DhcpEngine::unusableForClients(Ipv4 address, const Profile& pool) const {
    const std::uint32_t hostBits = ~ipv4ToHostOrder(pool.subnetMask);
    // Only a mask whose ones stand left of its zeros, with room for more than two addresses.
    if (pool.subnetMask != 0 && (hostBits & (hostBits + 1)) == 0 && hostBits > 1) {
        const std::uint32_t host = ipv4ToHostOrder(address) & hostBits;
        if (host == 0 || host == hostBits) return true;
    }
    return tables_.interfaces.isHostAddress(address);
}

bool DhcpEngine::namesAnotherOwnAddress(const RequestView& view) const {
    const Ipv4 chosen = view.serverIdentifier;
    if (view.messageType != kRequest || chosen == 0 || chosen == view.interfaceAddress) return false;
    // An address of this host the server does not listen on (excluded) gets no copy and made no
    // offer: another server there did (a virtual network's own DHCP server, say), and the client
    // chose it.
    const int index = tables_.interfaces.indexOf(chosen);
    const std::optional<InterfaceEntry> entry =
        index > 0 ? tables_.interfaces.entry(static_cast<std::size_t>(index - 1)) : std::nullopt;
    return entry && entry->presentAndServed();
}

const ClientRecord& DhcpEngine::unlistedRecord(const RequestInput& in, const Decision& d) {
    const Selection& sel = d.selection;
    unlistedFields_.address = sel.informedFrom;
    unlistedFields_.identity = requestIdentity(in.view, in.settings.relayValuesIdentify);
    unlistedFields_.hostName.assign(d.hostName, d.hostNameLength);
    unlistedFields_.remark.assign(sel.remark == Selection::Remark::Profile ? sel.remarkText : std::string_view());
    tables_.clients.fill(unlisted_, unlistedFields_);
    return unlisted_;
}

bool DhcpEngine::givenByAnotherPool(const AddressPlan& plan, std::int64_t now) {
    const Ipv4 address = plan.address();
    for (const ClientRecord* rec = tables_.clients.findAddress(ClientList::Dynamic, address, nullptr); rec != nullptr;
         rec = tables_.clients.findAddress(ClientList::Dynamic, address, rec)) {
        if (rec == plan.record || profileNameEquals(rec->profile, plan.pool.name) || isHold(*rec)) continue;
        // Offered (no expiry yet), released or leased: the other pool may still count on it.
        if (rec->expiry == 0 || rec->expiry > now) return true;
    }
    return false;
}

bool DhcpEngine::allocate(RequestView& view, const RequestInput& in, const PoolChoice& choice, Selection& sel,
                          const AddressPlan* resumed) {
    const Profile& pool = *choice.pool;
    if (in.view.dhcp && in.view.messageType == kInform) {
        // Nothing is allocated for an INFORM: its client has its address. A lease it holds in
        // the pool still serves it; without one it is answered at the address it has.
        AddressPlan own = planExistingAddress(tables_, in, pool);
        if (own.dropRemoteId) view.remoteId = ValueRef{};
        if (own && !isHold(*own.record))
            sel.plan = own;
        else
            sel.informedFrom = in.view.ciaddr;
        return true;
    }
    // Each conflict takes one address out of the pool for a lease time, so this ends.
    for (std::int32_t attempt = 0; attempt <= pool.range; ++attempt) {
        AddressPlan plan;
        if (resumed != nullptr && planStillHolds(tables_, *resumed, in.now)) {
            plan = *resumed;
        } else {
            plan = planAddress(tables_, in, pool, choice.test);
            if (plan.giveUpOwnFirst) {
                giveUpOwnLeases(tables_, in, plan, pool, dnsQueue_);
                plan = planAddress(tables_, in, pool, choice.test);
            }
        }
        resumed = nullptr;
        // The record is keyed by its circuit ID: the remote ID is out of this request's view.
        if (plan.dropRemoteId) view.remoteId = ValueRef{};
        if (!plan) {
            if (plan.exhausted && choice.noteWhenEmpty) {
                sel.note = SelectionNote::PoolExhausted;
                sel.poolName = pool.name;
                return true;
            }
            break;
        }
        // A request with an all-zero hardware address would find the holds as its own.
        if (plan.source == AddressPlan::Source::Own && isHold(*plan.record)) break;
        // A pool that holds an address of this host (the server's own, often the router's) or
        // the network's own or broadcast address by the profile's mask must not hand it to a
        // client, nor leave it with one that has it from before: it is held for a lease time,
        // as an address that answers the address test is, and the search goes on.
        if (unusableForClients(plan.address(), pool)) {
            tables_.log.line(1, false, "DHCP  Error   pool of %s holds %s, which no client may have: held\n",
                             pool.name.c_str(), formatIpv4(plan.address()).c_str());
            holdForHost(tables_, plan, HardwareAddress{}, in, pool, dnsQueue_);
            continue;
        }
        // Pools of two profiles that overlap: an address the other pool has given out is held
        // here, so that two clients never get one address.
        if (plan.source != AddressPlan::Source::Own && givenByAnotherPool(plan, in.now)) {
            tables_.log.line(1, false,
                             "DHCP  Error   pool of %s holds %s, which another profile's pool gives out: held\n",
                             pool.name.c_str(), formatIpv4(plan.address()).c_str());
            holdForHost(tables_, plan, HardwareAddress{}, in, pool, dnsQueue_);
            continue;
        }
        // An address the request is refused anyway is not tested: the refusal takes nothing.
        if (!plan.test || (plan.source != AddressPlan::Source::Own && refusedAt(in, sel, plan.address()))) {
            sel.plan = plan;
            return true;
        }
        HardwareAddress holder{};
        switch (testAddress(tables_, plan, holder)) {
            case AddressTest::Free:
                sel.plan = plan;
                return true;
            case AddressTest::InUse:
                holdForHost(tables_, plan, holder, in, pool, dnsQueue_);
                break;
            case AddressTest::Pending:
                // The answer is not in yet: the request waits for it, and others go on meanwhile.
                sel.plan = plan;
                return false;
        }
    }
    if (choice.noteWhenEmpty) sel.note = SelectionNote::NoDynamicAddress;
    return true;
}

void DhcpEngine::tryNamedAddress(const RequestInput& in, Decision& d) {
    if (shared_ == nullptr || claimRounds_ > 0 || d.verdict != Verdict::Serve || d.bootp) return;
    const Selection& sel = d.selection;
    if (sel.fixedAddress || sel.record != nullptr || !sel.plan) return;
    const RuleOutcome& rules = d.rules;
    if (rules.line != RuleLine::Nak && rules.line != RuleLine::Ignored) return;
    const AddressPlan named = planNamedAddress(tables_, sel.plan, rules.lineAddress, in.now);
    if (!named) return;
    Decision again = d;
    again.selection.plan = named;
    again.clientHostName = false;
    again.hostNameLength = 0;
    decideServing(in, again);
    // Only an acknowledgement is worth asking the database for; anything else stays refused.
    if (again.verdict == Verdict::Serve && again.rules.replyType == kAck) d = again;
}

bool DhcpEngine::claimFirst(const RequestInput& in, Decision& d, const Parked* parked, std::uint64_t& ticket) {
    if (shared_ == nullptr || d.verdict != Verdict::Serve || d.selection.fixedAddress) return false;
    const int type = d.rules.replyType;
    const bool lease = d.bootp || (type == kAck && in.view.messageType != kInform);
    const bool offer = !d.bootp && type == kOffer;
    if (!lease && !offer) return false;
    const bool current = currentLease(d.selection, in.now);
    if (parked != nullptr && parked->waitingFor == WaitingFor::Claim) {
        // The answer is in: a won claim is given; without an answer only a current lease is.
        if (parked->answer == ClaimOutcome::Won) return false;
        if (current)
            keepUnconfirmedLease(d, in);
        else
            d.verdict = Verdict::Silent;
        return false;
    }
    if (!shared_->claimsPossible()) {
        // No new address while the database cannot say whose it is.
        if (current)
            keepUnconfirmedLease(d, in);
        else
            d.verdict = Verdict::Silent;
        return false;
    }
    if (!lease) return false;  // an offer promises nothing: the REQUEST's claim decides
    if (freePlaces_.empty()) reclaimStalePlaces();
    // A client whose claims keep being lost, or no place left to wait in (an overload): no
    // answer now; its client asks again.
    if (claimRounds_ >= kClaimRounds || freePlaces_.empty()) {
        d.verdict = Verdict::Silent;
        return false;
    }
    Parked& p = place();
    const ClientRecord* rec = existingRecord(d.selection);
    const Identity previous = rec != nullptr ? rec->identity->get() : d.selection.plan.identity;
    const std::uint64_t next = (nextTicket_ << kParkedPlaceBits) | static_cast<std::uint64_t>(&p - parked_.data());
    if (!shared_->claim(next, leaseAfter(tables_, d, in), previous, in.now)) {
        freePlaces_.push_back(static_cast<std::uint16_t>(&p - parked_.data()));
        if (current)
            keepUnconfirmedLease(d, in);
        else
            d.verdict = Verdict::Silent;
        return false;
    }
    ++nextTicket_;
    p.ticket = next;
    p.waitingFor = WaitingFor::Claim;
    p.decision = d;
    p.decidedAt = in.now;
    ticket = next;
    return true;
}

ReplyPlan DhcpEngine::handle(std::span<const std::uint8_t> request, std::span<std::uint8_t> replyBuffer,
                             const Arrival& arrival, const Parked* parked) {
    if (request.size() < kMinRequestLength || replyBuffer.size() < kReplyBufferSize) return {};
    const EngineSettings& g = engineSettings();
    RequestSummary summary;
    summary.interfaceAddress = arrival.interfaceAddress;
    summary.sourceAddress = arrival.sourceAddress;
    parseRequest(request, summary);
    // A DHCP message that names no type counts as none of the known ones.
    requestType_ = summary.dhcp ? (summary.messageType > 0 ? summary.messageType : 256) : 0;
    ReplyWriter reply(replyBuffer);
    startReply(reply, request, summary.hardwareLength);
    const bool requestBroadcast = (summary.flagsByte & kBroadcastFlag) != 0;

    ReplyPlan plan;
    RequestView view;
    if (isProbe(request.first(std::min(request.size(), kMinimumReply)))) {
        view.relayAddress = summary.giaddr;
        plan.length = writeProbeAnswer(reply, summary.interfaceAddress);
        routeFacts(plan, summary, view, requestBroadcast, 0);
        return plan;
    }

    // Decide. A claim answered goes on with the decision and the time it was made at.
    const bool claimed = parked != nullptr && parked->waitingFor == WaitingFor::Claim;
    const bool trusted = tables_.interfaces.isTrusted(summary.interfaceAddress);
    applySettings(summary, g, trusted, view);
    const RequestInput in{request, view, g, claimed ? parked->decidedAt : clock_.now(), trusted, clock_.milliseconds()};
    Decision d;
    if (claimed) {
        d = parked->decision;
        if (d.selection.plan.dropRemoteId) view.remoteId = ValueRef{};
    } else if (!acceptable(view, g)) {
        d.verdict = Verdict::Ignored;
        d.ignoredClass = view.dhcp ? kIgnoredDhcp : kIgnoredBootp;
    } else if (namesAnotherOwnAddress(view)) {
        // A relay agent given two addresses of this server sends each a copy: the copy that
        // reaches the address the client chose answers, and this one changes nothing (it is no
        // REQUEST for another server, which would end the lease that copy gives).
        d.verdict = Verdict::Silent;
    } else {
        SelectionStart start;
        if (parked != nullptr) {
            start.selection = parked->selection;
            start.allocateFrom = parked->allocateFrom;
            if (start.selection.plan.dropRemoteId) view.remoteId = ValueRef{};
        } else if (ClientRecord* first = findByRequest(tables_.clients, in, ClientList::Static, false)) {
            start = selectKnownClient(tables_, in, *first);
        } else {
            start = selectUnregisteredClient(tables_, in);
        }
        d.selection = start.selection;
        if (start.allocateFrom.pool != nullptr && !allocate(view, in, start.allocateFrom, d.selection,
                                                            parked != nullptr ? &parked->selection.plan : nullptr)) {
            // The address under test is the client's meanwhile, so that no other client is
            // offered it; the rest of the decision waits for the answer.
            AddressPlan& tested = d.selection.plan;
            if (ClientRecord* rec = commitAddress(tables_, tested, in.now, dnsQueue_)) {
                tested.source = AddressPlan::Source::Own;
                tested.record = rec;
            }
            if (shared_ != nullptr) shared_->writeJournal(tables_.clients, in.now);
            Parked& p = place();
            p.waitingFor = WaitingFor::AddressTest;
            p.selection = d.selection;
            p.allocateFrom = start.allocateFrom;
            return park(p, request, arrival);
        }
        decideServing(in, d);
    }
    // With shared leases the record a REQUEST for another server finds may be the lease that
    // server has just given: only an offer of this server's ends.
    if (shared_ != nullptr && d.rules.otherServer && currentLease(d.selection, in.now)) {
        d.rules.clearIdentity = false;
        d.rules.clearExpiry = false;
    }
    if (!claimed) tryNamedAddress(in, d);
    std::uint64_t ticket = 0;
    if (claimFirst(in, d, parked, ticket)) return park(parked_[ticket & kParkedPlaceMask], request, arrival);

    // Commit; the claimed lease is in the database already, everything else goes there now.
    const Committed done = commitDecision(tables_, in, d, dnsQueue_);
    if (shared_ != nullptr) {
        if (claimed && done.record != nullptr) {
            // The client holds this lease now: this server's offers to it elsewhere end.
            endOtherOffers(tables_.clients, *done.record, in.now, leaseEnding_);
            if (tables_.clients.journal() != nullptr) tables_.clients.journal()->forget(*done.record);
        }
        shared_->writeJournal(tables_.clients, in.now);
    }

    // Write.
    Ipv4 yiaddr = 0;
    bool broadcast = requestBroadcast;
    plan.fixedAddress = d.selection.fixedAddress;
    if (d.verdict == Verdict::Ignored) {
        if (done.ignoredRecorded) plan.length = writeIgnoredReply(in, reply);
    } else if (d.verdict == Verdict::Serve) {
        const ClientRecord& served = done.record != nullptr ? *done.record : unlistedRecord(in, d);
        plan.length = writeServedReply(tables_, in, d, served, g.defaultOptions, reply, plan.offSubnet);
        plan.messageType = d.bootp ? 0 : d.rules.replyType;
        const bool noAddress = !d.bootp && (d.rules.replyType == kNak || view.messageType == kInform);
        yiaddr = noAddress ? 0 : served.address;
        broadcast = broadcast || (!d.bootp && d.rules.replyType == kNak);
    }
    if (plan.length != 0 && !reply.ok()) {
        // Never a reply cut short: the client asks again.
        tables_.log.line(1, true, "DHCP  Error   reply to %s not written whole\n",
                         formatHardwareAddress(summary.hardwareAddress).c_str());
        plan.length = 0;
    }
    routeFacts(plan, summary, view, broadcast, yiaddr);
    return plan;
}

}  // namespace tolmark::dhcp
