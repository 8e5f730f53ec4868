#include "server/leases/pool_indexes.h"

namespace tolmark {

namespace {

std::int64_t expiryOf(const void* store, std::uint32_t link) {
    return static_cast<const RecordStore*>(store)->at(link)->expiry;
}

}  // namespace

PoolIndex* PoolIndexes::poolFor(const ClientRecord& record) {
    // Records of one profile share the name's storage: the pool found for the last name is the
    // answer for all of them (an empty name has none, and no pool).
    const std::string_view name = record.profile->view();
    if (name.data() == nullptr || name.data() != lastName_) {
        lastNamed_ = nullptr;
        for (const auto& pool : pools_) {
            if (pool != nullptr && profileNameEquals(pool->name(), name)) {
                lastNamed_ = pool.get();
                break;
            }
        }
        lastName_ = name.data();
    }
    return lastNamed_ != nullptr && ipv4ToHostOrder(record.address) >= lastNamed_->base() ? lastNamed_ : nullptr;
}

std::uint32_t PoolIndexes::numberOf(const PoolIndex& pool) const {
    for (std::size_t i = 0; i < pools_.size(); ++i) {
        if (pools_[i].get() == &pool) return static_cast<std::uint32_t>(i + 1);
    }
    return 0;
}

void PoolIndexes::add(ClientRecord& record) {
    if (PoolIndex* pool = poolFor(record)) place(*pool, record, false);
}

void PoolIndexes::place(PoolIndex& pool, ClientRecord& record, bool building) {
    const std::uint32_t offset = offsetOf(pool, record);
    const std::uint32_t link = RecordStore::linkOf(record);
    record.pool_ = &pool == last_ ? lastNumber_ : numberOf(pool);
    record.poolPlaced_ =
        offset < pool.range() ? pool.place(offset, link, record.expiry) : pool.beyond.emplace(offset, link).second;
    if (record.poolPlaced_) return;
    // Two records at one offset: built from the list, the index holds the first in list order;
    // a record added later may come before it, so the pool is rebuilt when next asked for.
    ++pool.shadowed;
    if (!building) pool.stale = true;
}

void PoolIndexes::remove(ClientRecord& record) {
    PoolIndex* pool = holding(record);
    if (pool == nullptr) return;
    record.pool_ = 0;
    if (pool->shadowed != 0) {
        // A record this one shadowed, or that shadowed it, would take its place: rebuild.
        pool->stale = true;
        return;
    }
    if (!record.poolPlaced_) return;
    const std::uint32_t offset = offsetOf(*pool, record);
    if (offset < pool->range())
        pool->remove(offset);
    else
        pool->beyond.erase(offset);
}

void PoolIndexes::expiryChanged(ClientRecord& record, std::int64_t previous) {
    PoolIndex* pool = holding(record);
    if (pool == nullptr || !record.poolPlaced_) return;
    const std::uint32_t offset = offsetOf(*pool, record);
    if (offset < pool->range()) pool->setExpiry(offset, previous, record.expiry);
}

PoolIndex& PoolIndexes::of(const PoolRef& ref) {
    const std::uint32_t base = ipv4ToHostOrder(ref.base);
    // An allocation asks about the same pool several times: the last one answers first.
    if (last_ != nullptr && last_->name() == ref.name && last_->base() == base && last_->range() == ref.range &&
        !last_->stale)
        return *last_;
    std::size_t spot = pools_.size();
    for (std::size_t i = 0; i < pools_.size(); ++i) {
        PoolIndex* pool = pools_[i].get();
        if (pool == nullptr) {
            spot = std::min(spot, i);
            continue;
        }
        if (!profileNameEquals(pool->name(), ref.name)) continue;
        if (pool->base() == base && pool->range() == ref.range && !pool->stale) {
            last_ = pool;
            lastNumber_ = static_cast<std::uint32_t>(i + 1);
            return *pool;
        }
        // The pool changed, or its index cannot follow the list any more: made anew.
        for (ClientRecord* r = lists_.first(ClientList::Dynamic); r != nullptr; r = lists_.next(*r)) {
            if (r->pool_ == i + 1) r->pool_ = 0;
        }
        pools_[i].reset();
        spot = std::min(spot, i);
        break;
    }
    auto made = std::make_unique<PoolIndex>(std::string(ref.name), base, ref.range, &expiryOf, &store_);
    if (spot == pools_.size()) pools_.emplace_back();
    pools_[spot] = std::move(made);
    PoolIndex& pool = *pools_[spot];
    last_ = &pool;
    lastNumber_ = static_cast<std::uint32_t>(spot + 1);
    lastName_ = nullptr;
    for (ClientRecord* r = lists_.first(ClientList::Dynamic); r != nullptr; r = lists_.next(*r)) {
        if (profileNameEquals(r->profile, ref.name) && ipv4ToHostOrder(r->address) >= base) place(pool, *r, true);
    }
    return pool;
}

}  // namespace tolmark
