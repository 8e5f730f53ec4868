#pragma once
// The pool indexes of the dynamic list, one per address pool asked about: each pool's records
// by offset from its base (see PoolIndex). An index is made from the dynamic list the first
// time its pool is asked about, and made again when the pool changed (another base or range)
// or a change left it unable to follow the list; from then on every dynamic record that joins,
// leaves or changes its expiry keeps it in step.

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
    // The record's expiry was changed.
    void expiryChanged(ClientRecord& record);

    // The index of the pool, made from the dynamic list when there is none yet or the pool
    // changed since.
    PoolIndex& of(const PoolRef& pool);
    ClientRecord* at(PoolIndex& pool, std::uint32_t offset) { return store_.at(pool.at(offset)); }
    ClientRecord* record(std::uint32_t link) { return store_.at(link); }

private:
    PoolIndex* poolFor(const ClientRecord& record);
    void place(PoolIndex& pool, ClientRecord& record, bool building);

    RecordStore& store_;
    ListLinks& lists_;
    std::vector<std::unique_ptr<PoolIndex>> pools_;
    PoolIndex* last_ = nullptr;  // the pool asked for last
    // The pool of the profile name met last, by the name's shared storage (nullptr: none).
    const char* lastName_ = nullptr;
    PoolIndex* lastNamed_ = nullptr;
};

}  // namespace tolmark
