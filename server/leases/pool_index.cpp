#include "server/leases/pool_index.h"

#include <algorithm>

namespace tolmark {

PoolIndex::PoolIndex(std::string name, std::uint32_t base, std::uint32_t range, ExpiryReader reader,
                     const void* context)
    : name_(std::move(name)), base_(base), range_(range), reader_(reader), context_(context) {}

std::int64_t PoolIndex::keyAt(std::uint32_t offset) const {
    const std::uint32_t link = links_[offset];
    return link == 0 ? kEmpty : std::min(reader_(context_, link), kEmpty - 1);
}

void PoolIndex::grow(std::uint32_t offset) {
    if (offset < links_.size()) return;
    std::size_t size = std::max<std::size_t>(links_.size(), 64);
    while (size <= offset) size *= 2;
    std::vector<std::uint32_t> links(size, 0);
    std::copy(links_.begin(), links_.end(), links.begin());
    const std::size_t count = size / kBlock, old = blocks();
    std::vector<std::int64_t> tree(2 * count, kEmpty);
    for (std::size_t i = 0; i < old; ++i) tree[count + i] = minimum_[old + i];
    for (std::size_t node = count - 1; node > 0; --node) tree[node] = std::min(tree[2 * node], tree[2 * node + 1]);
    links_ = std::move(links);
    minimum_ = std::move(tree);
}

void PoolIndex::update(std::size_t block, std::int64_t value) {
    std::size_t node = blocks() + block;
    minimum_[node] = value;
    for (node /= 2; node > 0; node /= 2) {
        const std::int64_t smaller = std::min(minimum_[2 * node], minimum_[2 * node + 1]);
        if (minimum_[node] == smaller) break;
        minimum_[node] = smaller;
    }
}

void PoolIndex::recount(std::size_t block) {
    const auto first = static_cast<std::uint32_t>(block * kBlock);
    update(block, scanMinimum(first, first + kBlock - 1));
}

bool PoolIndex::place(std::uint32_t offset, std::uint32_t link, std::int64_t expiry) {
    grow(offset);
    if (links_[offset] != 0) return false;
    links_[offset] = link;
    const std::int64_t key = std::min(expiry, kEmpty - 1);
    if (key < minimum_[blocks() + offset / kBlock]) update(offset / kBlock, key);
    ++occupied_;
    return true;
}

void PoolIndex::remove(std::uint32_t offset) {
    if (offset >= links_.size() || links_[offset] == 0) return;
    const std::int64_t key = keyAt(offset);
    links_[offset] = 0;
    // Only the block's smallest expiry leaving can change the block's minimum.
    if (key == minimum_[blocks() + offset / kBlock]) recount(offset / kBlock);
    --occupied_;
    firstFree_ = std::min(firstFree_, offset);
}

void PoolIndex::setExpiry(std::uint32_t offset, std::int64_t previous, std::int64_t expiry) {
    if (offset >= links_.size() || links_[offset] == 0) return;
    const std::size_t block = offset / kBlock;
    const std::int64_t key = std::min(expiry, kEmpty - 1), was = std::min(previous, kEmpty - 1);
    const std::int64_t smallest = minimum_[blocks() + block];
    if (key < smallest)
        update(block, key);
    else if (was == smallest && key != was)
        recount(block);
}

std::uint32_t PoolIndex::firstFree() {
    // Offsets fill from the bottom, so the mark moves up by one or two per allocation.
    while (firstFree_ < range_ && at(firstFree_) != 0) ++firstFree_;
    return std::min(firstFree_, range_);
}

std::optional<std::uint32_t> PoolIndex::scanBelow(std::uint32_t from, std::uint32_t to, std::int64_t limit) const {
    for (std::uint32_t o = from; o <= to; ++o) {
        if (links_[o] != 0 && keyAt(o) < limit) return o;
    }
    return std::nullopt;
}

std::optional<std::uint32_t> PoolIndex::scanEqual(std::uint32_t from, std::uint32_t to, std::int64_t value,
                                                  bool last) const {
    for (std::uint32_t i = 0; i <= to - from; ++i) {
        const std::uint32_t o = last ? to - i : from + i;
        if (links_[o] != 0 && keyAt(o) == value) return o;
    }
    return std::nullopt;
}

std::int64_t PoolIndex::scanMinimum(std::uint32_t from, std::uint32_t to) const {
    std::int64_t smallest = kEmpty;
    for (std::uint32_t o = from; o <= to; ++o) {
        if (links_[o] != 0) smallest = std::min(smallest, keyAt(o));
    }
    return smallest;
}

std::optional<std::uint32_t> PoolIndex::firstOccupiedFrom(std::uint32_t from) const {
    return firstExpiredFrom(from, kEmpty);
}

std::optional<std::uint32_t> PoolIndex::firstExpiredFrom(std::uint32_t from, std::int64_t limit) const {
    if (links_.empty() || from >= links_.size()) return std::nullopt;
    // The rest of from's block by its records, the blocks after it by the tree.
    const std::size_t block = from / kBlock;
    if (minimum_[blocks() + block] < limit) {
        if (auto found = scanBelow(from, static_cast<std::uint32_t>((block + 1) * kBlock - 1), limit)) return found;
    }
    if (block + 1 >= blocks()) return std::nullopt;
    const auto next = leftmostBelow(1, 0, blocks() - 1, block + 1, limit);
    if (!next) return std::nullopt;
    const auto first = static_cast<std::uint32_t>(*next * kBlock);
    return scanBelow(first, first + kBlock - 1, limit);
}

std::optional<std::uint32_t> PoolIndex::earliest(std::uint32_t upTo, std::int64_t limit, bool lastOfTies) const {
    if (links_.empty()) return std::nullopt;
    const auto last = static_cast<std::uint32_t>(std::min<std::size_t>(upTo, links_.size() - 1));
    // Whole blocks below last's block by the tree; last's own block, up to last, by its records.
    const std::size_t partial = last / kBlock;
    const auto partialFirst = static_cast<std::uint32_t>(partial * kBlock);
    const std::int64_t whole = partial == 0 ? kEmpty : minimum(1, 0, blocks() - 1, 0, partial - 1);
    const std::int64_t rest = scanMinimum(partialFirst, last);
    const std::int64_t smallest = std::min(whole, rest);
    if (smallest >= limit) return std::nullopt;
    const bool inRest = rest == smallest, inWhole = whole == smallest;
    if (inRest && (lastOfTies || !inWhole)) return scanEqual(partialFirst, last, smallest, lastOfTies);
    const auto block = search(1, 0, blocks() - 1, partial - 1, smallest, lastOfTies);
    if (!block) return std::nullopt;
    const auto first = static_cast<std::uint32_t>(*block * kBlock);
    return scanEqual(first, first + kBlock - 1, smallest, lastOfTies);
}

std::int64_t PoolIndex::minimum(std::size_t node, std::size_t lo, std::size_t hi, std::size_t l, std::size_t r) const {
    if (r < lo || hi < l) return kEmpty;
    if (l <= lo && hi <= r) return minimum_[node];
    const std::size_t mid = lo + (hi - lo) / 2;
    return std::min(minimum(2 * node, lo, mid, l, r), minimum(2 * node + 1, mid + 1, hi, l, r));
}

std::optional<std::size_t> PoolIndex::leftmostBelow(std::size_t node, std::size_t lo, std::size_t hi, std::size_t from,
                                                    std::int64_t limit) const {
    if (hi < from || minimum_[node] >= limit) return std::nullopt;
    if (lo == hi) return lo;
    const std::size_t mid = lo + (hi - lo) / 2;
    if (auto left = leftmostBelow(2 * node, lo, mid, from, limit)) return left;
    return leftmostBelow(2 * node + 1, mid + 1, hi, from, limit);
}

std::optional<std::size_t> PoolIndex::search(std::size_t node, std::size_t lo, std::size_t hi, std::size_t upTo,
                                             std::int64_t value, bool last) const {
    if (lo > upTo || minimum_[node] > value) return std::nullopt;
    if (lo == hi) return lo;
    const std::size_t mid = lo + (hi - lo) / 2;
    const std::size_t first = last ? 2 * node + 1 : 2 * node;
    const std::size_t second = last ? 2 * node : 2 * node + 1;
    const std::size_t firstLo = last ? mid + 1 : lo, firstHi = last ? hi : mid;
    const std::size_t secondLo = last ? lo : mid + 1, secondHi = last ? mid : hi;
    if (auto found = search(first, firstLo, firstHi, upTo, value, last)) return found;
    return search(second, secondLo, secondHi, upTo, value, last);
}

}  // namespace tolmark
