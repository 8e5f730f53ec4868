#pragma once
// The dynamic records of one address pool by their offset from the pool's base, with the
// smallest expiry over any run of offsets. Answers what allocation asks of a pool (the first
// free offset, the record at an offset, the first expired record, the one that expired
// earliest) in O(1) or O(log n) instead of a walk of the dynamic list.
//
// Records are named by their table links (index + 1; 0 is none). The index knows nothing of
// records beyond link, offset and expiry.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tolmark {

class PoolIndex {
public:
    // name in lower case; base in host order.
    PoolIndex(std::string name, std::uint32_t base, std::uint32_t range);

    const std::string& name() const { return name_; }
    std::uint32_t base() const { return base_; }
    std::uint32_t range() const { return range_; }

    // Offsets below the range. False when the offset already holds a record.
    bool place(std::uint32_t offset, std::uint32_t link, std::int64_t expiry);
    void remove(std::uint32_t offset);
    void setExpiry(std::uint32_t offset, std::int64_t expiry);
    std::uint32_t at(std::uint32_t offset) const { return offset < links_.size() ? links_[offset] : 0; }

    // The lowest free offset, or the range when every offset holds a record.
    std::uint32_t firstFree();
    std::uint32_t occupied() const { return occupied_; }
    // The lowest offset at or above from that holds a record.
    std::optional<std::uint32_t> firstOccupiedFrom(std::uint32_t from) const;
    // The lowest offset at or above from whose record's expiry is below limit.
    std::optional<std::uint32_t> firstExpiredFrom(std::uint32_t from, std::int64_t limit) const;
    // Among offsets up to and including upTo, the record with the smallest expiry below limit;
    // of equal expiries the lowest offset, or the highest when lastOfTies.
    std::optional<std::uint32_t> earliest(std::uint32_t upTo, std::int64_t limit, bool lastOfTies) const;

    // Records at or above the range (left by a smaller pool), lowest offset first.
    std::map<std::uint32_t, std::uint32_t> beyond;
    // Records that share an offset with another record of the pool; while there are any, the
    // index cannot say which of them a list walk meets first.
    std::uint32_t shadowed = 0;
    // Set when a change left the index unable to follow the list; it is then rebuilt.
    bool stale = false;

private:
    static constexpr std::int64_t kEmpty = INT64_MAX;

    void grow(std::uint32_t offset);
    void update(std::uint32_t offset, std::int64_t value);
    std::int64_t minimum(std::size_t node, std::size_t lo, std::size_t hi, std::size_t l, std::size_t r) const;
    std::optional<std::uint32_t> leftmostBelow(std::size_t node, std::size_t lo, std::size_t hi, std::size_t from,
                                               std::int64_t limit) const;
    std::optional<std::uint32_t> search(std::size_t node, std::size_t lo, std::size_t hi, std::size_t upTo,
                                        std::int64_t value, bool last) const;

    std::string name_;
    std::uint32_t base_;
    std::uint32_t range_;
    std::uint32_t occupied_ = 0;
    std::uint32_t firstFree_ = 0;        // no offset below it is free
    std::vector<std::uint32_t> links_;   // per offset, sized to a power of two
    std::vector<std::int64_t> minimum_;  // segment tree over links_: leaves at size + offset
};

}  // namespace tolmark
