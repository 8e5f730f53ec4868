#pragma once
// libpq, loaded when a lease database is first used rather than at the server's start. Linked
// in, libpq brings some twenty libraries with it (Kerberos, LDAP, SASL, GnuTLS and what they
// use): a server that keeps its leases in files would map them all, a few megabytes resident,
// and code it never runs. The server calls the PQ functions of <libpq-fe.h> as usual; this
// folder defines them, and each passes the call on to the library once it is loaded.
//
// Until the library is loaded (or when it cannot be), the functions that make a connection or
// parse a connection string return null, those that free something do nothing, and the others
// report failure (a bad connection, an error result, no rows): without a connection there is
// nothing else for them to be called with.

#include <libpq-fe.h>

#include <string>

namespace tolmark::leasedb {

// The library's file name: the major version of libpq's stable interface.
inline constexpr const char* kLibpqName = "libpq.so.5";

// Every libpq function the server calls, found in one loaded library.
struct LibpqFunctions {
    decltype(&::PQconnectdbParams) connectdbParams = nullptr;
    decltype(&::PQstatus) status = nullptr;
    decltype(&::PQerrorMessage) errorMessage = nullptr;
    decltype(&::PQsocket) socket = nullptr;
    decltype(&::PQfinish) finish = nullptr;
    decltype(&::PQsetNoticeProcessor) setNoticeProcessor = nullptr;
    decltype(&::PQconninfoParse) conninfoParse = nullptr;
    decltype(&::PQconninfoFree) conninfoFree = nullptr;
    decltype(&::PQexec) exec = nullptr;
    decltype(&::PQexecParams) execParams = nullptr;
    decltype(&::PQprepare) prepare = nullptr;
    decltype(&::PQsendQueryPrepared) sendQueryPrepared = nullptr;
    decltype(&::PQsendQuery) sendQuery = nullptr;
    decltype(&::PQsendQueryParams) sendQueryParams = nullptr;
    decltype(&::PQsendPrepare) sendPrepare = nullptr;
    decltype(&::PQenterPipelineMode) enterPipelineMode = nullptr;
    decltype(&::PQpipelineSync) pipelineSync = nullptr;
    decltype(&::PQgetResult) getResult = nullptr;
    decltype(&::PQconsumeInput) consumeInput = nullptr;
    decltype(&::PQisBusy) isBusy = nullptr;
    decltype(&::PQnotifies) notifies = nullptr;
    decltype(&::PQresultStatus) resultStatus = nullptr;
    decltype(&::PQresultErrorMessage) resultErrorMessage = nullptr;
    decltype(&::PQresultErrorField) resultErrorField = nullptr;
    decltype(&::PQntuples) ntuples = nullptr;
    decltype(&::PQgetvalue) getvalue = nullptr;
    decltype(&::PQgetisnull) getisnull = nullptr;
    decltype(&::PQclear) clear = nullptr;
    decltype(&::PQfreemem) freemem = nullptr;

    // Loads the library of that name and finds every function in it. False, with the loader's
    // reason (the file missing, a function it lacks), when it cannot; the members are then
    // left as they were.
    bool load(const char* name, std::string& error);
};

// Loads libpq for the whole process if it is not yet loaded. False, with the reason, when it
// cannot be; a later call tries again (the library may have been installed meanwhile).
bool loadLibpq(std::string& error);

}  // namespace tolmark::leasedb
