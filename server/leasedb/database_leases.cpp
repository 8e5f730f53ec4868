#include "server/leasedb/database_leases.h"

#include <ctime>

#include "server/leases/client_rules.h"

namespace tolmark::leasedb {
namespace {

// A running lease of a client: not a record freed by hand, nor an address held for no client
// (a reservation for a static entry, a row whose client could not be read).
bool clientLease(const ClientRecord& record, std::int64_t now) {
    return record.expiry > now && record.identity->kind() != kIdentityFree && record.identity->length() != 0;
}

}  // namespace

bool DatabaseLeases::claim(std::uint64_t ticket, const LeaseFields& lease, const Identity& previous, std::int64_t now) {
    return database_.claim(ticket, LeasePut{lease, previous, false, now});
}

void DatabaseLeases::takeAnswers(EngineState& engine, std::vector<ClaimAnswer>& answers) {
    results_.clear();
    followed_.clear();
    // A table read anew to its end has all its rows among those taken with the count.
    const std::uint64_t rereads = database_.take(results_, followed_);
    const std::int64_t now = std::time(nullptr);
    for (const LeaseRow& row : followed_) {
        if (row.reread) rereadAddresses_.insert(row.fields.address);
        if (row.reread && writeBack(engine.clients, row, now)) continue;
        // This server's own write, read anew: its records are as new as the row or newer.
        if (row.reread && row.origin == database_.origin()) continue;
        applySharedLease(engine.clients, row.fields, row.removed, engine.profiles, now);
    }
    if (rereads != rereads_) {
        rereads_ = rereads;
        writeUnread(engine.clients, now);
    }
    for (const ClaimResult& r : results_) answers.push_back(ClaimAnswer{r.ticket, r.outcome});
}

void DatabaseLeases::writeUnread(ClientTable& table, std::int64_t now) {
    for (const ClientRecord* r = table.first(ClientList::Dynamic); r != nullptr; r = table.next(*r)) {
        if (!clientLease(*r, now) || rereadAddresses_.contains(r->address)) continue;
        database_.put(LeasePut{LeaseFields::from(*r), r->identity->get(), false, now, r->expiry});
    }
    rereadAddresses_.clear();
}

bool DatabaseLeases::writeBack(ClientTable& table, const LeaseRow& row, std::int64_t now) {
    const ClientRecord* record = table.findAddress(ClientList::Dynamic, row.fields.address, nullptr);
    if (record == nullptr || !clientLease(*record, now)) return false;
    LeasePut mine{LeaseFields::from(*record), row.fields.identity, false, now, row.fields.expiry};
    const bool free = row.removed || row.fields.expiry <= now;
    const bool sameClient = identityEquals(mine.fields.identity, row.fields.identity) &&
                            profileNameEquals(mine.fields.profile.view(), row.fields.profile);
    // Another client's lease that this server wrote over after it (the address was given anew
    // once that lease ended): the server's lease is the newer, however long the row's runs. The
    // numbers alone cannot tell it from a lease another server gave after the restore, which
    // numbers its changes again from below this server's lost writes: that one's client was
    // heard from later than this server's, whose lease then gives way like a lost claim.
    const bool replacedHere = row.supersededHere && !sameClient && row.fields.lastAccess <= mine.fields.lastAccess;
    if (!replacedHere && (record->expiry <= row.fields.expiry || !(free || sameClient))) return false;
    database_.put(mine);
    return true;
}

StartChoice chooseAtStart(const LeaseRow& row, const ClientFields& file) {
    const bool sameClient =
        identityEquals(file.identity, row.fields.identity) && profileNameEquals(file.profile, row.fields.profile);
    // The removal of another client's lease leaves the address free for the file's.
    if (file.expiry == kExpiryReserved || !sameClient) return row.removed ? StartChoice::File : StartChoice::Row;
    // A removal keeps the lease's expiry: the file knew no more of the lease than the row did,
    // or renewed it (maybe after the removal: the client may still use the address). A hand
    // DELETE clears it, and which came first cannot be told.
    if (row.removed)
        return row.fields.expiry == 0 || file.expiry > row.fields.expiry ? StartChoice::File : StartChoice::Row;
    // A release, a decline or a NAK through another server clears the expiry: it ended the lease.
    return row.fields.expiry != 0 && file.expiry > row.fields.expiry ? StartChoice::File : StartChoice::Row;
}

void DatabaseLeases::writeJournal(ClientTable& table, std::int64_t now) { write(table, now, false); }

void DatabaseLeases::write(ClientTable& table, std::int64_t now, bool fromFile) {
    changes_.clear();
    table.takeJournal(changes_);
    for (const JournalChange& change : changes_) {
        const ClientRecord* record = change.record;
        // An offer that never was a lease stays this server's own: the database holds leases.
        if (change.previousExpiry <= now && (record == nullptr || record->expiry <= now)) continue;
        // A record removed by hand keeps its place in the list with the free mark: its address
        // leaves the database like one that left the list.
        const bool gone = record == nullptr || record->identity->kind() == kIdentityFree;
        const Ipv4 address = record != nullptr ? record->address.get() : 0;
        if (change.previousAddress != 0 && (gone || change.previousAddress != address)) {
            LeasePut removal;
            removal.fields.address = change.previousAddress;
            removal.previous = change.previousIdentity;
            removal.previousExpiry = change.previousExpiry;
            removal.remove = true;
            removal.now = now;
            database_.put(removal);
        }
        if (gone || address == 0) continue;
        database_.put(
            LeasePut{LeaseFields::from(*record), change.previousIdentity, false, now, change.previousExpiry, fromFile});
    }
}

}  // namespace tolmark::leasedb
