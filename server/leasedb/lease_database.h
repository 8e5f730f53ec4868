#pragma once
// The server's client of the shared lease table (PostgreSQL through libpq).
//
// Start-up reads the whole table on the caller's thread. Afterwards one worker thread owns the
// connection: it writes the changes queued by the engine and the control pipe in batches (one
// transaction and one round trip per batch), answers claims (an address asked for one client,
// granted when the address is free or already that client's), and follows the rows the other
// servers write (LISTEN/NOTIFY, and a look every few seconds besides). Nothing here blocks the
// request path: the engine queues, the worker answers through a wake-up event, and the receive
// loop takes the answers.
//
// While the database cannot be reached, claims are refused at once (no new address is handed
// out), writes wait in order (one per address: a later write of an address replaces an earlier
// one still waiting) and go out when the connection is back; the worker reconnects with a
// growing pause, and says so in the log once when the database goes and once when it is back.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <utility>
#include <vector>

#include "common/log_sink.h"
#include "platform/wake_event.h"
#include "server/leasedb/lease_row.h"
#include "server/leasedb/pg_handles.h"
#include "server/leases/flat_heads.h"

namespace tolmark::leasedb {

enum class OpenStatus { Ready, Unreachable, SchemaNewer, Failed };
struct OpenResult {
    OpenStatus status = OpenStatus::Failed;
    int schemaVersion = 0;
    std::string error;
};

struct ClaimResult {
    std::uint64_t ticket = 0;
    Ipv4 address = 0;
    ClaimOutcome outcome = ClaimOutcome::Unavailable;
};

// Pauses between connection attempts: doubled from the first up to the last.
inline constexpr int kFirstRetryMs = 500;
inline constexpr int kLongestRetryMs = 30000;
// The other servers' changes are looked for at least this often, notified or not.
inline constexpr int kFollowPeriodMs = 5000;
// A statement the database keeps waiting (a hand edit's transaction left open holds the
// writers' lock) is ended after this long, unless the database's own setting says otherwise:
// the connection then counts as lost, claims are refused and the writes wait.
inline constexpr std::chrono::milliseconds kStatementTimeout{10000};
// A statement's answer is waited for this much longer than the statement may run: past it,
// the database (frozen, or its host hung with the connection open) cannot end the statement
// itself, and the connection counts as lost.
inline constexpr std::chrono::milliseconds kAnswerGrace{5000};
// How long after its end another server's lease still keeps its address from a claim: the
// servers' clocks may disagree by this much, and the client counts its lease from the server
// that gave it. A claim of the client's own lease, or of an address released, removed or free,
// waits for nothing.
inline constexpr std::chrono::seconds kClockGrace{5};
// Changes written in one transaction at most.
inline constexpr std::size_t kBatchLimit = 256;
// A batch that lost to another transaction (a deadlock, a serialization failure) goes again
// after a short pause drawn at random, so that two servers that keep meeting on the same rows
// fall out of step rather than try again together; after this many tries in a row it waits
// for the next round of the worker (new work, or the next look at the others' changes).
inline constexpr int kBatchRetries = 5;
// Claims waiting for the database at most: beyond, a claim is refused at once (its client asks
// again), so that an overload never grows a queue whose answers would all come too late.
inline constexpr std::size_t kMaxWaitingClaims = 1024;

// Whether libpq loads and reads the connection string as a connection will ("LeaseDatabase" is
// a libpq connection string, a postgresql:// URI or a bare database name); false with why.
bool checkConnectionString(const std::string& connection, std::string& error);
// Whether the connection string itself holds a password (password=..., or user:password@ in a URI).
bool connectionHoldsPassword(const std::string& connection);

class LeaseDatabase {
public:
    LeaseDatabase(std::string connectionString, LogSink& log,
                  std::chrono::milliseconds statementTimeout = kStatementTimeout);
    ~LeaseDatabase();
    LeaseDatabase(const LeaseDatabase&) = delete;
    LeaseDatabase& operator=(const LeaseDatabase&) = delete;

    // Start-up, on the caller's thread: connects, creates or checks the schema and hands every
    // row to `row` (removed ones marked), in address order. A row a hand edit broke is logged;
    // one whose address and expiry still read and whose lease runs comes as the address held
    // for no client, any other is skipped. Unreachable: the worker keeps trying once started.
    OpenResult open(const std::function<void(LeaseRow&&)>& row);
    void start();
    void stop();

    // True while claims can be made.
    bool available() const { return available_.load(std::memory_order_acquire); }

    // Asks the database for the address (fields.address) for fields.identity; false when no
    // claim can be made now. The answer comes back through take() with the ticket.
    bool claim(std::uint64_t ticket, const LeasePut& put);
    // Queues a write (or removal) that nobody waits for; kept until written.
    void put(const LeasePut& put);

    // Signalled when answers or followed rows wait to be taken.
    const platform::WakeEvent& ready() const { return ready_; }
    // Moves out the claims' answers and the rows other writers changed (including the rows of
    // the holders that kept an address a claim asked for), oldest first. Returns rereads() as it
    // stood then: once it has grown, every row of the table read anew is among those taken.
    std::uint64_t take(std::vector<ClaimResult>& claims, std::vector<LeaseRow>& followed);
    // Writes waiting for the database.
    std::size_t waiting() const;
    // The database as the status shows it: host, port, database and user (no password).
    const std::string& description() const { return description_; }
    // This process's mark on the rows it writes (LeaseRow::origin).
    const std::string& origin() const { return origin_; }
    // How many times the table was read anew after it went back (restored from a backup);
    // counted once all its rows wait to be taken (LeaseRow::reread).
    std::uint64_t rereads() const { return rereads_.load(std::memory_order_acquire); }

private:
    enum class OpKind : std::uint8_t { Claim, Put, FilePut, Remove };
    struct Op {
        OpKind kind = OpKind::Put;
        std::uint64_t ticket = 0;
        LeasePut put;
    };

    enum class Connected { Yes, No, SchemaNewer };
    void run();
    Connected connect(std::string& error);
    void disconnect(const std::string& reason);
    // Writes what waits, a batch at a time; false when the connection was lost. A batch that
    // keeps losing to other transactions is left waiting for the next round.
    bool writeQueued();
    enum class BatchEnd { Written, LostToOthers, ConnectionLost };
    BatchEnd writeBatch();
    // Takes the notifications libpq holds; true when another connection than this one sent any.
    bool othersNotified();
    // Reads the rows past the last sequence number seen; false when the connection was lost.
    bool follow(const std::function<void(LeaseRow&&)>& deliver);
    // The table went back: it is read anew from its first row.
    void wentBack();
    // A row read while the table is read anew: whether this server wrote its address after it.
    void markSuperseded(LeaseRow& row) const;
    // Waits until the next result of the statements sent on c is in: no longer than answerLimit_
    // without a word from the database, nor past the stop; false then, with why.
    bool awaitAnswer(PGconn* c, std::string& why);
    // The next result of the statements sent, once awaitAnswer has it; null, with why, when it
    // failed (libpq's own null, the end of a statement's results, comes through PQgetResult).
    PgResult nextResult(std::string& why);
    // A statement of a connection's set-up (RunStatement), sent with send on c.
    PgResult setUpStatement(PGconn* c, const std::function<int(PGconn*)>& send, std::string& why);
    bool sendOp(const Op& op);
    void pushBack(std::vector<Op>& ops, std::size_t from);
    void answer(std::uint64_t ticket, Ipv4 address, ClaimOutcome outcome);
    void answerQueuedClaims(ClaimOutcome outcome);
    void takeBatch();

    const std::string connectionString_;
    LogSink& log_;
    const std::chrono::milliseconds statementTimeout_;
    std::string origin_;  // this process's mark on the rows it writes
    std::string description_;

    mutable std::mutex lock_;  // the queue and the answers; taken last, held briefly
    // Elements of a deque stay where they are while others are added or taken at the ends.
    std::deque<Op> queue_;
    // While the database is away, the last queued write of each address.
    std::unordered_map<Ipv4, Op*> lastOfAddress_;
    std::atomic<std::size_t> inFlight_{0};
    std::size_t waitingClaims_ = 0;  // queued or in flight
    std::vector<ClaimResult> answers_;
    std::vector<LeaseRow> followed_;

    platform::WakeEvent work_;
    platform::WakeEvent ready_;
    platform::WakeEvent stop_;
    std::atomic<bool> available_{false};
    std::atomic<std::uint64_t> rereads_{0};
    std::thread worker_;

    // The worker's own.
    PgConnection connection_;
    // The statement timeout in force on the connection, and kAnswerGrace.
    std::chrono::milliseconds answerLimit_;
    int backendPid_ = 0;  // the database's process serving connection_: its own notifications
    std::int64_t lastSeq_ = 0;
    // The table went back (restored from a backup): it is read anew to its newest row.
    bool restoredSince_ = false;
    // The row numbered lastSeq_ as it was read (address, expiry, last access, removed): found
    // so again at a reconnect, everything up to that number is what this server has seen.
    std::string lastRow_[4];
    // This server's acknowledged writes: the number and address of the last one (cleared when
    // the table went back), and the number of the last one of each address (those numbered past
    // the table's end dropped once it has been read anew). The newest number and the row read
    // last miss a restore that only this server's unread writes followed; their numbers do not.
    // The numbers of each address also tell which rows read anew are older than what this
    // server wrote there (LeaseRow::supersededHere).
    std::int64_t ownSeq_ = 0;
    Ipv4 ownAddress_ = 0;
    FlatHeads<Ipv4, std::int64_t> ownWrites_;             // about 24 bytes an address
    std::vector<std::pair<Ipv4, std::int64_t>> written_;  // by the batch under way: address, number
    bool reportedDown_ = false;
    bool reportedLosing_ = false;  // a batch was left waiting, lost to others, and none written since
    std::vector<Op> batch_;
    std::minstd_rand retryRandom_;  // the pauses before a batch goes again, apart from other servers'
};

}  // namespace tolmark::leasedb
