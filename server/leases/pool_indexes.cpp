#include "server/leases/pool_indexes.h"

namespace tolmark {

PoolIndex* PoolIndexes::poolFor(const ClientRecord& record) {
    // Records of one profile share the name's storage: the pool found for the last name is the
    // answer for all of them (an empty name has none, and no pool).
    const std::string_view name = record.profile->view();
    if (name.data() == nullptr || name.data() != lastName_) {
        lastNamed_ = nullptr;
        for (const auto& pool : pools_) {
            if (profileNameEquals(pool->name(), name)) {
                lastNamed_ = pool.get();
                break;
            }
        }
        lastName_ = name.data();
    }
    return lastNamed_ != nullptr && ipv4ToHostOrder(record.address) >= lastNamed_->base() ? lastNamed_ : nullptr;
}

void PoolIndexes::add(ClientRecord& record) {
    if (PoolIndex* pool = poolFor(record)) place(*pool, record, false);
}

void PoolIndexes::place(PoolIndex& pool, ClientRecord& record, bool building) {
    const std::uint32_t offset = ipv4ToHostOrder(record.address) - pool.base();
    const std::uint32_t link = RecordStore::linkOf(record);
    record.pool_ = &pool;
    record.poolOffset_ = offset;
    record.poolPlaced_ =
        offset < pool.range() ? pool.place(offset, link, record.expiry) : pool.beyond.emplace(offset, link).second;
    if (record.poolPlaced_) return;
    // Two records at one offset: built from the list, the index holds the first in list order;
    // a record added later may come before it, so the pool is rebuilt when next asked for.
    ++pool.shadowed;
    if (!building) pool.stale = true;
}

void PoolIndexes::remove(ClientRecord& record) {
    PoolIndex* pool = record.pool_;
    if (pool == nullptr) return;
    record.pool_ = nullptr;
    if (pool->shadowed != 0) {
        // A record this one shadowed, or that shadowed it, would take its place: rebuild.
        pool->stale = true;
        return;
    }
    if (!record.poolPlaced_) return;
    if (record.poolOffset_ < pool->range())
        pool->remove(record.poolOffset_);
    else
        pool->beyond.erase(record.poolOffset_);
}

void PoolIndexes::expiryChanged(ClientRecord& record) {
    if (record.pool_ != nullptr && record.poolPlaced_ && record.poolOffset_ < record.pool_->range())
        record.pool_->setExpiry(record.poolOffset_, record.expiry);
}

PoolIndex& PoolIndexes::of(const PoolRef& ref) {
    const std::uint32_t base = ipv4ToHostOrder(ref.base);
    // An allocation asks about the same pool several times: the last one answers first.
    if (last_ != nullptr && last_->name() == ref.name && last_->base() == base && last_->range() == ref.range &&
        !last_->stale)
        return *last_;
    for (auto it = pools_.begin(); it != pools_.end(); ++it) {
        if (!profileNameEquals((*it)->name(), ref.name)) continue;
        if ((*it)->base() == base && (*it)->range() == ref.range && !(*it)->stale) {
            last_ = it->get();
            return **it;
        }
        for (ClientRecord* r = lists_.first(ClientList::Dynamic); r != nullptr; r = lists_.next(*r)) {
            if (r->pool_ == it->get()) r->pool_ = nullptr;
        }
        if (last_ == it->get()) last_ = nullptr;
        pools_.erase(it);
        lastName_ = nullptr;
        break;
    }
    auto pool = std::make_unique<PoolIndex>(std::string(ref.name), base, ref.range);
    for (ClientRecord* r = lists_.first(ClientList::Dynamic); r != nullptr; r = lists_.next(*r)) {
        if (profileNameEquals(r->profile, ref.name) && ipv4ToHostOrder(r->address) >= base) place(*pool, *r, true);
    }
    pools_.push_back(std::move(pool));
    last_ = pools_.back().get();
    lastName_ = nullptr;
    return *pools_.back();
}

}  // namespace tolmark
