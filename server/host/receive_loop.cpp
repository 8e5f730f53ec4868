#include "server/host/receive_loop.h"
#include <array>

#include <algorithm>
#include <chrono>
#include <thread>

#include "base/byte_io.h"
#include "common/text_forms.h"
#include "server/dhcp/dhcp_protocol.h"

namespace tolmark {
namespace {

constexpr int kWaitLimitMs = 5000;
// Datagrams read per wake-up before the loop looks at reload requests and the stop flag again.
constexpr int kMaxBatch = 64;

void checkLogOutput(ReceiveLoopContext& c) {
    c.settings.withDhcp([&](const DhcpSettings& s) {
        c.log.check(s.directory, s.general.log, s.general.createLog);
        return 0;
    });
}

void carryOutReloadRequest(ReceiveLoopContext& c) {
    int request = c.flags.reloadRequest.load();
    if (request == 0) return;
    if (request & kReloadInterfaces) c.interfaces.reload(c.hostAddresses, c.clock.now(), c.log);
    // Read again: the rebuild may have raced with another request.
    if ((c.flags.reloadRequest.load() | request) & kReloadSockets) {
        c.sockets.reconcile(c.interfaces, c.settings.general().port, c.log);
    }
    c.flags.reloadRequest.store(0);
}

}  // namespace

bool makeTemporaryArpEntry(const InterfaceTable& interfaces, platform::ArpCache& arp, Ipv4 address,
                           const std::uint8_t* hardware6, platform::ArpEntryType type, bool& made, int& ifIndex) {
    ifIndex = interfaces.ifIndexForNeighbour(address);
    if (ifIndex < 0) return false;
    bool created = arp.setEntry(ifIndex, address, hardware6, platform::ArpEntryType::Static);
    made = true;
    if (type == platform::ArpEntryType::Static) return created;
    return arp.setEntry(ifIndex, address, hardware6, type);
}

ParkedRequests::ParkedRequests() : places_(kPlaces) {}

void ParkedRequests::park(const Waiting& waiting) { places_[waiting.ticket & kParkedPlaceMask] = waiting; }

bool ParkedRequests::take(std::uint64_t ticket, Waiting& waiting) {
    Waiting& place = places_[ticket & kParkedPlaceMask];
    if (ticket == 0 || place.ticket != ticket) return false;
    waiting = place;
    place.ticket = 0;
    return true;
}

bool ParkedRequests::takeOldest(std::int64_t nowMs, Waiting& waiting) {
    Waiting* oldest = nullptr;
    for (Waiting& p : places_) {
        if (p.ticket == 0) continue;
        // A client that waited this long has asked again by now.
        if (nowMs - p.since > kLongestWaitMs) {
            p.ticket = 0;
            continue;
        }
        if (oldest == nullptr || p.since < oldest->since) oldest = &p;
    }
    if (oldest == nullptr) return false;
    waiting = *oldest;
    oldest->ticket = 0;
    return true;
}

std::size_t ParkedRequests::size() const {
    return static_cast<std::size_t>(
        std::count_if(places_.begin(), places_.end(), [](const Waiting& p) { return p.ticket != 0; }));
}

void ParkedRequests::clear() {
    for (Waiting& p : places_) p.ticket = 0;
}

void sendReply(ReceiveLoopContext& c, const InterfaceEntry& entry, const ReplyPlan& plan,
               std::span<const std::uint8_t> reply, platform::UdpSocket& socket) {
    std::size_t length = plan.length;
    if (length == 0) return;
    if (length > reply.size()) length = reply.size();
    std::span<const std::uint8_t> out = reply.first(length);
    const GeneralSettings general = c.settings.general();

    ReplyRouting routing{general.port, general.netBc != 0, general.unicast != 0};
    ReplyDestination destination = chooseReplyDestination(plan, entry, routing);
    int sendIfIndex = 0;
    bool arpMade = false;
    int arpIfIndex = -1;
    int linkIfIndex = -1;
    if (destination.route == ReplyRoute::UnicastAfterArp) {
        // The client answers no ARP for an address it does not have yet: the reply goes to its
        // hardware address directly, leaving the host's ARP cache alone, when that can be done.
        if (c.linkSender != nullptr && c.linkSender->ready())
            linkIfIndex = c.interfaces.ifIndexForNeighbour(destination.address);
        if (linkIfIndex >= 0) {
            sendIfIndex = linkIfIndex;
        } else if (makeTemporaryArpEntry(c.interfaces, c.arp, destination.address, plan.hardware.data(),
                                         platform::ArpEntryType::Dynamic, arpMade, arpIfIndex)) {
            sendIfIndex = arpIfIndex;
        } else {
            destination = {ReplyRoute::Broadcast, broadcastAddressFor(entry, routing.netBc), destination.port};
        }
    }
    if (destination.route == ReplyRoute::Broadcast) sendIfIndex = entry.ifIndex > 0 ? entry.ifIndex : 0;

    if (general.delay >= 1 && general.delay <= 100) {
        std::this_thread::sleep_for(std::chrono::milliseconds(general.delay));
    }
    const bool sent = linkIfIndex >= 0 ? c.linkSender->send(linkIfIndex, plan.hardware.data(), entry.address,
                                                            general.port, destination.address, destination.port, out)
                                       : socket.send(out.data(), out.size(), destination.address, destination.port,
                                                     entry.address, sendIfIndex);
    if (!sent) {
        if (c.counters != nullptr) c.counters->sendFailures.add();
        c.log.line(1, true, "DHCP  Error   failed to send to %s\n", formatIpv4(destination.address).c_str());
    } else if (c.counters != nullptr) {
        c.counters->countReply(plan.messageType, plan.requestType);
    }
    if (arpMade && arpIfIndex >= 0) c.arp.deleteEntry(arpIfIndex, destination.address);
}

namespace {

// A datagram that is no request: counted and logged with the length it came with.
void rejectDatagram(ReceiveLoopContext& c, const InterfaceEntry& entry, std::span<const std::uint8_t> datagram,
                    std::size_t length, Ipv4 source) {
    if (c.counters != nullptr) c.counters->malformed.add();
    if (c.log.level() == 0) return;
    // The hardware address field may be missing or short in a runt; show what is there.
    std::uint8_t hardware[6] = {};
    ByteReader(datagram).bytes(
        dhcp::kChaddr, hardware,
        std::min<std::size_t>(6, datagram.size() > dhcp::kChaddr ? datagram.size() - dhcp::kChaddr : 0));
    c.log.line(1, true, "DHCP  Error   in request from %s (%s), len %u, if %s\n",
               formatHardwareAddress(hardware).c_str(), formatIpv4(source).c_str(), static_cast<unsigned>(length),
               formatIpv4(entry.address).c_str());
}

}  // namespace

ReplyPlan handleDatagram(ReceiveLoopContext& c, const InterfaceEntry& entry, std::span<const std::uint8_t> datagram,
                         Ipv4 source, std::span<std::uint8_t> reply, platform::UdpSocket& socket) {
    if (datagram.size() < dhcp::kMinRequestLength || datagram[dhcp::kOp] != dhcp::kBootRequest) {
        rejectDatagram(c, entry, datagram, datagram.size(), source);
        return {};
    }
    ReplyPlan plan;
    {
        Hold engine(c.engineLock);
        plan = c.processor.process(datagram, reply, Arrival{entry.address, source});
    }
    if (c.counters != nullptr) {
        if (plan.requestType >= 0) c.counters->countReceived(plan.requestType);
        if (plan.length == 0 && !plan.parked) c.counters->ignored.add();
    }
    if (!plan.parked) sendReply(c, entry, plan, reply, socket);
    return plan;
}

namespace {

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Takes a waiting request up again: answered, or waiting on (its place keeps its time).
void resumeOne(ReceiveLoopContext& c, ParkedRequests& parked, const ParkedRequests::Waiting& waiting,
               std::span<std::uint8_t> reply) {
    if (waiting.socketIndex >= c.sockets.socketCount()) return;
    ReplyPlan plan;
    {
        Hold engine(c.engineLock);
        plan = c.processor.resume(waiting.ticket, reply);
    }
    if (plan.parked) {
        parked.park({plan.ticket, waiting.entry, waiting.socketIndex, waiting.since});
        return;
    }
    if (plan.length == 0 && c.counters != nullptr) c.counters->ignored.add();
    sendReply(c, waiting.entry, plan, reply, c.sockets.socketAt(waiting.socketIndex));
}

// Takes the requests that waited for address tests up again, oldest first. Those whose test is
// still running wait on, keeping their place in the order.
void resumeParked(ReceiveLoopContext& c, ParkedRequests& parked, std::span<std::uint8_t> reply) {
    std::size_t pending = parked.size();
    const std::int64_t now = steadyMs();
    ParkedRequests::Waiting waiting;
    while (pending-- > 0 && parked.takeOldest(now, waiting)) resumeOne(c, parked, waiting, reply);
}

// The lease database's answers: the other servers' changes go into the table, and each request
// whose claim was answered is taken up.
void takeLeaseAnswers(ReceiveLoopContext& c, ParkedRequests& parked, std::vector<ClaimAnswer>& answers,
                      std::span<std::uint8_t> reply) {
    answers.clear();
    {
        Hold engine(c.engineLock);
        c.takeLeaseAnswers(answers);
        for (const ClaimAnswer& a : answers) c.processor.claimAnswered(a.ticket, a.outcome);
    }
    if (c.counters != nullptr) {
        for (const ClaimAnswer& a : answers) {
            if (a.ticket == 0) continue;
            switch (a.outcome) {
                case ClaimOutcome::Won:
                    c.counters->claimsWon.add();
                    break;
                case ClaimOutcome::Lost:
                    c.counters->claimsLost.add();
                    break;
                default:
                    c.counters->claimsUnavailable.add();
                    break;
            }
        }
    }
    ParkedRequests::Waiting waiting;
    for (const ClaimAnswer& a : answers) {
        if (parked.take(a.ticket, waiting)) resumeOne(c, parked, waiting, reply);
    }
}

}  // namespace

void runReceiveLoop(ReceiveLoopContext& c) {
    if (c.flags.serverStopping.load()) return;
    // Buffers live here for the loop's lifetime: nothing is allocated per datagram.
    std::uint8_t datagram[kReceiveBufferSize];
    std::uint8_t reply[kReplyBufferSize];
    ParkedRequests parked;
    std::vector<ClaimAnswer> answers;
    answers.reserve(kParkedRequestPlaces);

    auto lastSocketTry = std::chrono::steady_clock::now();
    while (!c.flags.serverStopping.load()) {
        if (c.flags.reloadRequest.load() != 0) {
            // The sockets the waiting requests came from may be gone: their clients ask again.
            parked.clear();
            carryOutReloadRequest(c);
            lastSocketTry = std::chrono::steady_clock::now();
            if (c.socketsReconciled) c.socketsReconciled();
        }
        // A port another program held is taken once it lets go, without waiting for an
        // address change; so are the server's other ports (TFTP, metrics).
        if (std::chrono::steady_clock::now() - lastSocketTry >= kSocketRetryInterval) {
            lastSocketTry = std::chrono::steady_clock::now();
            if (c.sockets.waitingForSocket() != 0) {
                if (c.sockets.reconcile(c.interfaces, c.settings.general().port, c.log, true) != 0) parked.clear();
                if (c.socketsReconciled) c.socketsReconciled();
            }
            if (c.retryHeldPorts) c.retryHeldPorts();
        }

        if (!c.sockets.anyOpen()) {
            if (c.leaseAnswers != nullptr && c.takeLeaseAnswers && c.leaseAnswers->signalled())
                takeLeaseAnswers(c, parked, answers, std::span<std::uint8_t>(reply));
            // Nothing to wait on: pause, then look for an address change that brings a socket.
            // The log is flushed as after any idle wait: without it, a server with no served
            // interface kept its start lines out of the file until it stopped.
            c.log.flush();
            if (c.stop.sleepFor(std::chrono::milliseconds(kWaitLimitMs)) || c.flags.serverStopping.load()) break;
            continue;
        }
        std::array<int, kMaxInterfaces + 2> fds{};
        std::array<bool, kMaxInterfaces + 2> readable{};
        const std::size_t count = std::min(c.sockets.socketCount(), kMaxInterfaces);
        for (std::size_t k = 0; k < count; ++k) fds[k] = c.sockets.socketAt(k).fd();
        std::size_t waitCount = count;
        const std::size_t testsAt = waitCount;
        if (c.addressTestsDone != nullptr) fds[waitCount++] = c.addressTestsDone->fd();
        const std::size_t leasesAt = waitCount;
        if (c.leaseAnswers != nullptr && c.takeLeaseAnswers) fds[waitCount++] = c.leaseAnswers->fd();
        platform::WaitResult result = platform::waitReadable(std::span<const int>(fds.data(), waitCount), &c.stop,
                                                             kWaitLimitMs, std::span<bool>(readable.data(), waitCount));
        if (result == platform::WaitResult::Timeout) {
            c.log.flush();
            continue;
        }
        if (result != platform::WaitResult::Readable) {
            if (c.flags.serverStopping.load()) break;
            c.stop.sleepFor(std::chrono::milliseconds(kWaitLimitMs));
            continue;
        }

        checkLogOutput(c);
        if (c.addressTestsDone != nullptr && readable[testsAt]) {
            c.addressTestsDone->reset();
            resumeParked(c, parked, std::span<std::uint8_t>(reply));
        }
        // Also while paused: a standby follows the others' leases.
        if (leasesAt < waitCount && readable[leasesAt])
            takeLeaseAnswers(c, parked, answers, std::span<std::uint8_t>(reply));
        for (std::size_t k = 0; k < count; ++k) {
            if (!readable[k]) continue;
            platform::UdpSocket& socket = c.sockets.socketAt(k);
            for (int n = 0; n < kMaxBatch; ++n) {
                platform::DatagramInfo info;
                long length = socket.receive(datagram, sizeof datagram, info, true);
                if (c.flags.serverStopping.load()) {
                    c.flags.statusChanged.fetch_or(kStatusClientData | kStatusLoopEnded);
                    return;
                }
                if (length < 0) break;  // drained
                if (length == 0 || c.flags.paused.load() != 0) {
                    if (c.counters != nullptr) (length == 0 ? c.counters->malformed : c.counters->ignored).add();
                    continue;
                }
                std::optional<InterfaceEntry> entry = c.sockets.entryFor(info, k);
                if (!entry) continue;  // aimed at an address that is not served
                const std::span<const std::uint8_t> received(datagram, static_cast<std::size_t>(length));
                // One longer than the buffer was cut: the options that were lost (the message type
                // among them) would make it another request. It goes unanswered.
                if (info.length > received.size()) {
                    rejectDatagram(c, *entry, received, info.length, info.source);
                    continue;
                }
                const ReplyPlan plan = handleDatagram(c, *entry, received, info.source, reply, socket);
                if (plan.parked) parked.park({plan.ticket, *entry, k, steadyMs()});
            }
        }
        c.flags.statusChanged.fetch_or(kStatusClientData);
    }
    c.flags.statusChanged.fetch_or(kStatusLoopEnded);
}

}  // namespace tolmark
