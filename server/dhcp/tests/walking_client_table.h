#pragma once
// The reference for the client table's lookups: every answer found by walking the list from
// its head, as plainly as it can be said. The indexed table must give the same answers.

#include "server/leases/client_table.h"

namespace tolmark::dhcp::testing {

class WalkingClientTable final : public ClientTable {
public:
    using ClientTable::ClientTable;

    ClientRecord* findIdentity(ClientList list, const Identity& identity, const ClientRecord* after) override {
        return findAfter(list, after, [&](const ClientRecord& r) { return identityEquals(r.identity, identity); });
    }
    ClientRecord* findAddress(ClientList list, Ipv4 address, const ClientRecord* after) override {
        return findAfter(list, after, [&](const ClientRecord& r) { return r.address == address; });
    }
    ClientRecord* firstSeenVia(Ipv4 seenVia) override {
        return findAfter(ClientList::Dynamic, nullptr, [&](const ClientRecord& r) { return r.seenVia == seenVia; });
    }
    ClientRecord* nextSeenVia(const ClientRecord& record) override {
        const Ipv4 seenVia = record.seenVia;
        return findAfter(ClientList::Dynamic, &record, [&](const ClientRecord& r) { return r.seenVia == seenVia; });
    }
    bool precedes(const ClientRecord& a, const ClientRecord& b) const override {
        for (const ClientRecord* r = next(a); r != nullptr; r = next(*r)) {
            if (r == &b) return true;
        }
        return false;
    }

    ClientRecord* poolRecordAt(const PoolRef& pool, std::uint32_t offset) override {
        return findAfter(ClientList::Dynamic, nullptr,
                         [&](const ClientRecord& r) { return offsetIn(pool, r) == offset; });
    }
    std::uint32_t poolFirstFree(const PoolRef& pool) override {
        std::uint32_t offset = 0;
        while (offset < pool.range && poolRecordAt(pool, offset) != nullptr) ++offset;
        return offset;
    }
    std::uint32_t poolOccupied(const PoolRef& pool) override {
        std::uint32_t count = 0;
        for (std::uint32_t offset = 0; offset < pool.range; ++offset) count += poolRecordAt(pool, offset) != nullptr;
        return count;
    }
    ClientRecord* poolFirstAtOrAbove(const PoolRef& pool, std::uint32_t offset) override {
        return lowest(pool, [&](const ClientRecord& r) { return *offsetIn(pool, r) >= offset; });
    }
    ClientRecord* poolFirstExpired(const PoolRef& pool, std::uint32_t from, std::int64_t now) override {
        return lowest(pool, [&](const ClientRecord& r) {
            const std::uint32_t offset = *offsetIn(pool, r);
            return offset >= from && offset < pool.range && r.expiry < now;
        });
    }
    ClientRecord* poolEarliest(const PoolRef& pool, std::uint32_t upTo, std::int64_t now, bool lastOfTies) override {
        ClientRecord* best = nullptr;
        for (std::uint32_t offset = 0; offset <= upTo && offset < pool.range; ++offset) {
            ClientRecord* r = poolRecordAt(pool, offset);
            if (r == nullptr || r->expiry >= now) continue;
            if (best == nullptr || r->expiry < best->expiry || (lastOfTies && r->expiry == best->expiry)) best = r;
        }
        return best;
    }

private:
    template <typename Match>
    ClientRecord* findAfter(ClientList list, const ClientRecord* after, Match&& match) {
        for (ClientRecord* r = after == nullptr ? first(list) : next(*after); r != nullptr; r = next(*r)) {
            if (match(*r)) return r;
        }
        return nullptr;
    }
    // The pool's record of lowest offset that matches.
    template <typename Match>
    ClientRecord* lowest(const PoolRef& pool, Match&& match) {
        ClientRecord* best = nullptr;
        for (ClientRecord* r = first(ClientList::Dynamic); r != nullptr; r = next(*r)) {
            if (!offsetIn(pool, *r) || !match(*r)) continue;
            if (best == nullptr || *offsetIn(pool, *r) < *offsetIn(pool, *best)) best = r;
        }
        return best;
    }
};

}  // namespace tolmark::dhcp::testing
