#pragma once
// The shared lease table's schema, created by the first server that finds none and checked by
// every server at start: a server never works on a schema newer than the one it knows.

#include <libpq-fe.h>

#include <string>

namespace tolmark::leasedb {

// The schema this server creates and works on.
inline constexpr int kSchemaVersion = 1;

enum class SchemaState { Ready, Newer, Failed };

struct SchemaCheck {
    SchemaState state = SchemaState::Failed;
    int version = 0;    // the version found (or created)
    std::string error;  // Failed: the database's message, on one line
};

// Creates the schema when there is none (under a lock, so that two servers starting at once
// create it once) and reports the version found. The connection is in its normal mode.
SchemaCheck ensureSchema(PGconn* connection);

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
bool prepareStatements(PGconn* connection, std::string& error);

}  // namespace tolmark::leasedb
