#include "server/leases/client_table.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "server/leases/client_rules.h"
#include "server/leases/tests/allocation_failure.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

Ipv4 ip(std::uint8_t c, std::uint8_t d) { return makeIpv4(10, 0, c, d); }

Profile poolProfile(std::string name, Ipv4 base, std::int32_t range) {
    Profile p;
    p.name = std::move(name);
    p.baseIp = base;
    p.range = range;
    return p;
}

Identity mac(std::uint8_t last) {
    Identity id;
    id.length = 6;
    id.bytes = {0x00, 0x0c, 0x29, 0x00, 0x00, last};
    return id;
}

ClientFields staticClient(std::uint8_t macByte, Ipv4 address, std::string profile = "Standard") {
    ClientFields f;
    f.identity = mac(macByte);
    f.address = address;
    f.profile = std::move(profile);
    return f;
}

class ClientTableTest : public ::testing::Test {
protected:
    ClientTableTest() {
        profiles.assign(
            {poolProfile("Standard", ip(0, 100), 50), poolProfile("Lab", ip(1, 250), 20), poolProfile("NoPool", 0, 0)});
    }

    std::vector<Ipv4> addresses(ClientList list) const {
        std::vector<Ipv4> result;
        for (const ClientRecord* r = table.first(list); r != nullptr; r = table.next(*r)) result.push_back(r->address);
        return result;
    }
    ClientRecord* dynamicAt(Ipv4 address) {
        for (ClientRecord* r = table.first(ClientList::Dynamic); r != nullptr; r = table.next(*r)) {
            if (r->address == address) return r;
        }
        return nullptr;
    }
    ClientRecord& lease(Ipv4 address, std::uint8_t macByte, const char* profile = "Standard") {
        ClientRecord* r = findOrInsertDynamic(table, *profiles.find(profile), address);
        table.setIdentity(*r, mac(macByte));
        table.setExpiry(*r, 1700000000);
        return *r;
    }

    testing::CapturingLog log;
    ClientTable table{log};
    ProfileList profiles;
};

TEST_F(ClientTableTest, ListOrdersAndFreeListReuse) {
    ClientRecord* a = table.take();
    ClientRecord* b = table.take();
    ClientRecord* c = table.take();
    ASSERT_TRUE(a && b && c);
    table.setAddress(*a, 1), table.setAddress(*b, 2), table.setAddress(*c, 3);
    for (ClientRecord* r : {a, b, c}) table.appendStatic(*r);
    EXPECT_EQ(addresses(ClientList::Static), (std::vector<Ipv4>{1, 2, 3}));

    ClientRecord* x = table.take();
    ClientRecord* y = table.take();
    table.setAddress(*x, 8), table.setAddress(*y, 9);
    table.pushIgnored(*x);
    table.pushIgnored(*y);
    EXPECT_EQ(addresses(ClientList::Ignored), (std::vector<Ipv4>{9, 8}));

    // Releasing unlinks; the last freed record is handed out first, zeroed.
    a->hostName = "old-host";
    table.release(*a);
    table.release(*c);
    table.release(*c);  // a second release must not put the record on the free list twice
    EXPECT_EQ(addresses(ClientList::Static), (std::vector<Ipv4>{2}));
    EXPECT_EQ(table.first(ClientList::Free)->identity->kind(), kIdentityFree);
    EXPECT_EQ(table.take(), c);
    ClientRecord* reused = table.take();
    EXPECT_EQ(reused, a);
    EXPECT_EQ(reused->fields(), ClientFields{});
    EXPECT_EQ(reused->list(), ClientList::None);
}

TEST_F(ClientTableTest, HandlesNameOnlyLiveRecordsInTheirList) {
    ClientRecord* first = addStatic(table, staticClient(1, 0), false, profiles);
    ClientRecord* second = addStatic(table, staticClient(2, 0), false, profiles);
    ASSERT_TRUE(first && second);
    const RecordHandle handle = table.handleOf(*first);
    EXPECT_EQ(table.resolve(handle, ClientList::Static), first);
    EXPECT_EQ(table.resolve(handle, ClientList::Dynamic), nullptr);
    EXPECT_EQ(table.resolve(0, ClientList::Static), nullptr);
    EXPECT_EQ(table.resolve(handle + 100, ClientList::Static), nullptr);  // index beyond store
    EXPECT_EQ(table.resolve(handle + (RecordHandle{1} << 32), ClientList::Static),
              nullptr);  // other generation
    // The same entries loaded by the next run of the server: a handle a client kept from this
    // run (a list read before the restart) names nothing there, not the record at its place.
    ClientTable restarted{log};
    ClientRecord* loaded = addStatic(restarted, staticClient(9, 0), false, profiles);
    ASSERT_TRUE(loaded);
    EXPECT_EQ(RecordStore::linkOf(*loaded), RecordStore::linkOf(*first));
    EXPECT_EQ(restarted.resolve(handle, ClientList::Static), nullptr);
    EXPECT_EQ(restarted.resolve(restarted.handleOf(*loaded), ClientList::Static), loaded);

    const ClientRecordImage image = table.image(*first);
    EXPECT_EQ(image.handle, handle);
    EXPECT_EQ(image.nextHandle, table.handleOf(*second));
    EXPECT_EQ(table.image(*second).nextHandle, 0u);

    // The record goes back to the free list and comes back as another client: the old handle
    // must not name it.
    ASSERT_TRUE(deleteRecord(table, ClientList::Static, *first));
    EXPECT_EQ(table.resolve(handle, ClientList::Static), nullptr);
    ClientRecord* again = addStatic(table, staticClient(3, 0), false, profiles);
    EXPECT_EQ(again, first);
    EXPECT_EQ(table.resolve(handle, ClientList::Static), nullptr);
    EXPECT_EQ(table.resolve(table.handleOf(*again), ClientList::Static), again);
}

TEST_F(ClientTableTest, TakeReportsExhaustedMemory) {
    log.lines.reserve(4);  // the capture itself must not need a large block
    ClientRecord* last = nullptr;
    testing::failLargeAllocations = true;
    for (int i = 0; i < 16 && log.lines.empty(); ++i) last = table.take();
    testing::failLargeAllocations = false;
    EXPECT_EQ(last, nullptr);
    ASSERT_FALSE(log.lines.empty());
    EXPECT_EQ(log.lines.back(), "DHCP  Error   malloc(328) for client failed\n");
    EXPECT_NE(table.take(), nullptr);
}

TEST_F(ClientTableTest, DynamicRecordsKeepPoolOrder) {
    for (Ipv4 a : {ip(0, 110), ip(0, 101), ip(0, 105)}) findOrInsertDynamic(table, *profiles.find("Standard"), a);
    EXPECT_EQ(addresses(ClientList::Dynamic), (std::vector<Ipv4>{ip(0, 101), ip(0, 105), ip(0, 110)}));

    ClientRecord& held = lease(ip(0, 103), 7);
    EXPECT_EQ(findOrInsertDynamic(table, *profiles.find("Lab"), ip(0, 103)), &held);  // found, unchanged
    EXPECT_EQ(held.profile, "Standard");

    reserveAddress(table, ip(0, 100), profiles);  // below every record: the head
    reserveAddress(table, ip(2, 3), profiles);    // another pool: after the records walked
    reserveAddress(table, ip(1, 252), profiles);  // ordered as numbers across the third octet
    reserveAddress(table, ip(9, 9), profiles);    // in no pool: nothing
    EXPECT_EQ(addresses(ClientList::Dynamic),
              (std::vector<Ipv4>{ip(0, 100), ip(0, 101), ip(0, 103), ip(0, 105), ip(0, 110), ip(1, 252), ip(2, 3)}));
    EXPECT_EQ(dynamicAt(ip(1, 252))->profile, "Lab");
    EXPECT_EQ(dynamicAt(ip(0, 100))->expiry, kExpiryReserved);
}

TEST_F(ClientTableTest, ReservingALeasedAddressTakesTheRecordOver) {
    ClientRecord& held = lease(ip(0, 120), 5);
    table.setProfile(held, "lab");  // even from another pool's record of the same address
    const std::int32_t before = table.changes(ClientList::Dynamic);
    reserveAddress(table, ip(0, 120), profiles);
    EXPECT_EQ(addresses(ClientList::Dynamic), (std::vector<Ipv4>{ip(0, 120)}));
    EXPECT_EQ(held.identity, Identity{});
    EXPECT_EQ(held.expiry, kExpiryReserved);
    EXPECT_EQ(held.profile, "Standard");
    EXPECT_GT(table.changes(ClientList::Dynamic), before);

    // Only an empty-identity reservation is released; one read back from the file carries six
    // zero bytes. A client's lease at the same address is never touched.
    Identity readBack = held.identity;
    readBack.length = 6;
    table.setIdentity(held, readBack);
    releaseReservation(table, ip(0, 120));
    EXPECT_EQ(held.expiry, 0);
    ClientRecord& other = lease(ip(0, 121), 6);
    table.setExpiry(other, kExpiryReserved);
    releaseReservation(table, ip(0, 121));
    EXPECT_EQ(other.expiry, kExpiryReserved);
}

TEST_F(ClientTableTest, DeletingADynamicRecordLeavesAFreeRecordInPlace) {
    lease(ip(0, 101), 1);
    ClientRecord& middle = lease(ip(0, 102), 2);
    lease(ip(0, 103), 3);
    middle.lastAccess = 1699999000;
    middle.remark = "Standard";
    const RecordHandle handle = table.handleOf(middle);
    ASSERT_TRUE(deleteRecord(table, ClientList::Dynamic, middle));
    EXPECT_EQ(addresses(ClientList::Dynamic), (std::vector<Ipv4>{ip(0, 101), ip(0, 102), ip(0, 103)}));
    EXPECT_EQ(middle.identity->kind(), kIdentityFree);
    EXPECT_EQ(middle.identity->length(), 0);
    EXPECT_EQ(middle.expiry, 0);
    EXPECT_EQ(middle.lastAccess, 0);
    EXPECT_EQ(middle.remark, "");
    EXPECT_EQ(table.resolve(handle, ClientList::Dynamic), &middle);
    EXPECT_EQ(table.changes(ClientList::Dynamic), 1);
    EXPECT_FALSE(deleteRecord(table, ClientList::Static, middle));  // not in that list
}

TEST_F(ClientTableTest, AddStaticRefusalsAndReservation) {
    ClientRecord* added = addStatic(table, staticClient(1, ip(0, 120)), false, profiles);
    ASSERT_NE(added, nullptr);
    EXPECT_EQ(table.changes(ClientList::Static), 1);
    ASSERT_NE(dynamicAt(ip(0, 120)), nullptr);
    EXPECT_EQ(dynamicAt(ip(0, 120))->expiry, kExpiryReserved);

    EXPECT_EQ(addStatic(table, staticClient(1, ip(0, 121), "STANDARD"), false, profiles), nullptr);
    EXPECT_NE(addStatic(table, staticClient(1, ip(0, 121), "Lab"), false, profiles), nullptr);
    EXPECT_EQ(addStatic(table, staticClient(2, ip(0, 120)), false, profiles), nullptr);
    EXPECT_NE(addStatic(table, staticClient(2, ip(0, 120)), true, profiles), nullptr);
    EXPECT_EQ(addStatic(table, staticClient(3, 0, "Gone"), false, profiles), nullptr);
    EXPECT_NE(addStatic(table, staticClient(3, 0, ""), false, profiles), nullptr);  // the first profile
    EXPECT_EQ(addStatic(table, staticClient(4, 0, ""), false, ProfileList{}), nullptr);
    // Addresses 0 and "never serve" are no conflicts and are never found.
    EXPECT_NE(addStatic(table, staticClient(5, kNeverServe), false, profiles), nullptr);
    EXPECT_NE(addStatic(table, staticClient(6, kNeverServe), false, profiles), nullptr);
    EXPECT_EQ(table.findStaticByAddress(kNeverServe), nullptr);
    EXPECT_EQ(table.findStaticByAddress(0), nullptr);
    EXPECT_EQ(table.findStaticByAddress(ip(0, 120)), added);
}

TEST_F(ClientTableTest, ModifyMovesTheReservation) {
    ClientRecord* record = addStatic(table, staticClient(1, ip(0, 120)), false, profiles);
    addStatic(table, staticClient(2, ip(0, 130)), false, profiles);

    ClientFields change = staticClient(1, ip(0, 140), "Lab");
    change.hostName = "moved";
    change.lastAccess = 42;  // not taken over from the image
    ASSERT_TRUE(modifyStatic(table, *record, change, false, profiles));
    EXPECT_EQ(record->address, ip(0, 140));
    EXPECT_EQ(record->profile, "Lab");
    EXPECT_EQ(record->hostName, "moved");
    EXPECT_EQ(record->lastAccess, 0);
    EXPECT_EQ(dynamicAt(ip(0, 120))->expiry, 0);
    EXPECT_EQ(dynamicAt(ip(0, 140))->expiry, kExpiryReserved);

    EXPECT_FALSE(modifyStatic(table, *record, staticClient(2, ip(0, 141)), false, profiles));  // identity
    EXPECT_FALSE(modifyStatic(table, *record, staticClient(1, ip(0, 130)), false, profiles));  // address
    EXPECT_FALSE(modifyStatic(table, *record, staticClient(1, ip(0, 141), "Gone"), false, profiles));
    EXPECT_EQ(record->address, ip(0, 140));
    EXPECT_TRUE(modifyStatic(table, *record, staticClient(1, ip(0, 140)), false, profiles));  // itself: no conflict
}

// Static records sharing an address (duplicates allowed): the pool address stays withheld until
// the last of them goes.
TEST_F(ClientTableTest, SharedStaticAddressKeepsItsReservation) {
    ClientRecord* a = addStatic(table, staticClient(1, ip(0, 120)), false, profiles);
    ClientRecord* b = addStatic(table, staticClient(2, ip(0, 120)), true, profiles);
    ClientRecord* c = addStatic(table, staticClient(3, ip(0, 120)), true, profiles);
    ASSERT_TRUE(deleteRecord(table, ClientList::Static, *b));
    ASSERT_TRUE(modifyStatic(table, *a, staticClient(1, ip(0, 121)), false, profiles));
    EXPECT_EQ(dynamicAt(ip(0, 120))->expiry, kExpiryReserved);
    ASSERT_TRUE(deleteRecord(table, ClientList::Static, *c));
    EXPECT_EQ(dynamicAt(ip(0, 120))->expiry, 0);
}

TEST_F(ClientTableTest, PurgeRemovesOutOfPoolRecordsOnly) {
    lease(ip(0, 101), 1);
    lease(ip(0, 140), 2, "Lab");  // outside Lab's pool
    table.setProfile(lease(ip(0, 102), 3), "NoPool");
    table.setProfile(lease(ip(0, 103), 4), "Gone");                 // profile deleted: kept
    addStatic(table, staticClient(9, ip(2, 20)), false, profiles);  // outside every pool for now
    table.changes(ClientList::Dynamic) = 0;

    std::vector<Profile> changed = profiles.profiles();
    changed[1].range = 30;  // Lab now reaches 10.0.2.23
    profiles.assign(changed);
    EXPECT_EQ(purgeDynamic(table, profiles, true), 2u);
    EXPECT_EQ(addresses(ClientList::Dynamic), (std::vector<Ipv4>{ip(0, 101), ip(0, 103), ip(2, 20)}));
    EXPECT_EQ(dynamicAt(ip(2, 20))->expiry, kExpiryReserved);
    EXPECT_EQ(table.changes(ClientList::Dynamic), 3);   // two removed, one reserved
    EXPECT_EQ(table.count(ClientList::Free).total, 1);  // the other one now holds the reservation
}

TEST_F(ClientTableTest, CountersProfileUseAndRename) {
    ClientRecord* seen = addStatic(table, staticClient(1, 0, "lab"), false, profiles);
    seen->lastAccess = 1;
    addStatic(table, staticClient(2, 0, ""), false, profiles);
    lease(ip(0, 101), 3);
    findOrInsertDynamic(table, *profiles.find("Lab"), ip(1, 251));
    ClientRecord* ignored = table.take();
    table.pushIgnored(*ignored);

    EXPECT_EQ(table.count(ClientList::Static).total, 2);
    EXPECT_EQ(table.count(ClientList::Static).used, 1);
    EXPECT_EQ(table.count(ClientList::Dynamic).total, 2);
    EXPECT_EQ(table.count(ClientList::Dynamic).used, 1);
    EXPECT_EQ(table.count(ClientList::Ignored).total, 1);
    EXPECT_EQ(table.count(ClientList::Ignored).used, 0);

    EXPECT_EQ(profileUse(table, "Gone", profiles), 0);
    EXPECT_EQ(profileUse(table, "Lab", profiles), 2);
    EXPECT_EQ(profileUse(table, "Standard", profiles), 2);  // the record without a name uses it
    EXPECT_EQ(profileUse(table, "NoPool", profiles), 1);

    table.changes(ClientList::Static) = 0;
    table.changes(ClientList::Dynamic) = 0;
    table.renameProfileInRecords("LAB", "Workshop");
    EXPECT_EQ(seen->profile, "Workshop");
    EXPECT_EQ(dynamicAt(ip(1, 251))->profile, "Workshop");
    EXPECT_EQ(dynamicAt(ip(0, 101))->profile, "Standard");
    EXPECT_EQ(table.changes(ClientList::Static), 1);
    EXPECT_EQ(table.changes(ClientList::Dynamic), 1);
}

}  // namespace
}  // namespace tolmark

namespace tolmark {
namespace {

// The journal a shared lease table is written from: one change per record touched, with what
// it held before; removals; and nothing for the leases taken in from the table itself.
TEST_F(ClientTableTest, JournalKeepsEachTouchedRecordOnceAndLeavesOutSharedLeases) {
    LeaseJournal journal;
    ClientRecord& kept = lease(ip(0, 101), 1);
    ClientRecord& gone = lease(ip(0, 102), 2);
    table.setJournal(&journal);
    std::vector<JournalChange> changes;

    table.setExpiry(kept, 1700000100);
    table.setIdentity(kept, mac(9));
    table.setExpiry(kept, 1700000200);
    table.release(gone);
    ClientRecord& made = lease(ip(0, 103), 3);
    table.takeJournal(changes);
    ASSERT_EQ(changes.size(), 3u);
    EXPECT_EQ(changes[0].record, &kept);
    EXPECT_EQ(changes[0].previousIdentity, mac(1));
    EXPECT_EQ(changes[1].record, nullptr);
    EXPECT_EQ(changes[1].previousAddress, ip(0, 102));
    EXPECT_EQ(changes[1].previousIdentity, mac(2));
    EXPECT_EQ(changes[2].record, &made);
    EXPECT_EQ(changes[2].previousAddress, ip(0, 103));

    // A record freed and made again in the same place is another lease: its removal first.
    changes.clear();
    table.release(made);
    ClientRecord& again = lease(ip(0, 110), 4);
    table.takeJournal(changes);
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].record, nullptr);
    EXPECT_EQ(changes[0].previousAddress, ip(0, 103));
    EXPECT_EQ(changes[1].record, &again);

    // Leases of the shared table: applied in address order, freed when removed, not journalled.
    changes.clear();
    ClientFields shared = staticClient(7, ip(0, 105));
    shared.expiry = 1700009999;
    shared.hostName = "seven";
    ASSERT_TRUE(applySharedLease(table, shared, false, profiles, 1700000000));
    EXPECT_EQ(addresses(ClientList::Dynamic), (std::vector<Ipv4>{ip(0, 101), ip(0, 105), ip(0, 110)}));
    EXPECT_EQ(dynamicAt(ip(0, 105))->identity, mac(7));
    EXPECT_EQ(dynamicAt(ip(0, 105))->hostName, "seven");
    shared.identity = mac(8);
    ASSERT_TRUE(applySharedLease(table, shared, false, profiles, 1700000000));
    EXPECT_EQ(dynamicAt(ip(0, 105))->identity, mac(8));
    ASSERT_TRUE(applySharedLease(table, shared, true, profiles, 1700000000));
    EXPECT_EQ(dynamicAt(ip(0, 105)), nullptr);
    // A row whose client the database cannot name (a hand edit broke it) holds its address
    // for no one: in the pool that has the address, or in the expired record there, whose pool
    // stays. A lease this server knows running there stands (the edit may have left its client).
    ClientFields held;
    held.expiry = 1700009999;
    for (const Ipv4 address : {ip(0, 106), ip(0, 110), ip(0, 101)}) {
        held.address = address;
        ASSERT_TRUE(applySharedLease(table, held, false, profiles, 1700000000));
    }
    EXPECT_EQ(addresses(ClientList::Dynamic), (std::vector<Ipv4>{ip(0, 101), ip(0, 106), ip(0, 110)}));
    for (const Ipv4 address : {ip(0, 106), ip(0, 110)}) {
        EXPECT_EQ(dynamicAt(address)->profile, "Standard");
        EXPECT_EQ(dynamicAt(address)->identity->length(), 0);
        EXPECT_EQ(dynamicAt(address)->expiry, 1700009999);
    }
    EXPECT_EQ(dynamicAt(ip(0, 101))->identity, mac(9));
    EXPECT_EQ(table.poolRecordAt(PoolRef{"Standard", ip(0, 100), 50}, 6), dynamicAt(ip(0, 106)));
    table.takeJournal(changes);
    EXPECT_TRUE(changes.empty());
    table.setJournal(nullptr);
}

}  // namespace
}  // namespace tolmark

namespace tolmark {
namespace {

// The chains against a plain walk of the lists, through a bounded random run over thousands of
// records (several times the chains' buckets, so that they are spread again many times, and
// across the store's chunks): records taken, linked anywhere in the three lists, moved,
// unlinked, freed and reused, their identities and addresses changed, with few enough of each
// that chains hold many records. Every look-up, from the head and from any record on, must
// give the walk's answer.
TEST(ClientTableChains, AnswerAsAWalkOfTheListsWhileTheyGrowAndChange) {
    testing::CapturingLog log;
    ClientTable table{log};
    std::vector<ClientRecord*> records;
    std::mt19937 random(5);
    const auto identity = [](std::uint32_t n) {
        Identity id;
        id.kind = static_cast<std::uint8_t>(n % 5 == 0 ? kIdentityClientId : kIdentityHardware);
        id.length = static_cast<std::uint8_t>(n % 7 == 0 ? 20 : 6);  // some stored on the heap
        id.bytes[0] = static_cast<std::uint8_t>(n);
        id.bytes[5] = static_cast<std::uint8_t>(n >> 8);
        return id;
    };
    const auto walk = [&](ClientList list, const ClientRecord* after, auto&& match) -> ClientRecord* {
        for (ClientRecord* r = after == nullptr ? table.first(list) : table.next(*after); r != nullptr;
             r = table.next(*r)) {
            if (match(*r)) return r;
        }
        return nullptr;
    };
    constexpr ClientList kLists[] = {ClientList::Static, ClientList::Dynamic, ClientList::Ignored};
    for (int step = 0; step < 12000; ++step) {
        const std::uint32_t pick = random();
        ClientRecord* some = records.empty() ? nullptr : records[pick % records.size()];
        switch (random() % 8) {
            case 0:
            case 1:
            case 2: {
                ClientRecord* r = table.take();
                ASSERT_NE(r, nullptr);
                table.setIdentity(*r, identity(random() % 1500));
                table.setAddress(*r, random() % 6 == 0 ? 0 : makeIpv4(10, 1, 0, static_cast<std::uint8_t>(random())));
                const ClientList list = kLists[random() % 3];
                if (list == ClientList::Static) table.appendStatic(*r);
                if (list == ClientList::Ignored) table.pushIgnored(*r);
                if (list == ClientList::Dynamic)
                    table.insertDynamicAfter(some != nullptr && some->list() == ClientList::Dynamic ? some : nullptr,
                                             *r);
                if (std::find(records.begin(), records.end(), r) == records.end()) records.push_back(r);
                break;
            }
            case 3:
                if (some != nullptr) table.setIdentity(*some, identity(random() % 1500));
                break;
            case 4:
                if (some != nullptr) table.setAddress(*some, makeIpv4(10, 1, 0, static_cast<std::uint8_t>(random())));
                break;
            case 5:
                if (some != nullptr && some->list() != ClientList::Free) table.release(*some);
                break;
            case 6:
                if (some != nullptr) table.unlink(*some);
                break;
            default:
                if (some != nullptr && some->list() == ClientList::None) table.pushIgnored(*some);
                break;
        }
        if (step % 40 != 0 && step < 11900) continue;
        for (ClientList list : kLists) {
            const Identity id = identity(random() % 1500);
            const Ipv4 address = random() % 8 == 0 ? 0 : makeIpv4(10, 1, 0, static_cast<std::uint8_t>(random()));
            ClientRecord* from = nullptr;
            if (some != nullptr && some->list() == list) from = some;
            for (const ClientRecord* after :
                 {static_cast<const ClientRecord*>(nullptr), static_cast<const ClientRecord*>(from)}) {
                ASSERT_EQ(table.findIdentity(list, id, after),
                          walk(list, after, [&](const ClientRecord& r) { return identityEquals(r.identity, id); }))
                    << "step " << step;
                ASSERT_EQ(table.findAddress(list, address, after),
                          walk(list, after, [&](const ClientRecord& r) { return r.address == address; }))
                    << "step " << step;
            }
        }
    }
    EXPECT_GT(records.size(), 2500u);  // over two chunks of the store
}

}  // namespace
}  // namespace tolmark
