#pragma once
// The shared lease table's schema, created by the first server that finds none and checked by
// every server at start: a server never works on a schema newer than the one it knows.

#include <libpq-fe.h>

#include <functional>
#include <string>

#include "server/leasedb/pg_handles.h"

namespace tolmark::leasedb {

// The schema this server creates and works on.
inline constexpr int kSchemaVersion = 1;

enum class SchemaState { Ready, Newer, Failed };

struct SchemaCheck {
    SchemaState state = SchemaState::Failed;
    int version = 0;    // the version found (or created)
    std::string error;  // Failed: the database's message, on one line
};

// Sends one statement (send returns 1 once it is sent) on the connection being set up, in its
// normal mode, and returns its result (of several statements, the last, as PQexec does); null,
// with why, when it could not be sent or its answer did not come in time.
using RunStatement = std::function<PgResult(const std::function<int(PGconn*)>& send, std::string& why)>;

// Creates the schema when there is none (under a lock, so that two servers starting at once
// create it once) and reports the version found.
SchemaCheck ensureSchema(const RunStatement& run);

// The statements the servers prepare on every connection.
inline constexpr const char* kClaimStatement = "tolmark_claim";
inline constexpr const char* kPutStatement = "tolmark_put";
inline constexpr const char* kFilePutStatement = "tolmark_file_put";
inline constexpr const char* kRemoveStatement = "tolmark_remove";
inline constexpr const char* kFollowStatement = "tolmark_follow";
// The highest number in the table, and whether this server's last write is still there.
inline constexpr const char* kNewestStatement = "tolmark_newest";
// Rows one follow query returns at most.
inline constexpr int kFollowBatch = 2000;
bool prepareStatements(const RunStatement& run, std::string& error);

}  // namespace tolmark::leasedb
