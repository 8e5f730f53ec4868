#pragma once
// A hash map from a key to one 32-bit link (never 0), in two flat arrays with linear probing:
// no node per entry, which is what keeps the client table's indexes small at a million
// records. Grows by doubling at three quarters full; removal shifts the following entries
// back, so there are no tombstones.

#include <cstdint>
#include <vector>

namespace tolmark {

template <class Key>
class FlatHeads {
public:
    // The link stored for key, or nullptr.
    std::uint32_t* find(Key key) {
        if (links_.empty()) return nullptr;
        for (std::size_t i = home(key);; i = (i + 1) & mask()) {
            if (links_[i] == 0) return nullptr;
            if (keys_[i] == key) return &links_[i];
        }
    }
    // The link stored for key, made 0 when the key is new. A link of 0 marks an empty slot: the
    // caller stores a link other than 0 before any other change of the map, and never stores 0
    // (it erases the key instead).
    std::uint32_t& slot(Key key) {
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
    std::size_t size() const { return size_; }

private:
    std::size_t mask() const { return links_.size() - 1; }
    std::size_t home(Key key) const {
        return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_);
    }
    std::uint32_t& place(Key key) {
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
    std::vector<std::uint32_t> links_;  // 0: an empty slot
    std::size_t size_ = 0;
    int shift_ = 64;
};

}  // namespace tolmark
