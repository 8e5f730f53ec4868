#pragma once
// The server's counters as one record: what the control pipe's GetStats reply carries (its
// layout, encoded and decoded field by field) and their text in the Prometheus exposition
// format. Written once for the server, which serves the text at /metrics and answers GetStats,
// and for trisko, whose "stats" prints the same lines from the reply.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/pipe_protocol.h"
#include "common/pipe_requests.h"

namespace tolmark {

// Every counter of the record, in the order of the reply's counter words.
enum class StatCounter : std::size_t {
    // DHCP and BOOTP messages received, by type (offers, acks and naks sent to a server are other).
    ReceivedBootp,
    ReceivedDiscover,
    ReceivedRequest,
    ReceivedDecline,
    ReceivedRelease,
    ReceivedInform,
    ReceivedOther,
    // Replies sent, by type, and sends that failed.
    RepliesOffer,
    RepliesAck,
    RepliesNak,
    RepliesBootp,
    ReplySendFailures,
    // Requests left unanswered (ignored clients, another server's client, no address to give,
    // a paused standby), and datagrams too short or not a request.
    Ignored,
    Malformed,
    // ARP tests of an address before it is handed out, by their answer.
    AddressTestsNoAnswer,
    AddressTestsAnswered,
    // TFTP.
    TftpStarted,
    TftpEndedDone,
    TftpEndedTimeout,
    TftpEndedAborted,
    TftpEndedFailed,
    TftpRefused,
    TftpSentBytes,
    TftpReceivedBytes,
    // DNS registrations (one per record: forward or reverse).
    DnsSent,
    DnsSucceeded,
    DnsFailed,
    // Log lines the flood limit held back.
    LogHeldBack,
    // Saves of the client files: each periodic or final save that had changes to write.
    LeaseSaves,
    LeaseSaveFailures,
    LeaseSaveMicroseconds,
    // The control channel.
    ControlConnections,
    ControlConnectionsRefused,
    ControlRequestsRefused,
    // With a lease database: the answers to claims, and the writes waiting for it.
    ClaimsWon,
    ClaimsLost,
    ClaimsUnavailable,
    DatabaseWritesWaiting,
    // Seconds since 1970 at which the server started.
    StartTime,
    Count
};
inline constexpr std::size_t kStatCounterCount = static_cast<std::size_t>(StatCounter::Count);

// The address pool of one profile.
struct PoolStats {
    std::string profile;          // at most 23 characters
    std::uint32_t addresses = 0;  // the pool's size ("Range")
    std::uint32_t inUse = 0;      // addresses whose lease (or offer, or hold) has not expired
    std::uint32_t free = 0;       // the others
    bool operator==(const PoolStats&) const = default;
};

struct ServerStats {
    std::array<std::uint64_t, kStatCounterCount> counters{};
    std::int32_t leaseStore = kLeaseStoreFiles;  // the claims and writes apply to a database only
    std::string version;                         // at most 15 characters
    std::uint32_t poolCount = 0;                 // profiles in all
    std::uint32_t firstPool = 0;                 // the index of pools[0] among them
    std::vector<PoolStats> pools;

    std::uint64_t& operator[](StatCounter c) { return counters[static_cast<std::size_t>(c)]; }
    std::uint64_t operator[](StatCounter c) const { return counters[static_cast<std::size_t>(c)]; }
    bool operator==(const ServerStats&) const = default;
};

// ---- GetStats: value = the index of the first pool wanted (0 from the first profile). The
// reply's value is the number of profiles in all; from 8: u32 index of its first pool entry,
// u32 number of pool entries, i32 lease store, the version in a 16-byte field, u32 number of
// counter words; then the counter words (u64 each, in StatCounter order), then the pool entries
// (profile name in 24 bytes, u32 addresses, u32 in use, u32 free). A client walks the pools
// page by page, as far as the value says.
inline constexpr std::size_t kStatsFirstPoolAt = kPipeHeaderSize;
inline constexpr std::size_t kStatsPoolEntriesAt = 12;
inline constexpr std::size_t kStatsLeaseStoreAt = 16;
inline constexpr std::size_t kStatsVersionAt = 20;
inline constexpr std::size_t kStatsVersionField = 16;
inline constexpr std::size_t kStatsCounterWordsAt = 36;
inline constexpr std::size_t kStatsCountersAt = 40;
inline constexpr std::size_t kStatsPoolsAt = kStatsCountersAt + 8 * kStatCounterCount;
inline constexpr std::size_t kStatsPoolEntrySize = kProfileNameField + 12;
inline constexpr std::size_t kStatsPoolsPerReply = (kPipeMessageMax - kStatsPoolsAt) / kStatsPoolEntrySize;

PipeMessage encodeGetStats(std::uint32_t firstPool);
// The reply of stats whose pools start at stats.firstPool; at most kStatsPoolsPerReply of
// them go into it.
PipeMessage encodeStatsReply(const ServerStats& stats);
// nullopt for a failed reply, one whose size is not exactly what its counts say, a counter
// word count other than this build's, or a store value out of range.
std::optional<ServerStats> decodeStatsReply(const PipeMessage& reply);

// The Prometheus text format (version 0.0.4): one family per kind of counter, with its HELP and
// TYPE lines when help is set (the /metrics page), only the samples without (trisko). The
// lease database's families appear only with a database.
std::string renderPrometheus(const ServerStats& stats, bool help);

}  // namespace tolmark
