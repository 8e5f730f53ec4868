#include "server/dhcp/dns_removal.h"

#include <algorithm>
#include <span>
#include <string>
#include <utility>

#include "server/dhcp/allocation.h"
#include "server/dhcp/dns_message.h"
#include "server/dhcp/request_decision.h"

namespace tolmark::dhcp {
namespace {

bool registersNames(const Profile& p) { return p.dnsUpdate != 0 && p.dns[0] != 0 && p.hasPool() && p.range > 0; }

}  // namespace

std::string_view leaseHostName(const Profile& p, const ClientRecord& record, char (&buffer)[kHostNameChars + 1]) {
    if (p.dnsAccept != 0 && !record.hostName.view().empty()) return record.hostName.view();
    return baseHostName(p, record.address, buffer);
}

std::optional<DnsUpdate> leaseRemoval(const Profile& p, const ClientRecord& record, const RequestView* request) {
    char buffer[kHostNameChars + 1];
    // A record that holds an address for nobody (no identity, or a hold's all-zero hardware
    // address) registered nothing.
    const Identity holder = record.identity;
    if (p.dnsUpdate == 0 || holder.length == 0 || isHold(record)) return std::nullopt;
    const std::string_view name = leaseHostName(p, record, buffer);
    if (name.empty()) return std::nullopt;
    return DnsUpdate{
        .hostName = std::string(name),
        .domain = p.dnsName,
        .address = record.address,
        .mask = replyMask(p, record.address),
        .leaseTime = 0,
        .dnsServer = p.dns[0],
        .clientIdentity = request != nullptr ? requestDhcidIdentifier(*request) : recordDhcidIdentifier(holder),
        .removal = true};
}

bool leaseNamesMayRemain(const ClientRecord& record, std::int64_t now, std::int64_t passedUntil) {
    // Expiry 0: freed, or offered only; either way nothing of it is registered.
    return record.expiry != 0 && (record.expiry > now || record.expiry > passedUntil);
}

std::optional<DnsUpdate> runningLeaseRemoval(const Profile& p, const ClientRecord& record, const RequestView* request,
                                             std::int64_t now, std::int64_t passedUntil) {
    if (!leaseNamesMayRemain(record, now, passedUntil)) return std::nullopt;
    return leaseRemoval(p, record, request);
}

std::optional<DnsUpdate> renamedLeaseRemoval(const Profile& p, const ClientRecord& record, std::string_view newName,
                                             const RequestView& request, std::int64_t now, std::int64_t passedUntil) {
    if (p.dnsUpdate == 0 || !leaseNamesMayRemain(record, now, passedUntil)) return std::nullopt;
    char buffer[kHostNameChars + 1];
    // The name registered is the host label's in the profile's domain, and DNS names do not
    // differ by case: a client that sends it with a domain, or in other case, keeps its records.
    if (sameRegisteredName(leaseHostName(p, record, buffer), newName)) return std::nullopt;
    return leaseRemoval(p, record, &request);
}

std::optional<DnsUpdate> tableLeaseRemoval(const ProfileList& profiles, const ClientRecord& record, std::int64_t now,
                                           std::int64_t passedUntil) {
    // Most records a request takes over ran out long ago: no lookup for them.
    if (!leaseNamesMayRemain(record, now, passedUntil)) return std::nullopt;
    const Profile* profile = profiles.find(record.profile->view());
    if (profile == nullptr) return std::nullopt;
    return leaseRemoval(*profile, record);
}

std::optional<DnsUpdate> staticEntryRemoval(const ProfileList& profiles, const ClientRecord& record) {
    // An entry without an address gives its client a pool's lease, whose records go with it.
    if (record.list() != ClientList::Static || record.address == 0) return std::nullopt;
    const Profile* p = profiles.findOrFirst(record.profile->view());
    if (p == nullptr || p->dnsUpdate == 0) return std::nullopt;
    char buffer[kHostNameChars + 1];
    std::string_view name =
        record.hostName.empty() ? baseHostName(*p, record.address, buffer) : staticHostName(*p, record);
    // An entry without a name takes the one its client sends ("DNSAccept"), registered then.
    if (name.empty() && p->dnsAccept != 0) name = record.hostName;
    if (name.empty()) return std::nullopt;
    return DnsUpdate{.hostName = std::string(name),
                     .domain = p->dnsName,
                     .address = record.address,
                     .mask = replyMask(*p, record.address),
                     .leaseTime = 0,
                     .dnsServer = p->dns[0],
                     .clientIdentity = recordDhcidIdentifier(record.identity),
                     .removal = true};
}

bool changedStaticRecords(const DnsUpdate& before, const std::optional<DnsUpdate>& after) {
    return !after || !sameRegisteredName(before.hostName, after->hostName) || before.domain != after->domain ||
           before.address != after->address || before.dnsServer != after->dnsServer ||
           before.clientIdentity != after->clientIdentity;
}

void queueRunningLeaseRemoval(DnsUpdateQueue* queue, const Profile& profile, const ClientRecord& record,
                              const RequestView* request, std::int64_t now) {
    if (queue == nullptr) return;
    if (std::optional<DnsUpdate> removal = runningLeaseRemoval(profile, record, request, now, queue->expiriesPassed()))
        queue->push(std::move(*removal));
}

void queueTableLeaseRemoval(DnsUpdateQueue* queue, const ProfileList& profiles, const ClientRecord& record,
                            std::int64_t now) {
    if (queue == nullptr) return;
    if (std::optional<DnsUpdate> removal = tableLeaseRemoval(profiles, record, now, queue->expiriesPassed()))
        queue->push(std::move(*removal));
}

LeaseEnding queueTableLeaseRemovals(DnsUpdateQueue* queue, const platform::Clock* clock, const ProfileList& profiles) {
    if (queue == nullptr || clock == nullptr) return {};
    return [queue, clock, &profiles](const ClientRecord& record) {
        queueTableLeaseRemoval(queue, profiles, record, clock->now());
    };
}

std::vector<std::uint8_t> recordDhcidIdentifier(const Identity& identity) {
    const std::span<const std::uint8_t> bytes(identity.bytes.data(), identity.length);
    if (identity.kind == kIdentityClientId) return dhcidIdentifier(bytes, {});
    if (identity.kind == kIdentityHardware) return dhcidIdentifier({}, bytes);
    return {};
}

std::vector<std::uint8_t> requestDhcidIdentifier(const RequestView& s) {
    const std::span<const std::uint8_t> clientIdentifier = s.clientIdentifier.value();
    return dhcidIdentifier(clientIdentifier.first(std::min(clientIdentifier.size(), kIdentityBytes)),
                           std::span<const std::uint8_t>(s.hardwareAddress, s.hardwareLength));
}

std::size_t DnsExpiryPass::run(EngineState& engine, DnsUpdateQueue& queue, std::int64_t now) {
    noticeMovedNames(engine);
    std::size_t queued = walkWindows(engine, queue, now);
    queue.setExpiriesPassed(passedUntil());
    walkMoved(engine, queue, now, queued);
    return queued;
}

void DnsExpiryPass::noticeMovedNames(EngineState& engine) {
    Hold hold(engine.lock);
    if (seenGeneration_ == engine.profiles.generation()) return;
    for (const Profile& before : seen_) {
        const Profile* after = engine.profiles.find(before.name);
        if (after == nullptr || !registersNames(before) || !registersNames(*after)) continue;
        if (after->dnsName == before.dnsName && after->dns[0] == before.dns[0]) continue;
        // Changed again before its leases were done: they registered as the profile was first.
        if (std::none_of(moved_.begin(), moved_.end(), [&](const Moved& m) { return m.before.name == before.name; }))
            moved_.push_back(Moved{.before = before});
    }
    seenGeneration_ = engine.profiles.generation();
    seen_ = engine.profiles.profiles();
}

void DnsExpiryPass::walkMoved(EngineState& engine, DnsUpdateQueue& queue, std::int64_t now, std::size_t& queued) {
    while (!moved_.empty() && queued < kDnsRemovalsPerPass) {
        Moved& m = moved_.front();
        const PoolRef pool{m.before.name, m.before.baseIp, static_cast<std::uint32_t>(m.before.range)};
        Hold hold(engine.lock);
        const Profile* after = engine.profiles.find(m.before.name);
        for (std::size_t looked = 0; looked < kDnsExpiryRun && queued < kDnsRemovalsPerPass; ++looked) {
            const ClientRecord* r = engine.clients.poolFirstAtOrAbove(pool, m.offset);
            const std::optional<std::uint32_t> offset = r != nullptr ? ClientTable::offsetIn(pool, *r) : std::nullopt;
            if (!offset || *offset < m.offset || *offset >= pool.range) {
                moved_.erase(moved_.begin());
                break;
            }
            m.offset = *offset + 1;
            if (r->profile->view() != m.before.name || !leaseNamesMayRemain(*r, now, queue.expiriesPassed())) continue;
            std::optional<DnsUpdate> removal = leaseRemoval(m.before, *r);
            if (!removal) continue;
            queue.push(std::move(*removal));
            ++queued;
            if (after == nullptr || !registersNames(*after) || r->expiry <= now) continue;
            char buffer[kHostNameChars + 1];
            queue.push(
                DnsUpdate{.hostName = std::string(leaseHostName(*after, *r, buffer)),
                          .domain = after->dnsName,
                          .address = r->address,
                          .mask = replyMask(*after, r->address),
                          .leaseTime = static_cast<std::uint32_t>(std::min<std::int64_t>(r->expiry - now, INT32_MAX)),
                          .dnsServer = after->dns[0],
                          .clientIdentity = recordDhcidIdentifier(r->identity)});
            ++queued;  // registrations count too: they must not push removals out of a full queue
        }
    }
}

std::int64_t DnsExpiryPass::passedUntil() const {
    return beforeStart_.until != 0 && beforeStart_.from < done_ ? beforeStart_.from : done_;
}

std::size_t DnsExpiryPass::walkWindows(EngineState& engine, DnsUpdateQueue& queue, std::int64_t now) {
    std::size_t queued = 0;
    if (window_.until == 0) {
        // A clock set back starts the next window from here.
        if (now <= done_) {
            done_ = now;
        } else {
            window_ = Window{.from = done_, .until = now};
        }
    }
    if (window_.until != 0) {
        if (!walk(engine, queue, window_, queued)) return queued;
        done_ = window_.until;
        window_ = Window{};
    }
    if (beforeStart_.until != 0 && walk(engine, queue, beforeStart_, queued)) beforeStart_ = Window{};
    return queued;
}

bool DnsExpiryPass::walk(EngineState& engine, DnsUpdateQueue& queue, Window& w, std::size_t& queued) {
    if (queued >= kDnsRemovalsPerPass) return false;
    for (;;) {
        Hold hold(engine.lock);
        // Profiles loaded again: the walk starts over (a removal sent twice does no harm).
        if (engine.profiles.generation() != w.generation) {
            w.generation = engine.profiles.generation();
            w.profile = 0;
            w.offset = 0;
        }
        for (std::size_t looked = 0; w.profile < engine.profiles.size() && looked < kDnsExpiryRun;) {
            const Profile& p = engine.profiles.profiles()[w.profile];
            const PoolRef pool{p.name, p.baseIp, static_cast<std::uint32_t>(p.range)};
            const ClientRecord* r =
                registersNames(p) ? engine.clients.poolFirstExpired(pool, w.offset, w.until + 1) : nullptr;
            const std::optional<std::uint32_t> offset = r != nullptr ? ClientTable::offsetIn(pool, *r) : std::nullopt;
            if (!offset || *offset < w.offset) {
                ++w.profile;
                w.offset = 0;
                continue;
            }
            w.offset = *offset + 1;
            ++looked;
            // Expired before the window (or freed: expiry 0) is done; a record without an
            // identity (an address held back after a DECLINE) has had its removal.
            if (r->expiry <= w.from) continue;
            std::optional<DnsUpdate> removal = leaseRemoval(p, *r);
            if (!removal) continue;
            queue.push(std::move(*removal));
            if (++queued == kDnsRemovalsPerPass) return false;
        }
        if (w.profile >= engine.profiles.size()) return true;
    }
}

}  // namespace tolmark::dhcp
