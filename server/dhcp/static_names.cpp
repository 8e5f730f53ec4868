#include "server/dhcp/static_names.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <system_error>

#include "base/ipv4.h"
#include "common/entry_line.h"
#include "server/dhcp/dns_removal.h"
#include "server/leases/client_rules.h"

namespace tolmark::dhcp {
namespace {

// A name as the log shows it: control characters would start lines of their own.
std::string shownName(std::string_view name) {
    std::string shown(name);
    std::transform(shown.begin(), shown.end(), shown.begin(), entryLineChar);
    return shown;
}

}  // namespace

StaticNames::StaticNames(StaticNamesContext context) : c_(context) {}

StaticNames::~StaticNames() { stop(); }

void StaticNames::startAtLoad(bool reverseLookups) { start(true, reverseLookups); }

bool StaticNames::requestPass(bool reverseLookups) {
    if (stopping_) return false;
    if (!reverseLookups) {
        Hold hold(c_.engine.lock);
        bool sends = false;
        for (const Profile& p : c_.engine.profiles.profiles()) sends = sends || p.dnsSend != 0;
        if (!sends) return false;
    }
    // One pass at a time: a request while one runs would only repeat it.
    if (running_.exchange(true)) return false;
    start(false, true);
    return true;
}

void StaticNames::start(bool forward, bool reverse) {
    if (stopping_) {
        running_ = false;
        return;
    }
    std::vector<Lookup> lookups = collect(forward, reverse);
    if (lookups.empty()) {
        running_ = false;
        return;
    }
    std::lock_guard<std::mutex> guard(threadsLock_);
    reapFinished();
    try {
        auto done = std::make_shared<std::atomic<bool>>(false);
        passes_.push_back(Pass{std::thread([this, done, work = std::move(lookups)]() mutable {
                                   run(std::move(work));
                                   running_ = false;
                                   done->store(true);
                               }),
                               done});
    } catch (const std::system_error&) {
        running_ = false;
        c_.log.line(1, false, "DHCP  Error   host name lookup thread failed\n");
    }
}

std::vector<StaticNames::Lookup> StaticNames::collect(bool forward, bool reverse) {
    std::vector<Lookup> lookups;
    Hold hold(c_.engine.lock);
    for (const ClientRecord* r = c_.engine.clients.first(ClientList::Static); r != nullptr;
         r = c_.engine.clients.next(*r)) {
        if (r->address == 0 && !r->hostName.empty()) {
            if (forward) lookups.push_back(Lookup{c_.engine.clients.handleOf(*r), std::string(r->hostName.view()), 0});
        } else if (reverse && r->hostName.empty() && r->address != 0 && r->address != kNeverServe) {
            lookups.push_back(Lookup{c_.engine.clients.handleOf(*r), {}, r->address});
        }
    }
    return lookups;
}

void StaticNames::run(std::vector<Lookup> lookups) {
    bool changed = false;
    for (const Lookup& lookup : lookups) {
        if (stopping_) break;
        if (!lookup.hostName.empty()) {
            const std::optional<Ipv4> address = c_.names.addressOf(lookup.hostName);
            if (!address || *address == 0) {
                c_.log.line(1, false, "DHCP  Error   static host name %s: no address found\n",
                            shownName(lookup.hostName).c_str());
                continue;
            }
            if (!isClientAddress(*address)) {
                c_.log.line(1, false, "DHCP  Error   static host name %s: %s is no client's address\n",
                            shownName(lookup.hostName).c_str(), formatIpv4(*address).c_str());
                continue;
            }
            Hold hold(c_.engine.lock);
            // The entry may have been changed or removed through the pipe meanwhile.
            ClientRecord* record = c_.engine.clients.resolve(lookup.handle, ClientList::Static);
            if (record == nullptr || record->address != 0 || record->hostName != lookup.hostName) continue;
            c_.engine.clients.setAddress(*record, *address);
            // The address is reserved in its pool like the static addresses that were loaded.
            if (!c_.autoExclude || c_.autoExclude())
                reserveAddress(c_.engine.clients, *address, c_.engine.profiles,
                               queueTableLeaseRemovals(c_.dnsQueue, c_.clock, c_.engine.profiles));
            changed = true;
        } else {
            std::optional<std::string> name = c_.names.nameOf(lookup.address);
            if (!name || name->empty()) continue;
            if (name->size() > kHostNameChars) name->resize(kHostNameChars);
            Hold hold(c_.engine.lock);
            ClientRecord* record = c_.engine.clients.resolve(lookup.handle, ClientList::Static);
            if (record == nullptr || record->address != lookup.address || !record->hostName.empty()) continue;
            record->hostName = std::move(*name);
            changed = true;
        }
    }
    if (changed) c_.statusChanged.fetch_or(1);
}

// Called under threadsLock_: passes that have ended are joined, so the list stays short.
void StaticNames::reapFinished() {
    for (auto it = passes_.begin(); it != passes_.end();) {
        if (it->done->load()) {
            if (it->thread.joinable()) it->thread.join();
            it = passes_.erase(it);
        } else {
            ++it;
        }
    }
}

void StaticNames::wait() {
    std::vector<Pass> passes;
    {
        std::lock_guard<std::mutex> guard(threadsLock_);
        passes.swap(passes_);
    }
    for (Pass& pass : passes) {
        if (pass.thread.joinable()) pass.thread.join();
    }
}

void StaticNames::stop() {
    stopping_ = true;
    wait();
}

}  // namespace tolmark::dhcp
