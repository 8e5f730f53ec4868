#pragma once
// The pool indexes of the dynamic list, one per address pool asked about: each pool's records
// by offset from its base (see PoolIndex). An index is made from the dynamic list the first
// time its pool is asked about, and made again when the pool changed (another base or range)
// or a change left it unable to follow the list; from then on every dynamic record that joins,
// leaves or changes its expiry keeps it in step.

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "server/leases/list_links.h"
#include "server/leases/pool_index.h"

namespace tolmark {

// An address pool as the dynamic list knows it: the records carrying the pool's profile name at
// or above its base, by offset from the base.
struct PoolRef {
    std::string_view name;
    Ipv4 base = 0;  // network order
    std::uint32_t range = 0;
};

class PoolIndexes {
public:
    PoolIndexes(RecordStore& store, ListLinks& lists) : store_(store), lists_(lists) {}

    // A dynamic record joined the list (or came back after a change of address or profile).
    void add(ClientRecord& record);
    // A dynamic record is leaving (or about to change its address or profile).
    void remove(ClientRecord& record);
    // The record's expiry was changed from previous.
    void expiryChanged(ClientRecord& record, std::int64_t previous);

    // The index of the pool, made from the dynamic list when there is none yet or the pool
    // changed since.
    PoolIndex& of(const PoolRef& pool);
    ClientRecord* at(PoolIndex& pool, std::uint32_t offset) { return store_.at(pool.at(offset)); }
    ClientRecord* record(std::uint32_t link) { return store_.at(link); }

private:
    PoolIndex* poolFor(const ClientRecord& record);
    PoolIndex* holding(const ClientRecord& record) {
        return record.pool_ == 0 ? nullptr : pools_[record.pool_ - 1].get();
    }
    std::uint32_t numberOf(const PoolIndex& pool) const;
    void place(PoolIndex& pool, ClientRecord& record, bool building);
    static std::uint32_t offsetOf(const PoolIndex& pool, const ClientRecord& record) {
        return ipv4ToHostOrder(record.address) - pool.base();
    }

    RecordStore& store_;
    ListLinks& lists_;
    // By number - 1; a pool's number stays while its index lives (a place left empty is taken
    // by the next index made).
    std::vector<std::unique_ptr<PoolIndex>> pools_;
    PoolIndex* last_ = nullptr;  // the pool asked for last, and its number
    std::uint32_t lastNumber_ = 0;
    // The pool of the profile name met last, by the name's shared storage (nullptr: none).
    const char* lastName_ = nullptr;
    PoolIndex* lastNamed_ = nullptr;
};

}  // namespace tolmark
