#include "server/dhcp/dns_update_queue.h"

#include <algorithm>
#include <utility>

namespace tolmark::dhcp {
namespace {

// A DNS server is one host: 0.0.0.0 names none (and would reach this host), and a multicast or
// broadcast address (224.0.0.0 and up) would hand every name and removal to whoever listens.
bool oneHost(Ipv4 server) { return server != 0 && ipv4Octet(server, 0) < 224; }

}  // namespace

void DnsUpdateQueue::push(DnsUpdate update) {
    if (!oneHost(update.dnsServer)) return;
    std::lock_guard<std::mutex> guard(lock_);
    if (updates_.size() >= kCapacity) {
        const auto removal =
            std::find_if(updates_.begin(), updates_.end(), [](const DnsUpdate& u) { return u.removal; });
        if (removal != updates_.end()) {
            updates_.erase(removal);
            ++dropped_.removals;
        } else if (update.removal) {
            ++dropped_.removals;
            return;
        } else {
            updates_.pop_front();
            ++dropped_.updates;
        }
    }
    updates_.push_back(std::move(update));
    if (wakeUp_) wakeUp_();
}

std::vector<DnsUpdate> DnsUpdateQueue::takeAll() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<DnsUpdate> all(std::make_move_iterator(updates_.begin()), std::make_move_iterator(updates_.end()));
    updates_.clear();
    return all;
}

DnsDropped DnsUpdateQueue::takeDropped() {
    std::lock_guard<std::mutex> guard(lock_);
    return std::exchange(dropped_, DnsDropped{});
}

std::size_t DnsUpdateQueue::dropRemovals() {
    std::lock_guard<std::mutex> guard(lock_);
    const auto kept = std::remove_if(updates_.begin(), updates_.end(), [](const DnsUpdate& u) { return u.removal; });
    const auto dropped = static_cast<std::size_t>(updates_.end() - kept);
    updates_.erase(kept, updates_.end());
    return dropped;
}

std::size_t DnsUpdateQueue::size() const {
    std::lock_guard<std::mutex> guard(lock_);
    return updates_.size();
}

}  // namespace tolmark::dhcp
