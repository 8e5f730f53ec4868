#include "server/pipe/peer_limits.h"

namespace tolmark {

bool PeerCounter::take(PeerKey peer, std::size_t limit) {
    std::lock_guard<std::mutex> guard(lock_);
    std::size_t& held = held_[peer];
    if (held >= limit) return false;
    ++held;
    return true;
}

void PeerCounter::give(PeerKey peer, std::size_t count) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = held_.find(peer);
    if (it == held_.end()) return;
    it->second = it->second > count ? it->second - count : 0;
    if (it->second == 0) held_.erase(it);
}

std::size_t PeerCounter::held(PeerKey peer) const {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = held_.find(peer);
    return it == held_.end() ? 0 : it->second;
}

}  // namespace tolmark
