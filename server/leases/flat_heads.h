#pragma once
// A hash map from a key to one link (never 0; 32 bits unless asked otherwise), in two flat
// arrays with linear probing: no node per entry, which is what keeps the client table's indexes
// small at a million records. Grows by doubling at three quarters full; removal shifts the following entries
// back, so there are no tombstones.

#include <cstdint>
#include <vector>

namespace tolmark {

template <class Key, class Link = std::uint32_t>
class FlatHeads {
public:
    // The link stored for key, or nullptr.
    Link* find(Key key) {
        const std::size_t i = at(key);
        return i == kAbsent ? nullptr : &links_[i];
    }
    const Link* find(Key key) const {
        const std::size_t i = at(key);
        return i == kAbsent ? nullptr : &links_[i];
    }
    // The link stored for key, made 0 when the key is new. A link of 0 marks an empty slot: the
    // caller stores a link other than 0 before any other change of the map, and never stores 0
    // (it erases the key instead).
    Link& slot(Key key) {
        if ((size_ + 1) * 4 > links_.size() * 3) grow();
        return place(key);
    }
    void erase(Key key) {
        if (links_.empty()) return;
        std::size_t i = home(key);
        for (; links_[i] != 0; i = (i + 1) & mask()) {
            if (keys_[i] == key) break;
        }
        if (links_[i] == 0) return;
        // Pull back every later entry of the run that may sit at or before the hole.
        for (std::size_t j = (i + 1) & mask(); links_[j] != 0; j = (j + 1) & mask()) {
            const std::size_t want = home(keys_[j]);
            const bool movable = i <= j ? (want <= i || want > j) : (want <= i && want > j);
            if (!movable) continue;
            keys_[i] = keys_[j];
            links_[i] = links_[j];
            i = j;
        }
        links_[i] = 0;
        --size_;
    }
    // Drops every entry whose key and link satisfy drop, at the cost of one rebuild.
    template <class Drop>
    void eraseIf(Drop drop) {
        FlatHeads kept;
        kept.keys_.assign(links_.size(), Key{});
        kept.links_.assign(links_.size(), 0);
        kept.shift_ = shift_;
        for (std::size_t i = 0; i < links_.size(); ++i) {
            if (links_[i] != 0 && !drop(keys_[i], links_[i])) kept.place(keys_[i]) = links_[i];
        }
        *this = std::move(kept);
    }
    std::size_t size() const { return size_; }

private:
    static constexpr std::size_t kAbsent = ~std::size_t{0};
    std::size_t at(Key key) const {
        if (links_.empty()) return kAbsent;
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            if (links_[i] == 0) return kAbsent;
            if (keys_[i] == key) return i;
        }
    }
    std::size_t mask() const { return links_.size() - 1; }
    std::size_t home(Key key) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    Link& place(Key key) {
        std::size_t i = home(key);
        for (; links_[i] != 0; i = (i + 1) & mask()) {
            if (keys_[i] == key) return links_[i];
        }
        keys_[i] = key;
        ++size_;
        return links_[i];
    }
    // The bigger arrays are complete before they replace these: a failed allocation leaves
    // the map as it was.
    void grow() {
        FlatHeads bigger;
        const std::size_t capacity = links_.empty() ? 16 : links_.size() * 2;
        bigger.keys_.assign(capacity, Key{});
        bigger.links_.assign(capacity, 0);
        for (std::size_t c = capacity; c > 1; c >>= 1) --bigger.shift_;
        for (std::size_t i = 0; i < links_.size(); ++i) {
            if (links_[i] != 0) bigger.place(keys_[i]) = links_[i];
        }
        *this = std::move(bigger);
    }

    std::vector<Key> keys_;
    std::vector<Link> links_;  // 0: an empty slot
    std::size_t size_ = 0;
    int shift_ = 64;
};

}  // namespace tolmark
