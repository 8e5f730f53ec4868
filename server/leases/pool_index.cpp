#include "server/leases/pool_index.h"

#include <algorithm>

namespace tolmark {

PoolIndex::PoolIndex(std::string name, std::uint32_t base, std::uint32_t range)
    : name_(std::move(name)), base_(base), range_(range) {}

void PoolIndex::grow(std::uint32_t offset) {
    if (offset < links_.size()) return;
    std::size_t size = std::max<std::size_t>(links_.size(), 64);
    while (size <= offset) size *= 2;
    std::vector<std::uint32_t> links(size, 0);
    std::copy(links_.begin(), links_.end(), links.begin());
    std::vector<std::int64_t> tree(2 * size, kEmpty);
    const std::size_t old = links_.size();
    for (std::size_t i = 0; i < old; ++i) tree[size + i] = minimum_[old + i];
    for (std::size_t node = size - 1; node > 0; --node) tree[node] = std::min(tree[2 * node], tree[2 * node + 1]);
    links_ = std::move(links);
    minimum_ = std::move(tree);
}

void PoolIndex::update(std::uint32_t offset, std::int64_t value) {
    std::size_t node = links_.size() + offset;
    minimum_[node] = value;
    for (node /= 2; node > 0; node /= 2) minimum_[node] = std::min(minimum_[2 * node], minimum_[2 * node + 1]);
}

bool PoolIndex::place(std::uint32_t offset, std::uint32_t link, std::int64_t expiry) {
    grow(offset);
    if (links_[offset] != 0) return false;
    links_[offset] = link;
    // The empty mark stays apart from every expiry a record can hold.
    update(offset, std::min(expiry, kEmpty - 1));
    ++occupied_;
    return true;
}

void PoolIndex::remove(std::uint32_t offset) {
    if (offset >= links_.size() || links_[offset] == 0) return;
    links_[offset] = 0;
    update(offset, kEmpty);
    --occupied_;
    firstFree_ = std::min(firstFree_, offset);
}

void PoolIndex::setExpiry(std::uint32_t offset, std::int64_t expiry) {
    if (offset < links_.size() && links_[offset] != 0) update(offset, std::min(expiry, kEmpty - 1));
}

std::uint32_t PoolIndex::firstFree() {
    // Offsets fill from the bottom, so the mark moves up by one or two per allocation.
    while (firstFree_ < range_ && at(firstFree_) != 0) ++firstFree_;
    return std::min(firstFree_, range_);
}

std::optional<std::uint32_t> PoolIndex::firstOccupiedFrom(std::uint32_t from) const {
    return firstExpiredFrom(from, kEmpty);
}

std::optional<std::uint32_t> PoolIndex::firstExpiredFrom(std::uint32_t from, std::int64_t limit) const {
    if (links_.empty() || from >= links_.size()) return std::nullopt;
    return leftmostBelow(1, 0, links_.size() - 1, from, limit);
}

std::optional<std::uint32_t> PoolIndex::earliest(std::uint32_t upTo, std::int64_t limit, bool lastOfTies) const {
    if (links_.empty()) return std::nullopt;
    const std::size_t last = std::min<std::size_t>(upTo, links_.size() - 1);
    const std::int64_t smallest = minimum(1, 0, links_.size() - 1, 0, last);
    if (smallest >= limit) return std::nullopt;
    return search(1, 0, links_.size() - 1, last, smallest, lastOfTies);
}

std::int64_t PoolIndex::minimum(std::size_t node, std::size_t lo, std::size_t hi, std::size_t l, std::size_t r) const {
    if (r < lo || hi < l) return kEmpty;
    if (l <= lo && hi <= r) return minimum_[node];
    const std::size_t mid = lo + (hi - lo) / 2;
    return std::min(minimum(2 * node, lo, mid, l, r), minimum(2 * node + 1, mid + 1, hi, l, r));
}

std::optional<std::uint32_t> PoolIndex::leftmostBelow(std::size_t node, std::size_t lo, std::size_t hi,
                                                      std::size_t from, std::int64_t limit) const {
    if (hi < from || minimum_[node] >= limit) return std::nullopt;
    if (lo == hi) return static_cast<std::uint32_t>(lo);
    const std::size_t mid = lo + (hi - lo) / 2;
    if (auto left = leftmostBelow(2 * node, lo, mid, from, limit)) return left;
    return leftmostBelow(2 * node + 1, mid + 1, hi, from, limit);
}

std::optional<std::uint32_t> PoolIndex::search(std::size_t node, std::size_t lo, std::size_t hi, std::size_t upTo,
                                               std::int64_t value, bool last) const {
    if (lo > upTo || minimum_[node] > value) return std::nullopt;
    if (lo == hi) return static_cast<std::uint32_t>(lo);
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::size_t first = last ? 2 * node + 1 : 2 * node;
    const std::size_t second = last ? 2 * node : 2 * node + 1;
    const std::size_t firstLo = last ? mid + 1 : lo, firstHi = last ? hi : mid;
    const std::size_t secondLo = last ? lo : mid + 1, secondHi = last ? mid : hi;
    if (auto found = search(first, firstLo, firstHi, upTo, value, last)) return found;
    return search(second, secondLo, secondHi, upTo, value, last);
}

}  // namespace tolmark
