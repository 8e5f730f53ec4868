#include "server/leasedb/libpq_library.h"

#include <dlfcn.h>

#include <atomic>
#include <mutex>

namespace tolmark::leasedb {

namespace {

template <typename Function>
bool findSymbol(void* library, const char* symbol, Function& slot, std::string& error) {
    void* address = ::dlsym(library, symbol);
    if (address == nullptr) {
        error = std::string(symbol) + " not found in the library";
        return false;
    }
    slot = reinterpret_cast<Function>(address);
    return true;
}

std::mutex loadLock;
LibpqFunctions loaded;  // guarded by loadLock until published below
// The process's libpq once it is loaded; it then stays loaded until the process ends.
std::atomic<const LibpqFunctions*> published{nullptr};

// What the text functions return without the library (libpq's own texts are not const either).
char noText[] = "";
char notLoaded[] = "libpq is not loaded";

const LibpqFunctions* functions() { return published.load(std::memory_order_acquire); }
const LibpqFunctions* functionsLoading();

// The call passed on to the library when it is loaded (loading it first when asked), else the
// fallback.
template <auto Member, typename Result, bool Load = false, typename... Args>
Result pass(Result fallback, Args... args) {
    const LibpqFunctions* f = Load ? functionsLoading() : functions();
    return f != nullptr ? (f->*Member)(args...) : fallback;
}

template <auto Member, typename... Args>
void passVoid(Args... args) {
    if (const LibpqFunctions* f = functions()) (f->*Member)(args...);
}

const LibpqFunctions* functionsLoading() {
    if (const LibpqFunctions* f = functions()) return f;
    std::string ignored;
    return loadLibpq(ignored) ? functions() : nullptr;
}

}  // namespace

bool LibpqFunctions::load(const char* name, std::string& error) {
    // Kept in memory even when its last handle is closed: a thread still ending when the
    // process exits may call into it.
    void* library = ::dlopen(name, RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
    if (library == nullptr) {
        const char* why = ::dlerror();
        error = why != nullptr ? why : std::string(name) + " cannot be loaded";
        return false;
    }
    LibpqFunctions f;
    const bool all =
        findSymbol(library, "PQconnectdbParams", f.connectdbParams, error) &&
        findSymbol(library, "PQstatus", f.status, error) &&
        findSymbol(library, "PQerrorMessage", f.errorMessage, error) &&
        findSymbol(library, "PQsocket", f.socket, error) && findSymbol(library, "PQfinish", f.finish, error) &&
        findSymbol(library, "PQsetNoticeProcessor", f.setNoticeProcessor, error) &&
        findSymbol(library, "PQconninfoParse", f.conninfoParse, error) &&
        findSymbol(library, "PQconninfoFree", f.conninfoFree, error) && findSymbol(library, "PQexec", f.exec, error) &&
        findSymbol(library, "PQexecParams", f.execParams, error) &&
        findSymbol(library, "PQprepare", f.prepare, error) &&
        findSymbol(library, "PQsendQueryPrepared", f.sendQueryPrepared, error) &&
        findSymbol(library, "PQsendQuery", f.sendQuery, error) &&
        findSymbol(library, "PQsendQueryParams", f.sendQueryParams, error) &&
        findSymbol(library, "PQsendPrepare", f.sendPrepare, error) &&
        findSymbol(library, "PQenterPipelineMode", f.enterPipelineMode, error) &&
        findSymbol(library, "PQpipelineSync", f.pipelineSync, error) &&
        findSymbol(library, "PQgetResult", f.getResult, error) &&
        findSymbol(library, "PQconsumeInput", f.consumeInput, error) &&
        findSymbol(library, "PQisBusy", f.isBusy, error) && findSymbol(library, "PQnotifies", f.notifies, error) &&
        findSymbol(library, "PQresultStatus", f.resultStatus, error) &&
        findSymbol(library, "PQresultErrorMessage", f.resultErrorMessage, error) &&
        findSymbol(library, "PQresultErrorField", f.resultErrorField, error) &&
        findSymbol(library, "PQntuples", f.ntuples, error) && findSymbol(library, "PQgetvalue", f.getvalue, error) &&
        findSymbol(library, "PQgetisnull", f.getisnull, error) && findSymbol(library, "PQclear", f.clear, error) &&
        findSymbol(library, "PQfreemem", f.freemem, error);
    // The library itself stays mapped (it is never deleted); the handle is not needed for calls.
    ::dlclose(library);
    if (!all) {
        error = std::string(name) + ": " + error;
        return false;
    }
    *this = f;
    return true;
}

bool loadLibpq(std::string& error) {
    if (functions() != nullptr) return true;
    const std::lock_guard<std::mutex> hold(loadLock);
    if (functions() != nullptr) return true;
    if (!loaded.load(kLibpqName, error)) return false;
    published.store(&loaded, std::memory_order_release);
    return true;
}

}  // namespace tolmark::leasedb

// The libpq functions the server calls, each passed on to the loaded library.
using tolmark::leasedb::LibpqFunctions;
using tolmark::leasedb::noText;
using tolmark::leasedb::notLoaded;
using tolmark::leasedb::pass;
using tolmark::leasedb::passVoid;
using F = LibpqFunctions;

extern "C" {

PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values, int expandDbname) {
    return pass<&F::connectdbParams, PGconn*, true>(nullptr, keywords, values, expandDbname);
}
PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    return pass<&F::conninfoParse, PQconninfoOption*, true>(nullptr, conninfo, errmsg);
}
ConnStatusType PQstatus(const PGconn* conn) { return pass<&F::status>(CONNECTION_BAD, conn); }
char* PQerrorMessage(const PGconn* conn) { return pass<&F::errorMessage, char*>(notLoaded, conn); }
int PQsocket(const PGconn* conn) { return pass<&F::socket>(-1, conn); }
void PQfinish(PGconn* conn) { passVoid<&F::finish>(conn); }
PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg) {
    return pass<&F::setNoticeProcessor, PQnoticeProcessor>(nullptr, conn, proc, arg);
}
void PQconninfoFree(PQconninfoOption* connOptions) { passVoid<&F::conninfoFree>(connOptions); }
PGresult* PQexec(PGconn* conn, const char* query) { return pass<&F::exec, PGresult*>(nullptr, conn, query); }
PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                       int resultFormat) {
    return pass<&F::execParams, PGresult*>(nullptr, conn, command, nParams, paramTypes, paramValues, paramLengths,
                                           paramFormats, resultFormat);
}
PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query, int nParams, const Oid* paramTypes) {
    return pass<&F::prepare, PGresult*>(nullptr, conn, stmtName, query, nParams, paramTypes);
}
int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams, const char* const* paramValues,
                        const int* paramLengths, const int* paramFormats, int resultFormat) {
    return pass<&F::sendQueryPrepared>(0, conn, stmtName, nParams, paramValues, paramLengths, paramFormats,
                                       resultFormat);
}
int PQsendQuery(PGconn* conn, const char* query) { return pass<&F::sendQuery>(0, conn, query); }
int PQsendQueryParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                      const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                      int resultFormat) {
    return pass<&F::sendQueryParams>(0, conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats,
                                     resultFormat);
}
int PQsendPrepare(PGconn* conn, const char* stmtName, const char* query, int nParams, const Oid* paramTypes) {
    return pass<&F::sendPrepare>(0, conn, stmtName, query, nParams, paramTypes);
}
int PQenterPipelineMode(PGconn* conn) { return pass<&F::enterPipelineMode>(0, conn); }
int PQpipelineSync(PGconn* conn) { return pass<&F::pipelineSync>(0, conn); }
PGresult* PQgetResult(PGconn* conn) { return pass<&F::getResult, PGresult*>(nullptr, conn); }
int PQconsumeInput(PGconn* conn) { return pass<&F::consumeInput>(0, conn); }
int PQisBusy(PGconn* conn) { return pass<&F::isBusy>(0, conn); }
PGnotify* PQnotifies(PGconn* conn) { return pass<&F::notifies, PGnotify*>(nullptr, conn); }
ExecStatusType PQresultStatus(const PGresult* res) { return pass<&F::resultStatus>(PGRES_FATAL_ERROR, res); }
char* PQresultErrorMessage(const PGresult* res) { return pass<&F::resultErrorMessage, char*>(noText, res); }
char* PQresultErrorField(const PGresult* res, int fieldcode) {
    return pass<&F::resultErrorField, char*>(nullptr, res, fieldcode);
}
int PQntuples(const PGresult* res) { return pass<&F::ntuples>(0, res); }
char* PQgetvalue(const PGresult* res, int tup_num, int field_num) {
    return pass<&F::getvalue, char*>(noText, res, tup_num, field_num);
}
int PQgetisnull(const PGresult* res, int tup_num, int field_num) {
    return pass<&F::getisnull>(1, res, tup_num, field_num);
}
void PQclear(PGresult* res) { passVoid<&F::clear>(res); }
void PQfreemem(void* ptr) { passVoid<&F::freemem>(ptr); }

}  // extern "C"
