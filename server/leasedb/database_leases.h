#pragma once
// The engine's and the control pipe's view of the lease database (SharedLeases): claims go to
// the database as they are, and the client table's journal becomes the writes that keep the
// database's rows what this server's records are.

#include <unordered_set>
#include <vector>

#include "server/leasedb/lease_database.h"
#include "server/leases/client_table.h"
#include "server/leases/engine_state.h"
#include "server/leases/shared_leases.h"

namespace tolmark::leasedb {

// At start, where a row of the database and a lease of this server's client files name the same
// address: which of them stands. The row does, unless the file's lease of the same client
// (identity and profile) is the newer: it runs longer than the row's lease (a renewal given
// while the database was away, whose write was lost when the server stopped), which no release,
// decline or NAK ended; or longer than the lease a removal removed, or than a removal that says
// nothing of the lease (a hand DELETE). A removal of another client's lease leaves the file's.
// The client files keep no time of last contact: the expiries are all there is to go by.
enum class StartChoice : std::uint8_t {
    Row,   // the row's lease, or its removal, replaces the file's
    File,  // the file's lease stays and is written to the database
};
StartChoice chooseAtStart(const LeaseRow& row, const ClientFields& file);

class DatabaseLeases final : public SharedLeases {
public:
    explicit DatabaseLeases(LeaseDatabase& database) : database_(database) {}

    bool claimsPossible() const override { return database_.available(); }
    // Signalled when the database has answers to claims or other writers' changes.
    const platform::WakeEvent& ready() const { return database_.ready(); }
    // Applies the leases the other servers changed to the table and gives the claims' answers.
    void takeAnswers(EngineState& engine, std::vector<ClaimAnswer>& answers) REQUIRES(engine.lock);
    bool claim(std::uint64_t ticket, const LeaseFields& lease, const Identity& previous, std::int64_t now) override;
    void writeJournal(ClientTable& table, std::int64_t now) override;
    // Writes the journal's leases as leases of the client files at start (LeasePut::fromFile).
    void writeFileLeases(ClientTable& table, std::int64_t now) { write(table, now, true); }

private:
    void write(ClientTable& table, std::int64_t now, bool fromFile);
    // A row read anew after the table went back (restored from a backup), at an address where
    // this server holds a running lease, and that says the address is free (removed, expired,
    // released) or holds a shorter lease of the same client (identity and profile), or another
    // client's lease that this server wrote over after it (LeaseRow::supersededHere) and whose
    // client was last heard from no later than this server's: the row is the older, and the
    // server's lease is written back in its place, so that no server gives the address out while
    // the client still uses it. False for any other row, which is
    // followed as usual: another client's running lease stands.
    bool writeBack(ClientTable& table, const LeaseRow& row, std::int64_t now);
    // Once the table has been read anew: the running leases at addresses it has no row of (given
    // since the backup) are written back.
    void writeUnread(ClientTable& table, std::int64_t now);

    LeaseDatabase& database_;
    std::vector<JournalChange> changes_;  // reused: nothing is allocated per request
    std::vector<ClaimResult> results_;
    std::vector<LeaseRow> followed_;
    std::uint64_t rereads_ = 0;                 // of the database, when last taken
    std::unordered_set<Ipv4> rereadAddresses_;  // the addresses of the rows read anew so far
};

}  // namespace tolmark::leasedb
