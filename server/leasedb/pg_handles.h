#pragma once
// Owners of libpq's connection and result objects.

#include <libpq-fe.h>

#include <memory>

namespace tolmark::leasedb {

struct ConnectionCloser {
    void operator()(PGconn* connection) const { PQfinish(connection); }
};
struct ResultClearer {
    void operator()(PGresult* result) const { PQclear(result); }
};
struct NotifyFreer {
    void operator()(PGnotify* notify) const { PQfreemem(notify); }
};
using PgConnection = std::unique_ptr<PGconn, ConnectionCloser>;
using PgResult = std::unique_ptr<PGresult, ResultClearer>;
using PgNotify = std::unique_ptr<PGnotify, NotifyFreer>;

// The connection's last error as one line (libpq ends its messages with a line break).
inline const char* connectionError(PGconn* connection, char* buffer, std::size_t capacity) {
    const char* message = connection != nullptr ? PQerrorMessage(connection) : "no connection";
    std::size_t n = 0;
    for (; message[n] != '\0' && n + 1 < capacity; ++n) {
        const char c = message[n];
        buffer[n] = (c == '\n' || c == '\r' || c == '\t') ? ' ' : c;
    }
    while (n > 0 && buffer[n - 1] == ' ') --n;
    buffer[n] = '\0';
    return buffer;
}

}  // namespace tolmark::leasedb
