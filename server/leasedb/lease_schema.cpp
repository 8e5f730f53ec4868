#include "server/leasedb/lease_schema.h"

#include <cstdlib>

#include "server/leasedb/pg_handles.h"

namespace tolmark::leasedb {
namespace {

// Every writer of the lease table takes this lock for the rest of its transaction before its
// row gets a sequence number, so that numbers are committed in the order they are given: a
// server that has seen number n has seen every change up to n.
//
// Rows are never deleted: a DELETE becomes the mark "removed", which the other servers follow
// like any change. The address is the primary key: one client per address.
constexpr const char* kCreateSchema = R"sql(
CREATE TABLE tolmark_schema (version integer NOT NULL);
CREATE SEQUENCE tolmark_lease_seq;
CREATE TABLE tolmark_leases (
    address       inet PRIMARY KEY,
    identity_kind smallint NOT NULL,
    identity      bytea NOT NULL,
    profile       bytea NOT NULL DEFAULT '\x',
    host_name     bytea NOT NULL DEFAULT '\x',
    remark        bytea NOT NULL DEFAULT '\x',
    seen_via      inet,
    last_access   bigint NOT NULL DEFAULT 0,
    expiry        bigint NOT NULL DEFAULT 0,
    removed       boolean NOT NULL DEFAULT false,
    origin        text,
    seq           bigint NOT NULL DEFAULT 0
);
CREATE INDEX tolmark_leases_by_seq ON tolmark_leases (seq);
CREATE FUNCTION tolmark_leases_stamp() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_advisory_xact_lock(1953459565);
    NEW.seq := nextval('tolmark_lease_seq');
    NEW.origin := nullif(current_setting('tolmark.origin', true), '');
    RETURN NEW;
END $$;
CREATE TRIGGER tolmark_leases_stamp BEFORE INSERT OR UPDATE ON tolmark_leases
    FOR EACH ROW EXECUTE FUNCTION tolmark_leases_stamp();
CREATE FUNCTION tolmark_leases_keep() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    UPDATE tolmark_leases SET removed = true, expiry = 0 WHERE address = OLD.address;
    RETURN NULL;
END $$;
CREATE TRIGGER tolmark_leases_keep BEFORE DELETE ON tolmark_leases
    FOR EACH ROW EXECUTE FUNCTION tolmark_leases_keep();
CREATE FUNCTION tolmark_leases_notify() RETURNS trigger LANGUAGE plpgsql AS $$
BEGIN
    PERFORM pg_notify('tolmark_leases', '');
    RETURN NULL;
END $$;
CREATE TRIGGER tolmark_leases_notify AFTER INSERT OR UPDATE OR DELETE ON tolmark_leases
    FOR EACH STATEMENT EXECUTE FUNCTION tolmark_leases_notify();
INSERT INTO tolmark_schema (version) VALUES (1);
)sql";

// The columns of a row, in the order decodeRow reads them.
#define TOLMARK_ROW_COLUMNS                                                                                  \
    "address, identity_kind, identity, profile, host_name, remark, seen_via, last_access, expiry, removed, " \
    "seq, origin"

// A claim or a write: the row is written when the address is free or as the writer last knew
// it (a claim: the holder $10/$11; a write also the expiry $13). The first column is the new
// sequence number (NULL: refused); the others are the row as it stood before, which names the
// holder that kept the address.
#define TOLMARK_PUT(condition)                                                                                      \
    "WITH put AS ("                                                                                                 \
    " INSERT INTO tolmark_leases AS l (address, identity_kind, identity, profile, host_name, remark, seen_via,"     \
    "  last_access, expiry, removed)"                                                                               \
    " VALUES ($1::inet, $2, $3, $4, $5, $6, $7::inet, $8, $9, false)"                                               \
    " ON CONFLICT (address) DO UPDATE SET identity_kind = excluded.identity_kind, identity = excluded.identity,"    \
    "  profile = excluded.profile, host_name = excluded.host_name, remark = excluded.remark,"                       \
    "  seen_via = excluded.seen_via, last_access = excluded.last_access, expiry = excluded.expiry, removed = false" \
    " WHERE " condition                                                                                             \
    " RETURNING seq)"                                                                                               \
    " SELECT (SELECT seq FROM put), h.address, h.identity_kind, h.identity, h.profile, h.host_name, h.remark,"      \
    "  h.seen_via, h.last_access, h.expiry, h.removed, h.seq, h.origin"                                             \
    " FROM (SELECT 1) AS one LEFT JOIN tolmark_leases h ON h.address = $1::inet"

#define TOLMARK_SAME_HOLDER "l.identity_kind = $10 AND l.identity = $11"

constexpr const char* kClaim = TOLMARK_PUT("l.removed OR l.expiry < $12 OR (" TOLMARK_SAME_HOLDER ")");
// A write also replaces a shorter lease of the same client (identity and profile) that it did
// not know: another server renewed the client for less time meanwhile, or the table was
// restored from a backup. The client may use the address as long as either lease says, so the
// longer one stands; handed back, the shorter would end this server's lease early.
constexpr const char* kPut = TOLMARK_PUT(
    "l.removed OR l.expiry < $12 OR (" TOLMARK_SAME_HOLDER
    " AND l.expiry = $13) OR (l.identity_kind = $2 AND l.identity = $3 AND l.profile = $4 AND l.expiry < $9)");
// A lease of the client files written at start, when the row may be newer or older than the
// file: over a row of the same client (identity and profile), the file's lease stands when it
// runs longer than a lease the row did not end (a release, a decline or a NAK clears the expiry),
// or than a removed one (a removal keeps the expiry; a hand DELETE does not, and then which came
// first cannot be told: the file's lease stands, as the client may still use the address).
// Anything else as for a write.
constexpr const char* kFilePut = TOLMARK_PUT(
    "CASE WHEN l.identity_kind = $2 AND l.identity = $3 AND l.profile = $4 AND $3 = $11 AND $2 = $10"
    " THEN CASE WHEN l.removed THEN l.expiry = 0 OR l.expiry < $9 ELSE l.expiry <> 0 AND l.expiry <= $9 END"
    " ELSE l.removed OR l.expiry < $12 OR (" TOLMARK_SAME_HOLDER " AND l.expiry = $13) END");

// A removal keeps the lease's expiry, by which a server that starts with an older copy of the
// lease in its files tells that the removal came after it.
constexpr const char* kRemove =
    "UPDATE tolmark_leases SET removed = true WHERE address = $1::inet"
    " AND (removed OR expiry < $4 OR (identity_kind = $2 AND identity = $3 AND expiry = $5)) RETURNING seq";

// The highest number in the table, and whether the row of this server's last acknowledged write
// (number $1 at address $2; none when $1 is 0) is numbered lower or gone. A row's number only
// grows and rows stay, so either says the table went back.
constexpr const char* kNewest =
    "SELECT coalesce(max(seq), 0), $1::bigint > 0 AND ((SELECT seq < $1 FROM tolmark_leases WHERE address = "
    "$2::inet) IS NOT FALSE) FROM tolmark_leases";

std::string followSql() {
    return "SELECT " TOLMARK_ROW_COLUMNS " FROM tolmark_leases WHERE seq > $1 ORDER BY seq LIMIT " +
           std::to_string(kFollowBatch);
}

std::string oneLine(const char* message) {
    std::string out(message != nullptr ? message : "");
    for (char& c : out) {
        if (c == '\n' || c == '\r' || c == '\t') c = ' ';
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

PgResult query(const RunStatement& run, const char* sql, std::string& error) {
    PgResult result = run([sql](PGconn* c) { return PQsendQuery(c, sql); }, error);
    if (result == nullptr) return nullptr;
    const ExecStatusType status = PQresultStatus(result.get());
    if (status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK) return result;
    error = oneLine(PQresultErrorMessage(result.get()));
    return nullptr;
}

bool execute(const RunStatement& run, const char* sql, std::string& error) { return query(run, sql, error) != nullptr; }

SchemaCheck failed(const RunStatement& run, std::string error) {
    std::string ignored;
    execute(run, "ROLLBACK", ignored);
    return {SchemaState::Failed, 0, std::move(error)};
}

}  // namespace

SchemaCheck ensureSchema(const RunStatement& run) {
    std::string error;
    if (!execute(run, "BEGIN", error)) return {SchemaState::Failed, 0, error};
    // Not the writers' lock (1953459565): creating the schema waits for no lease write.
    if (!execute(run, "SELECT pg_advisory_xact_lock(1953459564)", error)) return failed(run, error);

    const PgResult exists = query(run, "SELECT to_regclass('tolmark_schema') IS NOT NULL", error);
    if (exists == nullptr || PQntuples(exists.get()) != 1) return failed(run, error);
    if (PQgetvalue(exists.get(), 0, 0)[0] != 't') {
        if (!execute(run, kCreateSchema, error)) return failed(run, error);
    }
    const PgResult version = query(run, "SELECT max(version) FROM tolmark_schema", error);
    if (version == nullptr || PQntuples(version.get()) != 1) return failed(run, error);
    if (PQgetisnull(version.get(), 0, 0)) return failed(run, "the table tolmark_schema is empty");
    const int found = std::atoi(PQgetvalue(version.get(), 0, 0));
    if (!execute(run, "COMMIT", error)) return {SchemaState::Failed, found, error};
    if (found > kSchemaVersion) return {SchemaState::Newer, found, {}};
    if (found < 1) return {SchemaState::Failed, found, "the table tolmark_schema holds no valid version"};
    return {SchemaState::Ready, found, {}};
}

bool prepareStatements(const RunStatement& run, std::string& error) {
    struct Statement {
        const char* name;
        const char* sql;
        int parameters;
    };
    const std::string follow = followSql();
    for (const Statement& s :
         {Statement{kClaimStatement, kClaim, 12}, Statement{kPutStatement, kPut, 13},
          Statement{kFilePutStatement, kFilePut, 13}, Statement{kRemoveStatement, kRemove, 5},
          Statement{kFollowStatement, follow.c_str(), 1}, Statement{kNewestStatement, kNewest, 2}}) {
        const PgResult result =
            run([&s](PGconn* c) { return PQsendPrepare(c, s.name, s.sql, s.parameters, nullptr); }, error);
        if (result == nullptr) return false;
        if (PQresultStatus(result.get()) != PGRES_COMMAND_OK) {
            error = oneLine(PQresultErrorMessage(result.get()));
            return false;
        }
    }
    return true;
}

}  // namespace tolmark::leasedb
