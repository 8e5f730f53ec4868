#include "server/leasedb/libpq_library.h"

#include <gtest/gtest.h>

#include "server/leasedb/pg_handles.h"

namespace tolmark::leasedb {
namespace {

TEST(LibpqLibrary, RefusesALibraryItCannotUseAndPassesCallsToTheRealOne) {
    // A file that does not exist, and a library without libpq's functions: refused with the
    // reason, nothing taken from them.
    for (const char* name : {"libtolmark-none.so.0", "libc.so.6"}) {
        LibpqFunctions f;
        std::string error;
        EXPECT_FALSE(f.load(name, error)) << name;
        EXPECT_NE(error.find(name == std::string("libc.so.6") ? "PQconnectdbParams not found" : name),
                  std::string::npos)
            << error;
        EXPECT_EQ(f.connectdbParams, nullptr);
        EXPECT_EQ(f.freemem, nullptr);
    }

    std::string error;
    ASSERT_TRUE(loadLibpq(error)) << error;
    ASSERT_TRUE(loadLibpq(error));  // once loaded, it stays
    // A connection to a socket directory that does not exist fails in the library itself,
    // which says why.
    const char* keywords[] = {"host", "connect_timeout", nullptr};
    const char* values[] = {"/nonexistent-tolmark", "1", nullptr};
    PgConnection c(PQconnectdbParams(keywords, values, 0));
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(PQstatus(c.get()), CONNECTION_BAD);
    char line[256];
    EXPECT_NE(std::string(connectionError(c.get(), line, sizeof line)).find("nonexistent-tolmark"), std::string::npos)
        << line;
    char* parseError = nullptr;
    PQconninfoOption* options = PQconninfoParse("dbname=", &parseError);
    EXPECT_NE(options, nullptr);
    PQconninfoFree(options);
    options = PQconninfoParse("no equals sign", &parseError);
    EXPECT_EQ(options, nullptr);
    ASSERT_NE(parseError, nullptr);
    PQfreemem(parseError);
}

}  // namespace
}  // namespace tolmark::leasedb
