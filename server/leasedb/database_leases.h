#pragma once
// The engine's and the control pipe's view of the lease database (SharedLeases): claims go to
// the database as they are, and the client table's journal becomes the writes that keep the
// database's rows what this server's records are.

#include <vector>

#include "server/leasedb/lease_database.h"
#include "server/leases/client_table.h"
#include "server/leases/engine_state.h"
#include "server/leases/shared_leases.h"

namespace tolmark::leasedb {

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

private:
    LeaseDatabase& database_;
    std::vector<JournalChange> changes_;  // reused: nothing is allocated per request
    std::vector<ClaimResult> results_;
    std::vector<LeaseRow> followed_;
};

}  // namespace tolmark::leasedb
