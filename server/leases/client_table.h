#pragma once
// The client table: every client the server knows, in three lists (static, dynamic, ignored)
// over one record store, with a free list for reuse. The lists keep the order of the files, of
// the pipe's walk and of ties; indexes beside them (identity and address per list, each pool's
// records by offset with their expiries, dynamic records by the relay they came through)
// answer the engine's lookups without a walk. Pipe clients name records by opaque handles that
// the table validates.
//
// The table is the one door to its parts, which each keep one thing: the record store
// (records and handles), the list links (the four lists and their order labels), the chains
// (identity and address), the relay chains, the pool indexes and the unsaved-change counts.
// Every change goes through the table, which keeps all of them and the journal in step.
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
#include <optional>
#include <string_view>
#include <vector>

#include "common/client_record.h"
#include "common/log_sink.h"
#include "server/leases/change_counts.h"
#include "server/leases/lease_journal.h"
#include "server/leases/list_links.h"
#include "server/leases/pool_indexes.h"
#include "server/leases/record_chains.h"
#include "server/leases/record_store.h"
#include "server/leases/relay_chains.h"
#include "server/leases/table_record.h"

namespace tolmark {

// The ignored list keeps at most this many clients, the most recent ones: a flood of refused
// clients, or an ignored file grown by hand or by another program, never grows it further.
inline constexpr std::size_t kMaxIgnoredClients = 4096;

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
    ClientRecord* first(ClientList list) { return lists_.first(list); }
    ClientRecord* next(const ClientRecord& record) { return lists_.next(record); }
    const ClientRecord* first(ClientList list) const { return lists_.first(list); }
    const ClientRecord* next(const ClientRecord& record) const { return lists_.next(record); }

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
    RecordHandle handleOf(const ClientRecord& record) const { return RecordStore::handleOf(record); }
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
    virtual ClientRecord* nextSeenVia(const ClientRecord& record) { return relays_.next(record); }
    // True when a comes before b in their list.
    virtual bool precedes(const ClientRecord& a, const ClientRecord& b) const { return ListLinks::precedes(a, b); }

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
    ClientRecord* previous(const ClientRecord& record) { return lists_.previous(record); }
    // True when the record is one of this table's.
    bool owns(const ClientRecord& record) const { return store_.owns(record); }
    // Logs the "malloc(328) for client failed" line.
    void reportNoMemory();
    ListCounters count(ClientList list) const;
    // Records linked in the list, kept as they are linked and unlinked.
    std::size_t size(ClientList list) const { return lists_.size(list); }
    // The list's last record, or nullptr when it is empty.
    ClientRecord* last(ClientList list) { return lists_.last(list); }

    // Room for this many more records of the list, made at once (a file about to be loaded);
    // false when the memory is not there, which only means that it is made as records come.
    bool reserve(ClientList list, std::size_t records);
    // Makes the pool's index now, from the records of the dynamic list, rather than when the
    // pool is first asked about; records linked later go into it as they come.
    void indexPool(const PoolRef& pool) { pools_.of(pool); }

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
    std::atomic<std::int32_t>& changes(ClientList list) { return changes_.of(list); }
    void markChanged(ClientList list) { changes_.mark(list); }

private:
    // Link changes, with the indexes and the journal kept in step.
    void linkAfter(ClientList list, ClientRecord* after, ClientRecord& record);
    void unlinkFromList(ClientRecord& record);
    void freeRecord(ClientRecord& record);
    void indexAdd(ClientRecord& record);
    void indexRemove(ClientRecord& record);
    // Before a change of a dynamic record.
    void journalTouch(const ClientRecord& record) {
        if (journal_ != nullptr && !journalPaused_ && record.list_ == ClientList::Dynamic) journal_->touched(record);
    }

    LogSink& log_;
    RecordStore store_;
    ListLinks lists_{store_};
    RecordChains chains_{store_, lists_};
    RelayChains relays_{store_};
    PoolIndexes pools_{store_, lists_};
    ChangeCounts changes_;
    LeaseJournal* journal_ = nullptr;
    bool journalPaused_ = false;
};

}  // namespace tolmark
