#include "server/leasedb/lease_database.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <random>
#include <span>
#include <string>
#include <string_view>

#include "server/leasedb/lease_schema.h"
#include "server/leasedb/libpq_library.h"

namespace tolmark::leasedb {
namespace {

std::string makeOrigin() {
    std::random_device random;
    char text[40];
    std::snprintf(text, sizeof text, "%ld-%08x%08x", static_cast<long>(::getpid()), random(), random());
    return text;
}

// The values of one statement's parameters, in place: numbers and addresses as text, byte
// strings as binary. Lives on the stack of the call that sends it.
class Parameters {
public:
    void text(const char* value) { add(value, 0, 0); }
    void number(std::int64_t value) {
        char* slot = numbers_[numberCount_++];
        std::snprintf(slot, kNumberWidth, "%" PRId64, value);
        add(slot, 0, 0);
    }
    void address(Ipv4 value) {
        addresses_[addressCount_] = formatIpv4(value);
        add(addresses_[addressCount_++].c_str(), 0, 0);
    }
    void addressOrNull(Ipv4 value) {
        if (value == 0)
            add(nullptr, 0, 0);
        else
            address(value);
    }
    // A NULL pointer would be SQL NULL: an empty value points at an empty string.
    void bytes(const void* data, std::size_t length) {
        add(length == 0 ? "" : static_cast<const char*>(data), static_cast<int>(length), 1);
    }
    void bytes(std::string_view value) { bytes(value.data(), value.size()); }

    int count() const { return count_; }
    const char* const* values() const { return values_; }
    const int* lengths() const { return lengths_; }
    const int* formats() const { return formats_; }

private:
    static constexpr int kMax = 13;
    static constexpr std::size_t kNumberWidth = 24;
    void add(const char* value, int length, int format) {
        values_[count_] = value;
        lengths_[count_] = length;
        formats_[count_] = format;
        ++count_;
    }
    const char* values_[kMax] = {};
    int lengths_[kMax] = {};
    int formats_[kMax] = {};
    int count_ = 0;
    char numbers_[kMax][kNumberWidth] = {};
    int numberCount_ = 0;
    AddressText addresses_[kMax] = {};
    int addressCount_ = 0;
};

RowTexts rowTexts(const PGresult* result, int row, int first) {
    auto column = [&](int n) -> const char* {
        return PQgetisnull(result, row, first + n) ? nullptr : PQgetvalue(result, row, first + n);
    };
    return RowTexts{.address = column(0),
                    .identityKind = column(1),
                    .identity = column(2),
                    .profile = column(3),
                    .hostName = column(4),
                    .remark = column(5),
                    .seenVia = column(6),
                    .lastAccess = column(7),
                    .expiry = column(8),
                    .removed = column(9),
                    .seq = column(10),
                    .origin = column(11)};
}

std::string resultError(const PGresult* result, PGconn* connection) {
    char line[512];
    const char* message = result != nullptr ? PQresultErrorMessage(result) : "";
    if (message == nullptr || *message == '\0') return connectionError(connection, line, sizeof line);
    std::size_t n = 0;
    for (; message[n] != '\0' && n + 1 < sizeof line; ++n) line[n] = message[n] == '\n' ? ' ' : message[n];
    while (n > 0 && line[n - 1] == ' ') --n;
    line[n] = '\0';
    return line;
}

// What a statement's failure (its SQLSTATE) says about the batch it was in.
enum class Failure {
    Statement,    // this row's data: the statement is dropped, the others go again
    Transaction,  // lost to another transaction (a deadlock, a serialization failure): all go again
    Server,       // the database takes no writes now: they wait as for a lost connection
};

Failure classify(const char* state) {
    if (state == nullptr || std::strlen(state) != 5) return Failure::Server;
    const std::string_view category(state, 2);
    if (category == "40") return Failure::Transaction;
    // Data exceptions, integrity constraints (a check a hand edit added), program limits (a row
    // too large) and errors raised by triggers concern the row written. Anything else (a read-only
    // standby, a full disk, a cancelled statement, a permission taken away, a shutdown) would
    // fail every write alike: dropping them would lose the leases they carry.
    if (category == "22" || category == "23" || category == "54" || category == "P0") return Failure::Statement;
    return Failure::Server;
}

// A connection names its string as "dbname" with expansion: libpq reads it as a connection
// string when it has a "=" or starts as a URI, and as the name of a database otherwise.
bool isConnectionString(std::string_view connection) {
    return connection.find('=') != std::string_view::npos || connection.starts_with("postgresql://") ||
           connection.starts_with("postgres://");
}

struct OptionsFree {
    void operator()(PQconninfoOption* options) const { PQconninfoFree(options); }
};
using ConnectionOptions = std::unique_ptr<PQconninfoOption, OptionsFree>;

// The options a connection string gives, or null with libpq's reason (on one line).
ConnectionOptions parseConnection(const std::string& connection, std::string& error) {
    char* message = nullptr;
    ConnectionOptions options(PQconninfoParse(connection.c_str(), &message));
    if (options == nullptr) {
        error = message != nullptr ? message : "out of memory";
        while (!error.empty() && (error.back() == '\n' || error.back() == ' ')) error.pop_back();
    }
    if (message != nullptr) PQfreemem(message);
    return options;
}

// Calls each(keyword, value) for every option the string sets.
template <class Each>
void forEachSetOption(const ConnectionOptions& options, Each&& each) {
    for (const PQconninfoOption* o = options.get(); o->keyword != nullptr; ++o) {
        if (o->val != nullptr && *o->val != '\0') each(std::string_view(o->keyword), o->val);
    }
}

bool isOptionName(std::string_view word) {
    std::string error;
    const ConnectionOptions all = parseConnection("", error);
    if (all == nullptr) return false;
    for (const PQconninfoOption* o = all.get(); o->keyword != nullptr; ++o) {
        if (word == o->keyword) return true;
    }
    return false;
}

// libpq's reasons for a connection string it cannot read quote the string: the whole of a URI,
// the word before a missing "=", a bad percent-encoding. Any of them can be the password, so
// every quoted part taken from the string, apart from option names, is left out.
std::string withoutSecrets(std::string message, const std::string& connection) {
    std::string error;
    if (!isConnectionString(connection) || parseConnection(connection, error) != nullptr) return message;
    std::string out;
    std::size_t at = 0;
    // A quote the message was cut in runs to its end.
    for (std::size_t open; (open = message.find('"', at)) != std::string::npos;) {
        const std::size_t close = std::min(message.find('"', open + 1), message.size());
        const std::string_view quoted = std::string_view(message).substr(open + 1, close - open - 1);
        const bool hasWord = std::any_of(quoted.begin(), quoted.end(), [](char c) { return std::isalnum(c) != 0; });
        const bool secret = hasWord && connection.find(quoted) != std::string::npos && !isOptionName(quoted);
        out.append(message, at, open + 1 - at).append(secret ? "..." : quoted);
        if (close == message.size()) return out;
        out.push_back('"');
        at = close + 1;
    }
    return out.append(message, at);
}

// The parts of a connection string that say which database it is; a password never.
std::string describeConnection(const std::string& connection) {
    std::string error;
    if (!loadLibpq(error)) return "(connection string not read: " + error + ")";
    if (!isConnectionString(connection)) return "dbname=" + connection;
    const ConnectionOptions options = parseConnection(connection, error);
    if (options == nullptr) return "(connection string not understood)";
    std::string out;
    forEachSetOption(options, [&out](std::string_view key, const char* value) {
        if (key != "host" && key != "hostaddr" && key != "port" && key != "dbname" && key != "user") return;
        if (!out.empty()) out += ' ';
        out.append(key).append("=").append(value);
    });
    return out.empty() ? "(the libpq defaults)" : out;
}

}  // namespace

bool checkConnectionString(const std::string& connection, std::string& error) {
    std::string why;
    if (!loadLibpq(why)) {
        error = "libpq cannot be loaded: " + why;
        return false;
    }
    if (!isConnectionString(connection)) return true;
    if (parseConnection(connection, why) == nullptr) {
        error = "not a connection string libpq reads: " + withoutSecrets(why, connection);
        return false;
    }
    return true;
}

bool connectionHoldsPassword(const std::string& connection) {
    std::string error;
    if (!isConnectionString(connection) || !loadLibpq(error)) return false;
    const ConnectionOptions options = parseConnection(connection, error);
    bool holds = false;
    if (options != nullptr)
        forEachSetOption(options, [&holds](std::string_view key, const char*) { holds = holds || key == "password"; });
    return holds;
}

LeaseDatabase::LeaseDatabase(std::string connectionString, LogSink& log, std::chrono::milliseconds statementTimeout)
    : connectionString_(std::move(connectionString)),
      log_(log),
      statementTimeout_(statementTimeout),
      origin_(makeOrigin()),
      description_(describeConnection(connectionString_)),
      answerLimit_(statementTimeout + kAnswerGrace),
      retryRandom_(std::random_device{}()) {
    batch_.reserve(kBatchLimit);
    written_.reserve(kBatchLimit);
}

LeaseDatabase::~LeaseDatabase() { stop(); }

LeaseDatabase::Connected LeaseDatabase::connect(std::string& error) {
    if (!loadLibpq(error)) return Connected::No;
    // Defaults first: the administrator's connection string, expanded from "dbname", overrides
    // them. A peer that vanishes without closing is noticed within seconds, not hours.
    const char* keywords[] = {"connect_timeout",
                              "keepalives_idle",
                              "keepalives_interval",
                              "keepalives_count",
                              "tcp_user_timeout",
                              "application_name",
                              "dbname",
                              nullptr};
    const char* values[] = {"5", "10", "3", "3", "15000", "Velkora", connectionString_.c_str(), nullptr};
    PgConnection c(PQconnectdbParams(keywords, values, 1));
    char line[512];
    if (c == nullptr || PQstatus(c.get()) != CONNECTION_OK) {
        error = withoutSecrets(connectionError(c.get(), line, sizeof line), connectionString_);
        return Connected::No;
    }
    // The server's notices (a shutdown announced, say) are not for the console: what matters
    // reaches the log as a lost connection.
    PQsetNoticeProcessor(
        c.get(), [](void*, const char*) {}, nullptr);
    // Every statement's answer is waited for with a limit (a database frozen now would keep the
    // start, or the worker and the stop, waiting for ever): until the timeout in force is read,
    // the one this connection sets.
    answerLimit_ = statementTimeout_ + kAnswerGrace;
    const RunStatement run = [this, &c](const std::function<int(PGconn*)>& send, std::string& why) {
        return setUpStatement(c.get(), send, why);
    };
    std::string why;
    // The text of a statement's failure: the database's message, or why no answer came.
    const auto failure = [&](const PgResult& result) {
        return result == nullptr ? why : resultError(result.get(), c.get());
    };
    // The worker waits for its statements; one the database keeps waiting must end, or claims
    // would go unanswered and the server could not stop. A timeout the database already sets
    // for this role or database is the administrator's and stays.
    const std::string timeout = std::to_string(statementTimeout_.count());
    const char* timeoutValues[] = {timeout.c_str()};
    const PgResult timeoutSet = run(
        [&timeoutValues](PGconn* pg) {
            return PQsendQueryParams(pg,
                                     "SELECT set_config('statement_timeout', $1, false) "
                                     "WHERE current_setting('statement_timeout') = '0'",
                                     1, nullptr, timeoutValues, nullptr, nullptr, 0);
        },
        why);
    if (PQresultStatus(timeoutSet.get()) != PGRES_TUPLES_OK) {
        error = failure(timeoutSet);
        return Connected::No;
    }
    // The timeout in force, the administrator's or this one, bounds how long an answer may take.
    const PgResult timeoutRead = run(
        [](PGconn* pg) { return PQsendQuery(pg, "SELECT setting FROM pg_settings WHERE name = 'statement_timeout'"); },
        why);
    const char* inForce = PQresultStatus(timeoutRead.get()) == PGRES_TUPLES_OK && PQntuples(timeoutRead.get()) == 1
                              ? PQgetvalue(timeoutRead.get(), 0, 0)
                              : "";
    char* end = nullptr;
    const long long inForceMs = std::strtoll(inForce, &end, 10);
    answerLimit_ =
        (*inForce != '\0' && *end == '\0' && inForceMs > 0 ? std::chrono::milliseconds(inForceMs) : statementTimeout_) +
        kAnswerGrace;
    const SchemaCheck schema = ensureSchema(run);
    if (schema.state == SchemaState::Newer) {
        error = "schema version " + std::to_string(schema.version) + " is newer than this server knows (" +
                std::to_string(kSchemaVersion) + ")";
        return Connected::SchemaNewer;
    }
    if (schema.state != SchemaState::Ready) {
        error = schema.error;
        return Connected::No;
    }
    const char* originValues[] = {origin_.c_str()};
    const PgResult origin = run(
        [&originValues](PGconn* pg) {
            return PQsendQueryParams(pg, "SELECT set_config('tolmark.origin', $1, false)", 1, nullptr, originValues,
                                     nullptr, nullptr, 0);
        },
        why);
    if (PQresultStatus(origin.get()) != PGRES_TUPLES_OK) {
        error = failure(origin);
        return Connected::No;
    }
    const PgResult listen = run([](PGconn* pg) { return PQsendQuery(pg, "LISTEN tolmark_leases"); }, why);
    if (PQresultStatus(listen.get()) != PGRES_COMMAND_OK) {
        error = failure(listen);
        return Connected::No;
    }
    if (!prepareStatements(run, error)) return Connected::No;
    const PgResult pid = run([](PGconn* pg) { return PQsendQuery(pg, "SELECT pg_backend_pid()"); }, why);
    if (PQresultStatus(pid.get()) != PGRES_TUPLES_OK || PQntuples(pid.get()) != 1) {
        error = failure(pid);
        return Connected::No;
    }
    backendPid_ = std::atoi(PQgetvalue(pid.get(), 0, 0));
    // A table restored from a backup (or made anew) numbers its changes again from an earlier
    // point: numbers this server has seen come again for new changes, so all of it is read anew.
    // The newest number alone cannot tell: the other servers may have written as many changes
    // since the restore as this server had seen since the backup. The row it saw last can: it
    // is where it was unless the table went back past it. A row's number only grows, and rows
    // stay: its address numbered lower than that, or gone, or the newest number below it, and
    // the table surely went back (restoredSince_ says so to the rows read). Numbered higher, the
    // row changed since (a renewal, say), and the changes are followed from the number as
    // usual. Reading the whole table again would tell no more: a restore after which the other
    // servers wrote both this row and the row of this server's own last write (checked here
    // too) past the numbers it knew goes unseen either way, as the rows read would be taken as
    // changes, not as a restore's. Only the same number on a row that reads otherwise has the
    // whole table read again.
    if (lastSeq_ > 0) {
        Parameters p;
        p.number(lastSeq_);
        for (const std::string& column : lastRow_) p.text(column.c_str());
        p.number(ownSeq_);
        p.address(ownAddress_);
        const PgResult same = run(
            [&p](PGconn* pg) {
                return PQsendQueryParams(
                    pg,
                    "SELECT (SELECT count(*) FROM tolmark_leases WHERE seq = $1 AND address = $2::inet "
                    "AND expiry = $3 AND last_access = $4 AND removed = $5) = 1 OR (SELECT seq > $1 FROM "
                    "tolmark_leases WHERE address = $2::inet) IS TRUE, (SELECT seq < $1 FROM tolmark_leases WHERE "
                    "address = $2::inet) IS NOT FALSE OR (SELECT coalesce(max(seq), 0) FROM tolmark_leases) < $1 OR "
                    "($6::bigint > 0 AND (SELECT seq < $6 FROM tolmark_leases WHERE address = $7::inet) IS NOT "
                    "FALSE)",
                    p.count(), nullptr, p.values(), p.lengths(), p.formats(), 0);
            },
            why);
        if (PQresultStatus(same.get()) != PGRES_TUPLES_OK || PQntuples(same.get()) != 1) {
            error = failure(same);
            return Connected::No;
        }
        if (PQgetvalue(same.get(), 0, 1)[0] == 't')
            wentBack();
        else if (PQgetvalue(same.get(), 0, 0)[0] != 't')
            lastSeq_ = 0;
    }
    if (PQenterPipelineMode(c.get()) != 1) {
        error = connectionError(c.get(), line, sizeof line);
        return Connected::No;
    }
    connection_ = std::move(c);
    return Connected::Yes;
}

OpenResult LeaseDatabase::open(const std::function<void(LeaseRow&&)>& row) {
    std::string error;
    const Connected connected = connect(error);
    // The worker, once started, says when the database is back.
    reportedDown_ = connected != Connected::Yes;
    if (connected == Connected::SchemaNewer) return {OpenStatus::SchemaNewer, 0, error};
    if (connected == Connected::No) return {OpenStatus::Unreachable, 0, error};
    std::vector<LeaseRow> rows;
    char line[512];
    if (!follow([&rows](LeaseRow&& r) { rows.push_back(std::move(r)); })) {
        error = connectionError(connection_.get(), line, sizeof line);
        connection_.reset();
        reportedDown_ = true;
        return {OpenStatus::Unreachable, 0, error};
    }
    std::sort(rows.begin(), rows.end(), [](const LeaseRow& a, const LeaseRow& b) {
        return ipv4ToHostOrder(a.fields.address) < ipv4ToHostOrder(b.fields.address);
    });
    for (LeaseRow& r : rows) row(std::move(r));
    available_.store(true, std::memory_order_release);
    return {OpenStatus::Ready, kSchemaVersion, {}};
}

void LeaseDatabase::start() {
    if (worker_.joinable()) return;
    stop_.reset();
    worker_ = std::thread([this] { run(); });
}

void LeaseDatabase::stop() {
    stop_.signal();
    if (worker_.joinable()) worker_.join();
}

bool LeaseDatabase::claim(std::uint64_t ticket, const LeasePut& put) {
    if (!available()) return false;
    std::lock_guard<std::mutex> guard(lock_);
    if (waitingClaims_ >= kMaxWaitingClaims) return false;
    ++waitingClaims_;
    queue_.push_back(Op{OpKind::Claim, ticket, put});
    work_.signal();
    return true;
}

void LeaseDatabase::put(const LeasePut& put) {
    const OpKind kind = put.remove ? OpKind::Remove : put.fromFile ? OpKind::FilePut : OpKind::Put;
    std::lock_guard<std::mutex> guard(lock_);
    if (!available()) {
        // Away: one waiting write per address, the latest state with the oldest condition.
        const auto last = lastOfAddress_.find(put.fields.address);
        if (last != lastOfAddress_.end()) {
            Op& op = *last->second;
            // The database still holds what the first of them knew: the holder and its expiry
            // (or, for a lease of the files, nothing known).
            const Identity previous = op.put.previous;
            const std::int64_t previousExpiry = op.put.previousExpiry;
            const bool fromFile = op.kind == OpKind::FilePut;
            op.put = put;
            op.put.previous = previous;
            op.put.previousExpiry = previousExpiry;
            op.put.fromFile = fromFile && kind != OpKind::Remove;
            op.kind = op.put.fromFile ? OpKind::FilePut : kind;
            return;
        }
        queue_.push_back(Op{kind, 0, put});
        lastOfAddress_[put.fields.address] = &queue_.back();
    } else {
        queue_.push_back(Op{kind, 0, put});
    }
    work_.signal();
}

std::uint64_t LeaseDatabase::take(std::vector<ClaimResult>& claims, std::vector<LeaseRow>& followed) {
    std::lock_guard<std::mutex> guard(lock_);
    ready_.reset();
    claims.insert(claims.end(), answers_.begin(), answers_.end());
    answers_.clear();
    for (LeaseRow& row : followed_) followed.push_back(std::move(row));
    followed_.clear();
    return rereads_.load(std::memory_order_relaxed);
}

std::size_t LeaseDatabase::waiting() const {
    std::lock_guard<std::mutex> guard(lock_);
    return queue_.size() + inFlight_.load();
}

void LeaseDatabase::answer(std::uint64_t ticket, Ipv4 address, ClaimOutcome outcome) {
    std::lock_guard<std::mutex> guard(lock_);
    if (waitingClaims_ > 0) --waitingClaims_;
    answers_.push_back(ClaimResult{ticket, address, outcome});
    ready_.signal();
}

void LeaseDatabase::answerQueuedClaims(ClaimOutcome outcome) {
    std::lock_guard<std::mutex> guard(lock_);
    std::deque<Op> kept;
    for (Op& op : queue_) {
        if (op.kind == OpKind::Claim) {
            answers_.push_back(ClaimResult{op.ticket, op.put.fields.address, outcome});
            if (waitingClaims_ > 0) --waitingClaims_;
        } else {
            kept.push_back(op);
        }
    }
    queue_.swap(kept);
    lastOfAddress_.clear();
    for (Op& op : queue_) lastOfAddress_[op.put.fields.address] = &op;
    if (!answers_.empty()) ready_.signal();
}

void LeaseDatabase::disconnect(const std::string& reason) {
    connection_.reset();
    available_.store(false, std::memory_order_release);
    // Claims still waiting can no longer be promised; their clients ask again.
    answerQueuedClaims(ClaimOutcome::Unavailable);
    // A connection given up for the stop is no news.
    if (!reportedDown_ && !stop_.signalled()) {
        reportedDown_ = true;
        log_.line(1, true, "DHCP  Leases  database unreachable (%s): no new addresses until it is back\n",
                  reason.c_str());
    }
}

void LeaseDatabase::run() {
    int pauseMs = kFirstRetryMs;  // before the next attempt, once the connection is lost
    bool followPending = false;   // notified while the last look was under way
    auto deliverFollowed = [this](LeaseRow&& row) {
        std::lock_guard<std::mutex> guard(lock_);
        followed_.push_back(std::move(row));
        ready_.signal();
    };
    while (!stop_.signalled()) {
        if (!connection_) {
            if (stop_.sleepFor(std::chrono::milliseconds(pauseMs))) break;
            std::string error;
            if (connect(error) != Connected::Yes) {
                disconnect(error);
                pauseMs = std::min(pauseMs * 2, kLongestRetryMs);
                continue;
            }
            // What waited goes out first, then everything the others wrote meanwhile comes in.
            // A database that takes connections but no writes is tried less and less often too.
            if (!writeQueued() || !follow(deliverFollowed)) {
                pauseMs = std::min(pauseMs * 2, kLongestRetryMs);
                continue;
            }
            pauseMs = kFirstRetryMs;
            {
                std::lock_guard<std::mutex> guard(lock_);
                lastOfAddress_.clear();
                available_.store(true, std::memory_order_release);
            }
            if (reportedDown_) {
                reportedDown_ = false;
                log_.line(1, true, "DHCP  Leases  database reachable again\n");
            }
        }

        const int fds[] = {PQsocket(connection_.get()), work_.fd()};
        bool readable[2] = {};
        const platform::WaitResult waited =
            platform::waitReadable(std::span<const int>(fds, 2), &stop_, kFollowPeriodMs, std::span<bool>(readable, 2));
        if (waited == platform::WaitResult::Woken || stop_.signalled()) break;
        bool followNow = followPending || waited == platform::WaitResult::Timeout;
        followPending = false;
        if (readable[0]) {
            if (PQconsumeInput(connection_.get()) != 1 || PQstatus(connection_.get()) != CONNECTION_OK) {
                char line[512];
                disconnect(connectionError(connection_.get(), line, sizeof line));
                continue;
            }
            followNow = othersNotified() || followNow;
        }
        if (readable[1]) work_.reset();
        if (!writeQueued()) continue;
        // A notification that came while the worker waited for an answer was read with it: libpq
        // holds it, and the socket no longer shows it. Those that came with the writes' answers
        // are looked at now, those that came with the look's in the next round, after the writes.
        // A write's number can tell that the table went back: it is read anew at once.
        followNow = othersNotified() || followNow || restoredSince_;
        if (followNow && !follow(deliverFollowed)) continue;
        if (othersNotified()) {
            followPending = true;
            work_.signal();
        }
    }
    connection_.reset();
    available_.store(false, std::memory_order_release);
}

bool LeaseDatabase::othersNotified() {
    // The table's triggers notify this connection of its own writes too: those are not followed.
    bool others = false;
    while (PgNotify notify = PgNotify(PQnotifies(connection_.get()))) others = others || notify->be_pid != backendPid_;
    return others;
}

bool LeaseDatabase::writeQueued() {
    int lost = 0;  // tries in a row lost to other transactions
    for (;;) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (queue_.empty()) return true;
        }
        const BatchEnd end = writeBatch();
        if (end == BatchEnd::ConnectionLost) return false;
        if (end == BatchEnd::Written) {
            lost = 0;
            reportedLosing_ = false;
            continue;
        }
        // Another server (or a hand edit) took the same rows first. Sent again at once, both
        // would meet again the same way: each waits a pause of its own first, drawn at random and
        // longer with every try. The worker waits here, not the engine; the claims in the batch
        // are answered when it goes.
        if (++lost > kBatchRetries) {
            if (!reportedLosing_)
                log_.line(1, true,
                          "DHCP  Leases  writes lost to other transactions %d times in a row: %zu wait for "
                          "the next round\n",
                          lost, waiting());
            reportedLosing_ = true;
            return true;
        }
        std::uniform_int_distribution<int> pauseMs(5, 10 << lost);
        if (stop_.sleepFor(std::chrono::milliseconds(pauseMs(retryRandom_)))) return true;
    }
}

void LeaseDatabase::pushBack(std::vector<Op>& ops, std::size_t from) {
    std::lock_guard<std::mutex> guard(lock_);
    for (std::size_t i = ops.size(); i > from; --i) {
        queue_.push_front(ops[i - 1]);
        // A later write of the address still waiting is newer: it stays the one to replace.
        if (!available() && queue_.front().kind != OpKind::Claim)
            lastOfAddress_.try_emplace(queue_.front().put.fields.address, &queue_.front());
    }
    ops.clear();
    inFlight_.store(0);
}

void LeaseDatabase::takeBatch() {
    std::lock_guard<std::mutex> guard(lock_);
    while (!queue_.empty() && batch_.size() < kBatchLimit) {
        Op& op = queue_.front();
        const auto last = lastOfAddress_.find(op.put.fields.address);
        if (last != lastOfAddress_.end() && last->second == &op) lastOfAddress_.erase(last);
        batch_.push_back(op);
        queue_.pop_front();
    }
    inFlight_.store(batch_.size());
}

bool LeaseDatabase::awaitAnswer(PGconn* c, std::string& why) {
    const auto end = std::chrono::steady_clock::now() + answerLimit_;
    char line[512];
    while (PQisBusy(c) == 1) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count();
        const int fd = PQsocket(c);
        bool readable = false;
        const platform::WaitResult waited =
            left > 0 ? platform::waitReadable(std::span<const int>(&fd, 1), &stop_, static_cast<int>(left),
                                              std::span<bool>(&readable, 1))
                     : platform::WaitResult::Timeout;
        if (waited == platform::WaitResult::Timeout) {
            why = "no answer for " + std::to_string((answerLimit_.count() + 999) / 1000) + " s";
            return false;
        }
        if (waited != platform::WaitResult::Readable) {
            why = waited == platform::WaitResult::Woken ? "stopping" : "cannot wait for the answer";
            return false;
        }
        if (PQconsumeInput(c) != 1) {
            why = connectionError(c, line, sizeof line);
            return false;
        }
    }
    return true;
}

PgResult LeaseDatabase::nextResult(std::string& why) {
    PGconn* c = connection_.get();
    if (!awaitAnswer(c, why)) return nullptr;
    PgResult result(PQgetResult(c));
    char line[512];
    if (result == nullptr) why = connectionError(c, line, sizeof line);
    return result;
}

PgResult LeaseDatabase::setUpStatement(PGconn* c, const std::function<int(PGconn*)>& send, std::string& why) {
    char line[512];
    if (send(c) != 1) {
        why = connectionError(c, line, sizeof line);
        return nullptr;
    }
    // As PQexec: the last result of several, which is the error where one failed.
    PgResult last;
    for (;;) {
        if (!awaitAnswer(c, why)) return nullptr;
        PgResult result(PQgetResult(c));
        if (result == nullptr) break;
        last = std::move(result);
    }
    if (last == nullptr) why = connectionError(c, line, sizeof line);
    return last;
}

bool LeaseDatabase::sendOp(const Op& op) {
    const LeaseFields& f = op.put.fields;
    const Identity& previous = op.put.previous;
    Parameters p;
    p.address(f.address);
    const char* statement = kRemoveStatement;
    if (op.kind == OpKind::Remove) {
        p.number(previous.kind);
        p.bytes(previous.bytes.data(), previous.length);
        p.number(op.put.now);
        p.number(op.put.previousExpiry);
    } else {
        p.number(f.identity.kind);
        p.bytes(f.identity.bytes.data(), f.identity.length);
        p.bytes(f.profile.view());
        p.bytes(f.hostName.view());
        p.bytes(f.remark.view());
        p.addressOrNull(f.seenVia);
        p.number(f.lastAccess);
        p.number(f.expiry);
        p.number(previous.kind);
        p.bytes(previous.bytes.data(), previous.length);
        // A claim takes another client's lease only kClockGrace after its end by this clock.
        p.number(op.kind == OpKind::Claim ? op.put.now - kClockGrace.count() : op.put.now);
        // A claim needs the holder only; any other write also the expiry it last knew.
        statement = op.kind == OpKind::Claim ? kClaimStatement
                    : op.kind == OpKind::Put ? kPutStatement
                                             : kFilePutStatement;
        if (op.kind != OpKind::Claim) p.number(op.put.previousExpiry);
    }
    return PQsendQueryPrepared(connection_.get(), statement, p.count(), p.values(), p.lengths(), p.formats(), 0) == 1;
}

LeaseDatabase::BatchEnd LeaseDatabase::writeBatch() {
    takeBatch();
    PGconn* c = connection_.get();
    char line[512];
    for (const Op& op : batch_) {
        if (!sendOp(op)) {
            pushBack(batch_, 0);
            disconnect(connectionError(c, line, sizeof line));
            return BatchEnd::ConnectionLost;
        }
    }
    if (PQpipelineSync(c) != 1) {
        pushBack(batch_, 0);
        disconnect(connectionError(c, line, sizeof line));
        return BatchEnd::ConnectionLost;
    }

    // One transaction: when a statement fails, none of the batch took effect.
    std::size_t failedAt = batch_.size();
    std::string failure;
    Failure kind = Failure::Statement;
    std::vector<LeaseRow> holders;
    std::vector<ClaimResult> answers;
    // A new number is above every number given before; one this server got or saw came again,
    // or a holder older than this server's own write of the address: the table went back.
    bool back = false;
    std::int64_t ownSeq = ownSeq_;
    Ipv4 ownAddress = ownAddress_;
    written_.clear();
    std::string why;
    for (std::size_t i = 0; i < batch_.size(); ++i) {
        PgResult result = nextResult(why);
        if (result == nullptr) {
            pushBack(batch_, 0);
            disconnect(why);
            return BatchEnd::ConnectionLost;
        }
        const ExecStatusType status = PQresultStatus(result.get());
        if (status != PGRES_TUPLES_OK) {
            if (failedAt == batch_.size() && status != PGRES_PIPELINE_ABORTED) {
                failedAt = i;
                failure = resultError(result.get(), c);
                kind = classify(PQresultErrorField(result.get(), PG_DIAG_SQLSTATE));
            }
        } else if (failedAt == batch_.size()) {
            const Op& op = batch_[i];
            const Ipv4 address = op.put.fields.address;
            const bool done = PQntuples(result.get()) == 1 && !PQgetisnull(result.get(), 0, 0);
            if (op.kind == OpKind::Claim)
                answers.push_back(ClaimResult{op.ticket, address, done ? ClaimOutcome::Won : ClaimOutcome::Lost});
            if (done) {
                const std::int64_t seq = std::strtoll(PQgetvalue(result.get(), 0, 0), nullptr, 10);
                back = back || seq <= std::max(ownSeq, lastSeq_);
                ownSeq = seq;
                ownAddress = address;
                written_.emplace_back(address, seq);
            }
            // The holder that kept the address: the engine learns it now, not at the next look.
            if (op.kind != OpKind::Remove && !done && PQntuples(result.get()) == 1 &&
                !PQgetisnull(result.get(), 0, 1)) {
                DecodedRow holder = decodeRow(rowTexts(result.get(), 0, 1));
                if (std::optional<LeaseRow>& row = holder.row ? holder.row : holder.held) {
                    const std::int64_t* own = ownWrites_.find(address);
                    back = back || (own != nullptr && *own > row->seq);
                    holders.push_back(std::move(*row));
                }
            }
        }
        // Each statement's results end with a null result.
        PgResult end(PQgetResult(c));
        (void)end;
    }
    PgResult sync = nextResult(why);
    if (sync == nullptr || PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
        pushBack(batch_, 0);
        disconnect(sync == nullptr ? why : connectionError(c, line, sizeof line));
        return BatchEnd::ConnectionLost;
    }

    if (failedAt != batch_.size()) {
        // Nothing of the batch took effect; what goes again goes in the order it came.
        if (kind == Failure::Statement) {
            // The statement the database refused is dropped with a line.
            const Op& bad = batch_[failedAt];
            log_.line(1, true, "DHCP  Leases  write of %s refused: %s\n", formatIpv4(bad.put.fields.address).c_str(),
                      failure.c_str());
            if (bad.kind == OpKind::Claim) answer(bad.ticket, bad.put.fields.address, ClaimOutcome::Unavailable);
            batch_.erase(batch_.begin() + static_cast<std::ptrdiff_t>(failedAt));
        }
        pushBack(batch_, 0);
        if (kind == Failure::Transaction) return BatchEnd::LostToOthers;
        if (kind == Failure::Statement) return BatchEnd::Written;
        disconnect(failure);
        return BatchEnd::ConnectionLost;
    }
    batch_.clear();
    inFlight_.store(0);
    if (back) wentBack();
    // Holders are judged as the rows read anew after the table went back are: before this batch's
    // numbers, which are newer than any of them, replace those of the writes the table lost.
    for (LeaseRow& row : holders) {
        row.reread = restoredSince_;
        markSuperseded(row);
    }
    ownSeq_ = ownSeq;
    ownAddress_ = ownAddress;
    for (const auto& [address, seq] : written_) {
        // The table's sequence starts at 1; a 0 would mark an empty slot.
        if (seq > 0) ownWrites_.slot(address) = seq;
    }
    if (!answers.empty() || !holders.empty()) {
        std::lock_guard<std::mutex> guard(lock_);
        waitingClaims_ -= std::min(waitingClaims_, answers.size());
        answers_.insert(answers_.end(), answers.begin(), answers.end());
        for (LeaseRow& row : holders) followed_.push_back(std::move(row));
        ready_.signal();
    }
    return BatchEnd::Written;
}

void LeaseDatabase::wentBack() {
    lastSeq_ = 0;
    restoredSince_ = true;
    // The last write has told what it can: the rows read anew are judged by ownWrites_, and the
    // next acknowledged write is checked from here on.
    ownSeq_ = 0;
    ownAddress_ = 0;
}

void LeaseDatabase::markSuperseded(LeaseRow& row) const {
    if (!row.reread) return;
    const std::int64_t* own = ownWrites_.find(row.fields.address);
    row.supersededHere = own != nullptr && *own > row.seq;
}

bool LeaseDatabase::follow(const std::function<void(LeaseRow&&)>& deliver) {
    PGconn* c = connection_.get();
    char line[512];
    for (;;) {
        Parameters p;
        p.number(lastSeq_);
        Parameters own;
        own.number(ownSeq_);
        own.address(ownAddress_);
        if (PQsendQueryPrepared(c, kFollowStatement, p.count(), p.values(), p.lengths(), p.formats(), 0) != 1 ||
            PQsendQueryPrepared(c, kNewestStatement, own.count(), own.values(), own.lengths(), own.formats(), 0) != 1 ||
            PQpipelineSync(c) != 1) {
            disconnect(connectionError(c, line, sizeof line));
            return false;
        }
        std::string why;
        PgResult result = nextResult(why);
        PgResult end(result != nullptr ? PQgetResult(c) : nullptr);
        PgResult newest = result != nullptr ? nextResult(why) : nullptr;
        PgResult newestEnd(newest != nullptr ? PQgetResult(c) : nullptr);
        PgResult sync = newest != nullptr ? nextResult(why) : nullptr;
        if (result == nullptr || newest == nullptr || sync == nullptr ||
            PQresultStatus(sync.get()) != PGRES_PIPELINE_SYNC) {
            disconnect(sync == nullptr ? why : connectionError(c, line, sizeof line));
            return false;
        }
        for (const PgResult* r : {&result, &newest}) {
            if (PQresultStatus(r->get()) != PGRES_TUPLES_OK) {
                disconnect(resultError(r->get(), c));
                return false;
            }
        }
        // Rows are never deleted and every write numbers its row anew: a table whose newest
        // number is below one this server has seen went back (restored from a backup into the
        // running database, the connections left open), and numbers it has seen come again for
        // new changes; so did one where this server's last write is numbered lower or gone,
        // though it had not read that write back yet. All of it is read anew.
        if (PQntuples(newest.get()) == 1 && (std::strtoll(PQgetvalue(newest.get(), 0, 0), nullptr, 10) < lastSeq_ ||
                                             PQgetvalue(newest.get(), 0, 1)[0] == 't')) {
            wentBack();
            continue;
        }
        const int rows = PQntuples(result.get());
        for (int i = 0; i < rows; ++i) {
            const std::int64_t seq = std::strtoll(PQgetvalue(result.get(), i, 10), nullptr, 10);
            lastSeq_ = std::max(lastSeq_, seq);
            DecodedRow decoded = decodeRow(rowTexts(result.get(), i, 0));
            if (!decoded.row) {
                // A running lease whose client cannot be named still keeps its address from
                // every other client.
                if (decoded.held && decoded.held->fields.expiry > std::time(nullptr)) {
                    log_.line(1, false, "DHCP  Leases  row %s: bad %s; the address counts as held until %" PRId64 "\n",
                              PQgetvalue(result.get(), i, 0), decoded.problem, decoded.held->fields.expiry);
                    decoded.row = std::move(decoded.held);
                } else {
                    log_.line(1, false, "DHCP  Leases  row %s skipped: bad %s\n", PQgetvalue(result.get(), i, 0),
                              decoded.problem);
                    continue;
                }
            }
            // This server's own write, unless the table went back: then the row may be an older
            // state of a lease this server has changed since.
            if (decoded.row->origin == origin_ && !restoredSince_) continue;
            decoded.row->reread = restoredSince_;
            markSuperseded(*decoded.row);
            deliver(std::move(*decoded.row));
        }
        if (rows > 0) {
            // Ordered by number: the last row is the newest.
            for (int column = 0; const int at : {0, 8, 7, 9})
                lastRow_[column++] = PQgetvalue(result.get(), rows - 1, at);
        }
        if (rows < kFollowBatch) {
            if (restoredSince_) {
                // The writes numbered past the table's end are gone with no row of their address.
                ownWrites_.eraseIf([this](Ipv4, std::int64_t seq) { return seq > lastSeq_; });
                // Counted and signalled under the lock that take() holds: the engine either sees
                // the count with the last rows, or is woken again for it after taking them (it
                // then writes back the leases the table read anew has no row of).
                std::lock_guard<std::mutex> guard(lock_);
                rereads_.fetch_add(1, std::memory_order_release);
                ready_.signal();
            }
            restoredSince_ = false;
            return true;
        }
    }
}

}  // namespace tolmark::leasedb
