#include "server/dhcp/dhcp_engine.h"

#include <algorithm>
#include <cstring>

#include "server/dhcp/allocation.h"
#include "server/dhcp/decision_commit.h"
#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/identity_match.h"
#include "server/dhcp/ignored_clients.h"
#include "server/dhcp/probe_message.h"
#include "server/dhcp/reply_render.h"
#include "server/dhcp/request_decision.h"
#include "server/dhcp/request_parser.h"

namespace tolmark::dhcp {
namespace {

// The routing facts of a written reply, taken from what was decided.
void routeFacts(ReplyPlan& plan, const RequestSummary& summary, const RequestView& view, bool broadcast, Ipv4 yiaddr) {
    plan.relayAddress = view.relayAddress;
    plan.sourceAddress = summary.sourceAddress;
    plan.broadcast = broadcast;
    plan.yiaddr = yiaddr;
    std::copy_n(summary.hardwareAddress, plan.hardware.size(), plan.hardware.begin());
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
    return handle(request, reply, arrival, nullptr);
}

ReplyPlan DhcpEngine::resume(std::uint64_t ticket, std::span<std::uint8_t> reply) {
    auto slot = std::find_if(parked_.begin(), parked_.end(), [&](const Parked& p) { return p.ticket == ticket; });
    if (ticket == 0 || slot == parked_.end()) return {};
    // The place is free again whatever happens: a request that waits on gets a new one.
    slot->ticket = 0;
    if (clock_.milliseconds() - slot->sinceMs > kLongestWaitMs) return {};
    const std::size_t length = std::min(slot->length, resumed_.size());
    std::copy_n(slot->datagram.begin(), length, resumed_.begin());
    Parked decision = *slot;  // the datagram is read from resumed_; the copy's is not used
    decision.datagram.clear();
    const std::span<const std::uint8_t> request(resumed_.data(), length);
    return handle(request, reply, decision.arrival, parkedStillHolds(decision) ? &decision : nullptr);
}

bool DhcpEngine::parkedStillHolds(const Parked& p) {
    if (p.profilesGeneration != tables_.profiles.generation() || p.settingsGeneration != settings_.generation())
        return false;
    const Selection& sel = p.selection;
    if (sel.staticSeen != nullptr &&
        (!tables_.clients.owns(*sel.staticSeen) || sel.staticSeen->list() != ClientList::Static))
        return false;
    return sel.record == nullptr && p.allocateFrom.pool != nullptr;
}

ReplyPlan DhcpEngine::park(std::span<const std::uint8_t> request, const Arrival& arrival, const Selection& selection,
                           const PoolChoice& choice) {
    // A free place, else the one that waited longest (its client asks again).
    Parked* place = nullptr;
    for (Parked& p : parked_) {
        if (p.ticket == 0) {
            place = &p;
            break;
        }
        if (place == nullptr || p.sinceMs < place->sinceMs) place = &p;
    }
    place->length = std::min(request.size(), place->datagram.size());
    std::copy_n(request.begin(), place->length, place->datagram.begin());
    place->arrival = arrival;
    place->selection = selection;
    place->allocateFrom = choice;
    place->profilesGeneration = tables_.profiles.generation();
    place->settingsGeneration = settings_.generation();
    place->sinceMs = clock_.milliseconds();
    place->ticket = nextTicket_++;
    return ReplyPlan{.parked = true, .ticket = place->ticket};
}

bool DhcpEngine::allocate(RequestView& view, const RequestInput& in, const PoolChoice& choice, Selection& sel,
                          const AddressPlan* resumed) {
    const Profile& pool = *choice.pool;
    // Each conflict takes one address out of the pool for a lease time, so this ends.
    for (std::int32_t attempt = 0; attempt <= pool.range; ++attempt) {
        AddressPlan plan;
        if (resumed != nullptr && planStillHolds(tables_, *resumed, in.now)) {
            plan = *resumed;
        } else {
            plan = planAddress(tables_, in, pool, choice.test);
            if (plan.giveUpOwnFirst) {
                giveUpOwnLeases(tables_, in, plan);
                plan = planAddress(tables_, in, pool, choice.test);
            }
        }
        resumed = nullptr;
        // The record is keyed by its circuit ID: the remote ID is out of this request's view.
        if (plan.dropRemoteId) view.remoteId = ValueRef{};
        if (!plan) break;
        if (!plan.test) {
            sel.plan = plan;
            return true;
        }
        HardwareAddress holder{};
        switch (testAddress(tables_, plan, holder)) {
            case AddressTest::Free:
                sel.plan = plan;
                return true;
            case AddressTest::InUse:
                holdForHost(tables_, plan, holder, in.now, pool);
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

ReplyPlan DhcpEngine::handle(std::span<const std::uint8_t> request, std::span<std::uint8_t> replyBuffer,
                             const Arrival& arrival, const Parked* parked) {
    if (request.size() < kMinRequestLength || replyBuffer.size() < kReplyBufferSize) return {};
    const EngineSettings& g = engineSettings();
    RequestSummary summary;
    summary.interfaceAddress = arrival.interfaceAddress;
    summary.sourceAddress = arrival.sourceAddress;
    parseRequest(request, summary);
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

    // Decide.
    const bool trusted = tables_.interfaces.isTrusted(summary.interfaceAddress);
    applySettings(summary, g, trusted, view);
    const RequestInput in{request, view, g, clock_.now(), trusted, clock_.milliseconds()};
    Decision d;
    if (!acceptable(view, g)) {
        d.verdict = Verdict::Ignored;
        d.ignoredClass = view.dhcp ? kIgnoredDhcp : kIgnoredBootp;
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
            if (ClientRecord* rec = commitAddress(tables_.clients, tested)) {
                tested.source = AddressPlan::Source::Own;
                tested.record = rec;
            }
            return park(request, arrival, d.selection, start.allocateFrom);
        }
        decideServing(in, d);
    }

    // Commit.
    const Committed done = commitDecision(tables_, in, d, dnsQueue_);

    // Write.
    Ipv4 yiaddr = 0;
    bool broadcast = requestBroadcast;
    plan.fixedAddress = d.selection.fixedAddress;
    if (d.verdict == Verdict::Ignored) {
        if (done.ignoredRecorded) plan.length = writeIgnoredReply(in, reply);
    } else if (d.verdict == Verdict::Serve) {
        plan.length = writeServedReply(tables_, in, d, *done.record, g.defaultOptions, reply, plan.offSubnet);
        plan.messageType = d.bootp ? 0 : d.rules.replyType;
        const bool noAddress = !d.bootp && (d.rules.replyType == kNak || view.messageType == kInform);
        yiaddr = noAddress ? 0 : done.record->address;
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
