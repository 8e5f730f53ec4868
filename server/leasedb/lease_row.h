#pragma once
// One row of the shared lease table: a dynamic client record as the database holds it, and the
// change a server asks the database to make to it.
//
// A row is keyed by its address (the table's primary key: one client per address). Every write
// gets a new sequence number from the database, in commit order, so that a server follows the
// others' changes by asking for the rows past the last number it has seen.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/client_record.h"
#include "server/leases/shared_leases.h"

namespace tolmark::leasedb {

struct LeaseRow {
    ClientFields fields;
    bool removed = false;  // the record was removed; the address is free for anyone (the
                           // expiry is the removed lease's, or 0 after a hand DELETE)
    std::int64_t seq = 0;  // the database's number of the last write
    std::string origin;    // the server process that wrote it last; empty for other writers
    // Read anew after the table went back (restored from a backup): the row may be older than
    // what the servers have written and followed since. Such rows of this server's own writes
    // come too.
    bool reread = false;
    // Read anew, and this server had written the address after this row: the table lost that
    // later change when it went back.
    bool supersededHere = false;
};

// A change to one address: the record as it is to stand (or its removal), on condition that
// the row is missing, removed or expired at `now` (the server's clock), or else that it is as
// this server last knew it: a claim needs the same holder (`previous`), any other change the same
// holder and the same expiry (`previousExpiry`), so that a server that has not yet seen another's
// lease of the address cannot undo it. A lease of the client files written at start
// (`fromFile`) is judged against a row of the same client by the expiries alone, as
// chooseAtStart (database_leases.h) judges it.
struct LeasePut {
    LeaseFields fields;
    Identity previous;
    bool remove = false;
    std::int64_t now = 0;
    std::int64_t previousExpiry = 0;
    bool fromFile = false;
};

// The text columns of one result row, as libpq returns them (nullptr for NULL).
struct RowTexts {
    const char* address = nullptr;
    const char* identityKind = nullptr;
    const char* identity = nullptr;  // bytea in hex form ("\x...")
    const char* profile = nullptr;   // bytea
    const char* hostName = nullptr;  // bytea
    const char* remark = nullptr;    // bytea
    const char* seenVia = nullptr;
    const char* lastAccess = nullptr;
    const char* expiry = nullptr;
    const char* removed = nullptr;
    const char* seq = nullptr;
    const char* origin = nullptr;
};

// The row, or the reason it cannot be a client record (a hand edit that broke it). Nothing in a
// row is trusted: lengths, kinds, addresses and numbers are all checked.
struct DecodedRow {
    std::optional<LeaseRow> row;
    const char* problem = nullptr;
    // When only the client's columns are broken (identity, profile, names, times other than the
    // expiry): the row still says that its address is taken until it expires. This row holds
    // the address for no client (an empty identity and profile), so that no server gives it out
    // meanwhile; empty for a removed row.
    std::optional<LeaseRow> held{};
};
DecodedRow decodeRow(const RowTexts& texts);

// Bytes of a bytea column in hex form; nullopt when the text is not that form.
std::optional<std::string> decodeBytea(const char* text);

}  // namespace tolmark::leasedb
