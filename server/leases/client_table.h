#pragma once
// The client table: every client the server knows, in three singly linked lists (static,
// dynamic, ignored) over one record store, with a free list for reuse. The engine walks the
// lists under the engine lock; insertions and unlinks also take the client list lock so that
// the file saver and the control pipe never see a half-linked list. Pipe clients name records
// by opaque handles that the table validates.

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string_view>

#include "common/client_record.h"
#include "common/log_sink.h"
#include "config/profiles.h"

namespace tolmark {

enum class ClientList : std::uint8_t { Static = 0, Dynamic = 1, Ignored = 2, Free = 3, None = 4 };

using RecordHandle = std::uint64_t;

// A record in the store. The engine reads and writes the client fields freely under the engine
// lock; the links belong to the table.
struct ClientRecord : ClientFields {
    std::uint32_t index() const { return index_; }
    ClientList list() const { return list_; }

  private:
    friend class ClientTable;
    std::uint32_t index_ = 0;
    std::uint32_t generation_ = 0;
    std::uint32_t next_ = 0;  // index + 1 of the next record in the same list; 0 at the end
    ClientList list_ = ClientList::None;
};

struct ListCounters {
    std::int32_t total = 0;
    std::int32_t used = 0;  // static/ignored: last access set; dynamic: expiry set
};

class ClientTable {
  public:
    explicit ClientTable(LogSink& log);

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

    // Linking (each under the client list lock).
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

    const ClientRecord* findStaticByIdentity(const Identity& identity, std::string_view profile,
                                             const ClientRecord* skip) const;
    const ClientRecord* findStaticByAddress(Ipv4 address) const;
    ListCounters count(ClientList list) const;
    // Records linked in the list, kept as they are linked and unlinked.
    std::size_t size(ClientList list) const;
    // The list's last record, or nullptr when it is empty.
    ClientRecord* last(ClientList list);

    // Reservations of static addresses inside dynamic pools.
    void reserveAddress(Ipv4 address, const ProfileList& profiles);
    ClientRecord* findOrInsertDynamic(const Profile& profile, Ipv4 address);
    void releaseReservation(Ipv4 address);
    void reserveAllStatic(const ProfileList& profiles);

    // Operations of the control pipe. Return false when refused.
    int profileUse(std::string_view name,
                   const ProfileList& profiles) const;  // 0 none, 1 unused, 2 static use
    void renameProfileInRecords(std::string_view oldName, std::string_view newName);
    ClientRecord* addStatic(const ClientFields& fields, bool allowDuplicateAddress,
                            const ProfileList& profiles);
    bool modifyStatic(ClientRecord& record, const ClientFields& fields, bool allowDuplicateAddress,
                      const ProfileList& profiles);
    bool deleteRecord(ClientList list, ClientRecord& record, const ProfileList& profiles);
    // Returns the number of records removed.
    std::size_t purgeDynamic(const ProfileList& profiles, bool autoExclude);

    // Unsaved-change counts, one per list.
    std::atomic<std::int32_t>& changes(ClientList list);
    void markChanged(ClientList list) { changes(list).fetch_add(1); }

    std::mutex& listLock() { return listLock_; }

  private:
    ClientRecord* at(std::uint32_t linkIndex);  // linkIndex = index + 1
    const ClientRecord* at(std::uint32_t linkIndex) const;
    bool owns(const ClientRecord& record) const;
    void reportNoMemory();

    // Link changes; the caller holds listLock_.
    void pushFrontLocked(ClientList list, ClientRecord& record);
    void insertAfterLocked(ClientList list, ClientRecord* after, ClientRecord& record);
    void unlinkLocked(ClientRecord& record);
    void releaseLocked(ClientRecord& record);

    const ClientRecord* findStaticByAddressExcept(Ipv4 address, const ClientRecord* skip) const;
    // Releases the reservation unless another static record (other than leaving) keeps the address.
    void releaseUnsharedReservation(Ipv4 address, const ClientRecord* leaving);
    bool staticChangeAllowed(const ClientFields& fields, bool allowDuplicateAddress,
                             const ProfileList& profiles, const ClientRecord* self) const;

    LogSink& log_;
    std::deque<ClientRecord> store_;
    std::uint32_t heads_[4] = {0, 0, 0, 0};
    std::uint32_t tails_[4] = {0, 0, 0, 0};
    std::atomic<std::size_t> sizes_[4] = {0, 0, 0, 0};
    std::atomic<std::int32_t> changes_[3];
    std::atomic<std::int32_t> unsavedElsewhere_{0};  // changes() of the free list and None
    std::mutex listLock_;
};

// Two identities are equal when kind, length and bytes are equal.
bool identityEquals(const Identity& a, const Identity& b);

}  // namespace tolmark
