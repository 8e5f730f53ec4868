#pragma once
// The dynamic records of one address pool by their offset from the pool's base, with the
// smallest expiry over any run of offsets. Answers what allocation asks of a pool (the first
// free offset, the record at an offset, the first expired record, the one that expired
// earliest) in O(1) or O(log n) instead of a walk of the dynamic list.
//
// Records are named by their table links (index + 1; 0 is none); their expiries are read
// through the reader the index is given. The smallest expiries are kept per block of 16
// offsets, in a tree over the blocks: 4 bytes per offset for the links and about 1 for the
// tree, and a query looks at the records of one or two blocks.

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tolmark {

class PoolIndex {
public:
    // The expiry of the record with the link (never 0).
    using ExpiryReader = std::int64_t (*)(const void* context, std::uint32_t link);

    // name in lower case; base in host order.
    PoolIndex(std::string name, std::uint32_t base, std::uint32_t range, ExpiryReader reader, const void* context);

    const std::string& name() const { return name_; }
    std::uint32_t base() const { return base_; }
    std::uint32_t range() const { return range_; }

    // Offsets below the range. False when the offset already holds a record.
    bool place(std::uint32_t offset, std::uint32_t link, std::int64_t expiry);
    // Called while the record still reads the expiry it had in the index.
    void remove(std::uint32_t offset);
    // Called once the record reads its new expiry; previous is the one it had.
    void setExpiry(std::uint32_t offset, std::int64_t previous, std::int64_t expiry);
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
    static constexpr std::uint32_t kBlock = 16;

    // The expiry as the tree compares it: the empty mark stays apart from every expiry.
    std::int64_t keyAt(std::uint32_t offset) const;
    std::size_t blocks() const { return links_.size() / kBlock; }
    void grow(std::uint32_t offset);
    // Sets the block's smallest expiry, or works it out again from its records (kEmpty when it
    // has none), and carries it up the tree.
    void update(std::size_t block, std::int64_t value);
    void recount(std::size_t block);
    // Within one block: the first offset from..to (inclusive) whose key is below limit, or the
    // first (last) whose key equals value.
    std::optional<std::uint32_t> scanBelow(std::uint32_t from, std::uint32_t to, std::int64_t limit) const;
    std::optional<std::uint32_t> scanEqual(std::uint32_t from, std::uint32_t to, std::int64_t value, bool last) const;
    std::int64_t scanMinimum(std::uint32_t from, std::uint32_t to) const;
    std::int64_t minimum(std::size_t node, std::size_t lo, std::size_t hi, std::size_t l, std::size_t r) const;
    std::optional<std::size_t> leftmostBelow(std::size_t node, std::size_t lo, std::size_t hi, std::size_t from,
                                             std::int64_t limit) const;
    std::optional<std::size_t> search(std::size_t node, std::size_t lo, std::size_t hi, std::size_t upTo,
                                      std::int64_t value, bool last) const;

    std::string name_;
    std::uint32_t base_;
    std::uint32_t range_;
    ExpiryReader reader_;
    const void* context_;
    std::uint32_t occupied_ = 0;
    std::uint32_t firstFree_ = 0;        // no offset below it is free
    std::vector<std::uint32_t> links_;   // per offset, sized to a power of two
    std::vector<std::int64_t> minimum_;  // segment tree over the blocks: leaves at blocks() + block
};

}  // namespace tolmark
