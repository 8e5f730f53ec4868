#include "server/leases/pool_index.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <utility>

#include "server/leases/client_table.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

// The pool index against a plain map of offsets, through a bounded random run of placements,
// removals and expiry changes: every query must give the map's answer.
TEST(PoolIndex, AnswersAsAPlainWalkOfItsOffsets) {
    constexpr std::uint32_t kRange = 300;
    std::map<std::uint32_t, std::int64_t> expiries;  // offset -> expiry; records link offset + 1
    const PoolIndex::ExpiryReader reader = [](const void* map, std::uint32_t link) {
        return static_cast<const std::map<std::uint32_t, std::int64_t>*>(map)->at(link - 1);
    };
    PoolIndex pool("lab", 1000, kRange, reader, &expiries);
    std::mt19937 random(7);
    for (int step = 0; step < 5000; ++step) {
        const std::uint32_t offset = random() % kRange;
        const std::int64_t expiry = static_cast<std::int64_t>(random() % 50);
        switch (random() % 3) {
            case 0:
                EXPECT_EQ(pool.place(offset, offset + 1, expiry), expiries.count(offset) == 0);
                expiries.emplace(offset, expiry);
                break;
            case 1:
                pool.remove(offset);
                expiries.erase(offset);
                break;
            default:
                if (expiries.count(offset) != 0) {
                    const std::int64_t previous = std::exchange(expiries[offset], expiry);
                    pool.setExpiry(offset, previous, expiry);
                }
                break;
        }
        const std::uint32_t from = random() % kRange;
        const std::int64_t now = static_cast<std::int64_t>(random() % 50);
        std::uint32_t free = 0;
        while (free < kRange && expiries.count(free) != 0) ++free;
        std::optional<std::uint32_t> occupied, expired, earliest, latestOfTies;
        for (const auto& [o, e] : expiries) {
            if (o >= from && !occupied) occupied = o;
            if (o >= from && e < now && !expired) expired = o;
            if (o <= from && e < now) {
                if (!earliest || e < expiries[*earliest]) earliest = o;
                if (!latestOfTies || e <= expiries[*latestOfTies]) latestOfTies = o;
            }
        }
        ASSERT_EQ(pool.firstFree(), free) << "step " << step;
        ASSERT_EQ(pool.occupied(), expiries.size());
        ASSERT_EQ(pool.firstOccupiedFrom(from), occupied);
        ASSERT_EQ(pool.firstExpiredFrom(from, now), expired);
        ASSERT_EQ(pool.earliest(from, now, false), earliest);
        ASSERT_EQ(pool.earliest(from, now, true), latestOfTies);
    }
}

// Insertions at one place over and over run out of room between two order labels: the run
// after it is spread out again, and lookups still find the first record in list order.
TEST(ClientTableOrder, InsertionsAtOnePlaceKeepTheListOrderAndLookups) {
    testing::CapturingLog log;
    ClientTable table{log};
    std::vector<ClientRecord*> order;
    auto add = [&](ClientRecord* after, std::uint8_t tag) {
        ClientRecord* r = table.take();
        Identity id;
        id.length = 1;
        id.bytes[0] = tag;
        table.setIdentity(*r, id);
        table.setAddress(*r, makeIpv4(10, 0, 0, tag));
        table.insertDynamicAfter(after, *r);
        return r;
    };
    ClientRecord* head = add(nullptr, 1);
    ClientRecord* tail = add(head, 2);
    // 200 records, each put right after the head: every label gap between the head and the
    // record after it halves, so the run after the head is spread out again many times.
    for (int i = 0; i < 200; ++i) add(head, static_cast<std::uint8_t>(i % 3 == 0 ? 7 : 3 + i % 2));
    for (ClientRecord* r = table.first(ClientList::Dynamic); r != nullptr; r = table.next(*r)) order.push_back(r);
    ASSERT_EQ(order.size(), 202u);
    EXPECT_EQ(order.front(), head);
    EXPECT_EQ(order.back(), tail);
    for (std::size_t i = 0; i + 1 < order.size(); ++i) EXPECT_TRUE(table.precedes(*order[i], *order[i + 1])) << i;
    // Every record of identity 7, in list order, through the identity chain.
    Identity seven;
    seven.length = 1;
    seven.bytes[0] = 7;
    std::vector<ClientRecord*> expected, found;
    for (ClientRecord* r : order) {
        if (r->identity == seven) expected.push_back(r);
    }
    for (ClientRecord* r = table.findIdentity(ClientList::Dynamic, seven, nullptr); r != nullptr;
         r = table.findIdentity(ClientList::Dynamic, seven, r))
        found.push_back(r);
    EXPECT_EQ(found, expected);
}

}  // namespace
}  // namespace tolmark
