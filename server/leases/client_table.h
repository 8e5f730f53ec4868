#pragma once
// The client table: every client the server knows, in three lists (static, dynamic, ignored)
// over one record store, with a free list for reuse. The lists keep the order of the files, of
// the pipe's walk and of ties; indexes beside them (identity and address per list, each pool's
// records by offset with their expiries, dynamic records by the relay they came through)
// answer the engine's lookups without a walk. Pipe clients name records by opaque handles that
// the table validates.
//
// The table has no lock of its own: records, links and indexes change together, so the one
// lock that guards them is the engine lock, which the receive loop holds for a whole request
// and the control pipe and the file saver take around their use of the table.
//
// The identity, address, profile name, expiry and seen-via address of a record are indexed:
// they are read anywhere and changed only through the table's setters, which keep the indexes
// in step (the compiler refuses any other change). The other fields the engine writes freely
// under the engine lock.

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "common/client_record.h"
#include "common/log_sink.h"
#include "server/leases/flat_heads.h"
#include "server/leases/lease_journal.h"
#include "server/leases/pool_index.h"
#include "server/leases/record_fields.h"

namespace tolmark {

enum class ClientList : std::uint8_t { Static = 0, Dynamic = 1, Ignored = 2, Free = 3, None = 4 };

class ClientTable;
struct ClientRecord;

// A field the table indexes records by: read like the value it holds, changed by the table
// alone.
template <class T>
class Keyed {
public:
    Keyed() = default;
    const T& get() const { return value_; }
    operator const T&() const { return value_; }  // NOLINT: reads like the value
    const T* operator->() const { return &value_; }
    // Texts and identities read as what their stored forms read as.
    template <class U = T, class = decltype(std::declval<const U&>().view())>
    operator std::string_view() const {  // NOLINT
        return value_.view();
    }
    template <class U = T, class = decltype(std::declval<const U&>().equals(Identity{}))>
    operator Identity() const {  // NOLINT
        return value_.get();
    }

private:
    friend class ClientTable;
    friend struct ClientRecord;
    Keyed(const Keyed&) = default;
    Keyed& operator=(const Keyed&) = default;
    template <class V>
    Keyed& operator=(V&& value) {
        value_ = std::forward<V>(value);
        return *this;
    }
    T value_{};
};

using RecordHandle = std::uint64_t;

// A record in the store: the client fields in their compact stored forms, and the links. The
// engine reads the client fields freely under the engine lock and writes those that are not
// indexed; the links belong to the table.
struct ClientRecord {
    Keyed<Ipv4> address;
    Keyed<Ipv4> seenVia;
    std::int64_t lastAccess = 0;
    Keyed<std::int64_t> expiry;
    Keyed<StoredIdentity> identity;
    Keyed<StoredProfileName> profile;  // at most 23 characters; empty = the first profile
    StoredText hostName;               // at most 158 characters
    StoredText remark;                 // at most 31 characters

    ClientFields fields() const;
    // Copies the fields into out, reusing its strings' storage.
    void copyTo(ClientFields& out) const;

    std::uint32_t index() const { return index_; }
    ClientList list() const { return list_; }

private:
    friend class ClientTable;
    // Every field at once (a record not yet linked); may throw bad_alloc, leaving it unchanged.
    void assign(const ClientFields& fields);

    std::uint32_t index_ = 0;
    std::uint32_t generation_ = 0;
    std::uint32_t next_ = 0;  // index + 1 of the next record in the same list; 0 at the end
    std::uint32_t previous_ = 0;
    std::uint32_t sameIdentity_ = 0;  // the next record of the list in the same identity chain
    std::uint32_t sameAddress_ = 0;   // the next record of the list in the same address chain
    // Dynamic records by the relay (or interface) they were last seen through, unordered.
    std::uint32_t sameRelay_ = 0;
    std::uint32_t previousRelay_ = 0;
    std::uint64_t label_ = 0;  // grows along the list: compares positions without a walk
    // What the indexes hold the record under, so that it always leaves them whole.
    std::uint64_t identityKey_ = 0;
    Ipv4 addressKey_ = 0;
    Ipv4 relayKey_ = 0;
    std::uint32_t poolOffset_ = 0;
    bool poolPlaced_ = false;
    bool relayLinked_ = false;
    ClientList list_ = ClientList::None;
    PoolIndex* pool_ = nullptr;
};

// An address pool as the dynamic list knows it: the records carrying the pool's profile name at
// or above its base, by offset from the base.
struct PoolRef {
    std::string_view name;
    Ipv4 base = 0;  // network order
    std::uint32_t range = 0;
};

struct ListCounters {
    std::int32_t total = 0;
    std::int32_t used = 0;  // static/ignored: last access set; dynamic: expiry set
};

class ClientTable {
public:
    explicit ClientTable(LogSink& log);
    virtual ~ClientTable() = default;
    ClientTable(const ClientTable&) = delete;
    ClientTable& operator=(const ClientTable&) = delete;

    // Walking a list. next() returns nullptr at the end.
    ClientRecord* first(ClientList list);
    ClientRecord* next(const ClientRecord& record);
    const ClientRecord* first(ClientList list) const;
    const ClientRecord* next(const ClientRecord& record) const;

    // A zeroed record from the free list or the heap, not yet in any list; nullptr (and the
    // "malloc(328) for client failed" line) when no memory is left.
    ClientRecord* take();
    // Zeroes the record, marks it free (kind 128) and pushes it on the free list. The record
    // must not be in another list.
    void release(ClientRecord& record);
    // Fills a record taken and not yet linked; false for a linked one. May throw bad_alloc,
    // leaving the record unchanged.
    bool fill(ClientRecord& unlinked, const ClientFields& fields);

    // Linking.
    void appendStatic(ClientRecord& record);
    void pushIgnored(ClientRecord& record);
    // Inserts after `after`, or at the head when after is nullptr.
    void insertDynamicAfter(ClientRecord* after, ClientRecord& record);
    void unlink(ClientRecord& record);

    // Handles: (generation << 32) | (index + 1); 0 = none.
    RecordHandle handleOf(const ClientRecord& record) const;
    // The record the handle names while it is in that list, else nullptr.
    ClientRecord* resolve(RecordHandle handle, ClientList list);
    ClientRecordImage image(const ClientRecord& record) const;

    // Changes of indexed fields.
    void setIdentity(ClientRecord& record, const Identity& identity);
    void setExpiry(ClientRecord& record, std::int64_t expiry);
    void setAddress(ClientRecord& record, Ipv4 address);
    void setProfile(ClientRecord& record, std::string_view profile);
    void setSeenVia(ClientRecord& record, Ipv4 seenVia);

    // Lookups. Each gives the first matching record of the list after `after` (from the head
    // when nullptr), in list order.
    virtual ClientRecord* findIdentity(ClientList list, const Identity& identity, const ClientRecord* after);
    virtual ClientRecord* findAddress(ClientList list, Ipv4 address, const ClientRecord* after);
    // The dynamic records last seen through the address, in no particular order: first, then
    // nextSeenVia() until nullptr.
    virtual ClientRecord* firstSeenVia(Ipv4 seenVia);
    virtual ClientRecord* nextSeenVia(const ClientRecord& record) { return at(record.sameRelay_); }
    // True when a comes before b in their list.
    virtual bool precedes(const ClientRecord& a, const ClientRecord& b) const;

    // Pools of the dynamic list. Offsets count from the pool's base; "in range" is below its
    // range. A pool's records follow each other in the list in address order.
    virtual ClientRecord* poolRecordAt(const PoolRef& pool, std::uint32_t offset);
    // The lowest free offset in range, or the range when the pool is full.
    virtual std::uint32_t poolFirstFree(const PoolRef& pool);
    virtual std::uint32_t poolOccupied(const PoolRef& pool);
    // The record of lowest offset at or above offset, in range or beyond it.
    virtual ClientRecord* poolFirstAtOrAbove(const PoolRef& pool, std::uint32_t offset);
    // The in-range record of lowest offset at or above from whose expiry is before now.
    virtual ClientRecord* poolFirstExpired(const PoolRef& pool, std::uint32_t from, std::int64_t now);
    // Of the in-range records up to offset upTo whose expiry is before now, the one that expired
    // earliest; of equal expiries the first, or the last when lastOfTies.
    virtual ClientRecord* poolEarliest(const PoolRef& pool, std::uint32_t upTo, std::int64_t now, bool lastOfTies);
    // The record's offset in the pool, when it belongs to it.
    static std::optional<std::uint32_t> offsetIn(const PoolRef& pool, const ClientRecord& record);

    const ClientRecord* findStaticByIdentity(const Identity& identity, std::string_view profile,
                                             const ClientRecord* skip);
    const ClientRecord* findStaticByAddress(Ipv4 address);
    const ClientRecord* findStaticByAddressExcept(Ipv4 address, const ClientRecord* skip);
    // The record before this one in its list, or nullptr at the head.
    ClientRecord* previous(const ClientRecord& record);
    // True when the record is one of this table's.
    bool owns(const ClientRecord& record) const;
    // Logs the "malloc(328) for client failed" line.
    void reportNoMemory();
    ListCounters count(ClientList list) const;
    // Records linked in the list, kept as they are linked and unlinked.
    std::size_t size(ClientList list) const;
    // The list's last record, or nullptr when it is empty.
    ClientRecord* last(ClientList list);

    // Puts the new name into every static and dynamic record that carries the old one.
    void renameProfileInRecords(std::string_view oldName, std::string_view newName);

    // The journal of dynamic-list changes, kept while one is set (the lease database's);
    // nullptr stops it. Changes made while it is paused (the database's own rows taken in) are
    // not journalled.
    void setJournal(LeaseJournal* journal) { journal_ = journal; }
    LeaseJournal* journal() const { return journal_; }
    void pauseJournal(bool paused) { journalPaused_ = paused; }
    // What the journal collected, each change with the record's state now.
    void takeJournal(std::vector<JournalChange>& out);

    // Unsaved-change counts, one per list.
    std::atomic<std::int32_t>& changes(ClientList list);
    void markChanged(ClientList list) { changes(list).fetch_add(1); }

private:
    ClientRecord* at(std::uint32_t linkIndex);  // linkIndex = index + 1
    const ClientRecord* at(std::uint32_t linkIndex) const;

    // Link changes.
    void linkFront(ClientList list, ClientRecord& record);
    void linkAfter(ClientList list, ClientRecord* after, ClientRecord& record);
    void unlinkFromList(ClientRecord& record);
    void freeRecord(ClientRecord& record);

    // Order labels and the indexes.
    void labelBetween(ClientList list, ClientRecord* previous, ClientRecord& record);
    void indexAdd(ClientRecord& record);
    void indexRemove(ClientRecord& record);
    void chainInsert(std::uint32_t& head, std::uint32_t ClientRecord::*link, ClientRecord& record);
    template <class Key>
    void chainRemove(FlatHeads<Key>& heads, Key key, std::uint32_t ClientRecord::*link, ClientRecord& record);
    // The identity's key in the chains; 0: not indexed.
    static std::uint64_t indexKey(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes);
    template <class Match>
    ClientRecord* walk(ClientList list, const ClientRecord* after, Match&& match);
    void relayAdd(ClientRecord& record);
    void relayRemove(ClientRecord& record);
    void poolAdd(PoolIndex& pool, ClientRecord& record, bool building);
    void poolRemove(ClientRecord& record);
    PoolIndex* poolFor(const ClientRecord& record);
    // The index of the pool, built from the dynamic list when it has none yet or the pool
    // changed since.
    PoolIndex& poolIndex(const PoolRef& pool);
    ClientRecord* atOffset(PoolIndex& pool, std::uint32_t offset);

    LogSink& log_;
    std::deque<ClientRecord> store_;
    std::uint32_t heads_[4] = {0, 0, 0, 0};
    std::uint32_t tails_[4] = {0, 0, 0, 0};
    std::atomic<std::size_t> sizes_[4] = {0, 0, 0, 0};
    std::atomic<std::int32_t> changes_[3];
    std::atomic<std::int32_t> unsavedElsewhere_{0};  // changes() of the free list and None
    // Per linked list: chain heads by identity hash and by address.
    FlatHeads<std::uint64_t> identities_[3];
    FlatHeads<Ipv4> addresses_[3];
    FlatHeads<Ipv4> relays_;  // of the dynamic list
    std::vector<std::unique_ptr<PoolIndex>> pools_;
    LeaseJournal* journal_ = nullptr;
    bool journalPaused_ = false;
    // Before a change of a dynamic record.
    void journalTouch(const ClientRecord& record) {
        if (journal_ != nullptr && !journalPaused_ && record.list_ == ClientList::Dynamic) journal_->touched(record);
    }
    PoolIndex* lastPool_ = nullptr;  // the pool asked for last
};

// Two identities are equal when kind, length and bytes are equal.
bool identityEquals(const Identity& a, const Identity& b);
inline bool identityEquals(const StoredIdentity& a, const Identity& b) { return a.equals(b); }
inline bool identityEquals(const Keyed<StoredIdentity>& a, const Identity& b) { return a->equals(b); }
std::uint64_t identityHash(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes);
inline std::uint64_t identityHash(const Identity& identity) {
    return identityHash(identity.kind, identity.length, identity.bytes.data());
}

}  // namespace tolmark
