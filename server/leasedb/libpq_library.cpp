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
        findSymbol(library, "PQenterPipelineMode", f.enterPipelineMode, error) &&
        findSymbol(library, "PQpipelineSync", f.pipelineSync, error) &&
        findSymbol(library, "PQgetResult", f.getResult, error) &&
        findSymbol(library, "PQconsumeInput", f.consumeInput, error) &&
        findSymbol(library, "PQnotifies", f.notifies, error) &&
        findSymbol(library, "PQresultStatus", f.resultStatus, error) &&
        findSymbol(library, "PQresultErrorMessage", f.resultErrorMessage, error) &&
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
using tolmark::leasedb::functions;
using tolmark::leasedb::functionsLoading;
using tolmark::leasedb::noText;
using tolmark::leasedb::notLoaded;

extern "C" {

PGconn* PQconnectdbParams(const char* const* keywords, const char* const* values, int expandDbname) {
    const auto* f = functionsLoading();
    return f != nullptr ? f->connectdbParams(keywords, values, expandDbname) : nullptr;
}

PQconninfoOption* PQconninfoParse(const char* conninfo, char** errmsg) {
    if (errmsg != nullptr) *errmsg = nullptr;
    const auto* f = functionsLoading();
    return f != nullptr ? f->conninfoParse(conninfo, errmsg) : nullptr;
}

ConnStatusType PQstatus(const PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->status(conn) : CONNECTION_BAD;
}

char* PQerrorMessage(const PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->errorMessage(conn) : notLoaded;
}

int PQsocket(const PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->socket(conn) : -1;
}

void PQfinish(PGconn* conn) {
    if (const auto* f = functions()) f->finish(conn);
}

PQnoticeProcessor PQsetNoticeProcessor(PGconn* conn, PQnoticeProcessor proc, void* arg) {
    const auto* f = functions();
    return f != nullptr ? f->setNoticeProcessor(conn, proc, arg) : nullptr;
}

void PQconninfoFree(PQconninfoOption* connOptions) {
    if (const auto* f = functions()) f->conninfoFree(connOptions);
}

PGresult* PQexec(PGconn* conn, const char* query) {
    const auto* f = functions();
    return f != nullptr ? f->exec(conn, query) : nullptr;
}

PGresult* PQexecParams(PGconn* conn, const char* command, int nParams, const Oid* paramTypes,
                       const char* const* paramValues, const int* paramLengths, const int* paramFormats,
                       int resultFormat) {
    const auto* f = functions();
    return f != nullptr ? f->execParams(conn, command, nParams, paramTypes, paramValues, paramLengths, paramFormats,
                                        resultFormat)
                        : nullptr;
}

PGresult* PQprepare(PGconn* conn, const char* stmtName, const char* query, int nParams, const Oid* paramTypes) {
    const auto* f = functions();
    return f != nullptr ? f->prepare(conn, stmtName, query, nParams, paramTypes) : nullptr;
}

int PQsendQueryPrepared(PGconn* conn, const char* stmtName, int nParams, const char* const* paramValues,
                        const int* paramLengths, const int* paramFormats, int resultFormat) {
    const auto* f = functions();
    return f != nullptr
               ? f->sendQueryPrepared(conn, stmtName, nParams, paramValues, paramLengths, paramFormats, resultFormat)
               : 0;
}

int PQenterPipelineMode(PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->enterPipelineMode(conn) : 0;
}

int PQpipelineSync(PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->pipelineSync(conn) : 0;
}

PGresult* PQgetResult(PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->getResult(conn) : nullptr;
}

int PQconsumeInput(PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->consumeInput(conn) : 0;
}

PGnotify* PQnotifies(PGconn* conn) {
    const auto* f = functions();
    return f != nullptr ? f->notifies(conn) : nullptr;
}

ExecStatusType PQresultStatus(const PGresult* res) {
    const auto* f = functions();
    return f != nullptr ? f->resultStatus(res) : PGRES_FATAL_ERROR;
}

char* PQresultErrorMessage(const PGresult* res) {
    const auto* f = functions();
    return f != nullptr ? f->resultErrorMessage(res) : noText;
}

int PQntuples(const PGresult* res) {
    const auto* f = functions();
    return f != nullptr ? f->ntuples(res) : 0;
}

char* PQgetvalue(const PGresult* res, int tup_num, int field_num) {
    const auto* f = functions();
    return f != nullptr ? f->getvalue(res, tup_num, field_num) : noText;
}

int PQgetisnull(const PGresult* res, int tup_num, int field_num) {
    const auto* f = functions();
    return f != nullptr ? f->getisnull(res, tup_num, field_num) : 1;
}

void PQclear(PGresult* res) {
    if (const auto* f = functions()) f->clear(res);
}

void PQfreemem(void* ptr) {
    if (const auto* f = functions()) f->freemem(ptr);
}

}  // extern "C"
