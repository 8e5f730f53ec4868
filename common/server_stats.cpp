#include "common/server_stats.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <unordered_set>
#include <utility>

#include "base/byte_io.h"

namespace tolmark {
namespace {

using C = StatCounter;

// One sample of a family: its labels as written between the braces (none when empty) and the
// counter it shows.
struct Sample {
    const char* labels;
    StatCounter counter;
};

enum class Unit { Count, Microseconds };

struct Family {
    const char* name;
    const char* type;
    const char* help;
    std::vector<Sample> samples;
    bool databaseOnly = false;
    Unit unit = Unit::Count;
};

// The families in the order of the page. Names follow Prometheus: base units (bytes, seconds),
// "_total" on counters.
const Family kFamilies[] = {
    {"tolmark_dhcp_received_total",
     "counter",
     "DHCP and BOOTP messages received, by message type.",
     {{"type=\"bootp\"", C::ReceivedBootp},
      {"type=\"discover\"", C::ReceivedDiscover},
      {"type=\"request\"", C::ReceivedRequest},
      {"type=\"decline\"", C::ReceivedDecline},
      {"type=\"release\"", C::ReceivedRelease},
      {"type=\"inform\"", C::ReceivedInform},
      {"type=\"other\"", C::ReceivedOther}}},
    {"tolmark_dhcp_replies_total",
     "counter",
     "DHCP and BOOTP replies sent, by message type.",
     {{"type=\"offer\"", C::RepliesOffer},
      {"type=\"ack\"", C::RepliesAck},
      {"type=\"nak\"", C::RepliesNak},
      {"type=\"bootp\"", C::RepliesBootp}}},
    {"tolmark_dhcp_reply_send_failures_total",
     "counter",
     "Replies that could not be sent.",
     {{"", C::ReplySendFailures}}},
    {"tolmark_dhcp_ignored_total",
     "counter",
     "Requests left unanswered: ignored clients, requests for another server, no address to give, a paused "
     "standby.",
     {{"", C::Ignored}}},
    {"tolmark_dhcp_malformed_total",
     "counter",
     "Datagrams too short to be a request or not a request.",
     {{"", C::Malformed}}},
    {"tolmark_dhcp_address_tests_total",
     "counter",
     "ARP tests of an address before it is handed out, by their answer.",
     {{"outcome=\"no_answer\"", C::AddressTestsNoAnswer}, {"outcome=\"answered\"", C::AddressTestsAnswered}}},
    {"tolmark_tftp_transfers_started_total", "counter", "TFTP transfers started.", {{"", C::TftpStarted}}},
    {"tolmark_tftp_transfers_ended_total",
     "counter",
     "TFTP transfers ended, by outcome.",
     {{"outcome=\"done\"", C::TftpEndedDone},
      {"outcome=\"timeout\"", C::TftpEndedTimeout},
      {"outcome=\"aborted\"", C::TftpEndedAborted},
      {"outcome=\"failed\"", C::TftpEndedFailed}}},
    {"tolmark_tftp_requests_refused_total",
     "counter",
     "TFTP requests answered with an error before a transfer started.",
     {{"", C::TftpRefused}}},
    {"tolmark_tftp_sent_bytes_total",
     "counter",
     "Data bytes sent in TFTP DATA packets, resent ones included.",
     {{"", C::TftpSentBytes}}},
    {"tolmark_tftp_received_bytes_total",
     "counter",
     "Data bytes received in TFTP DATA packets, repeated ones included.",
     {{"", C::TftpReceivedBytes}}},
    {"tolmark_dns_updates_sent_total",
     "counter",
     "DNS registrations sent (one per forward or reverse record).",
     {{"", C::DnsSent}}},
    {"tolmark_dns_updates_succeeded_total",
     "counter",
     "DNS registrations found in place or updated.",
     {{"", C::DnsSucceeded}}},
    {"tolmark_dns_updates_failed_total",
     "counter",
     "DNS registrations refused, unanswered or not sent.",
     {{"", C::DnsFailed}}},
    {"tolmark_log_lines_held_back_total", "counter", "Log lines the flood limit held back.", {{"", C::LogHeldBack}}},
    {"tolmark_lease_save_duration_seconds",
     "summary",
     "Saves of the client files that had changes to write, and the time they took.",
     {{"", C::LeaseSaveMicroseconds}, {"", C::LeaseSaves}},
     false,
     Unit::Microseconds},
    {"tolmark_lease_save_failures_total",
     "counter",
     "Saves of the client files that failed (tried again at the next period).",
     {{"", C::LeaseSaveFailures}}},
    {"tolmark_control_connections_total",
     "counter",
     "Control channel connections accepted.",
     {{"", C::ControlConnections}}},
    {"tolmark_control_connections_refused_total",
     "counter",
     "Control channel connections refused at a connection limit.",
     {{"", C::ControlConnectionsRefused}}},
    {"tolmark_control_requests_refused_total",
     "counter",
     "Control channel requests refused for want of permission.",
     {{"", C::ControlRequestsRefused}}},
    {"tolmark_lease_database_claims_total",
     "counter",
     "Claims of a lease in the lease database, by answer.",
     {{"outcome=\"won\"", C::ClaimsWon},
      {"outcome=\"lost\"", C::ClaimsLost},
      {"outcome=\"unavailable\"", C::ClaimsUnavailable}},
     true},
    {"tolmark_lease_database_writes_waiting",
     "gauge",
     "Lease changes waiting to be written to the lease database.",
     {{"", C::DatabaseWritesWaiting}},
     true},
    {"process_start_time_seconds",
     "gauge",
     "Start time of the process since unix epoch in seconds.",
     {{"", C::StartTime}}},
};

__attribute__((format(printf, 2, 3))) void append(std::string& out, const char* format, ...) {
    char line[512];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n > 0) out.append(line, std::min(static_cast<std::size_t>(n), sizeof line - 1));
}

void appendHead(std::string& out, const char* name, const char* type, const char* help, bool withHelp) {
    if (!withHelp) return;
    append(out, "# HELP %s %s\n# TYPE %s %s\n", name, help, name, type);
}

// The length of the valid UTF-8 sequence at the start of text; 0 when there is none.
std::size_t utf8Sequence(std::string_view text) {
    const auto lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80) return 1;
    const std::size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                               : lead >= 0xE0 && lead <= 0xEF ? 3
                               : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                              : 0;
    if (length == 0 || text.size() < length) return 0;
    for (std::size_t i = 1; i < length; ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) return 0;
    }
    const auto second = static_cast<unsigned char>(text[1]);
    // Overlong forms, UTF-16 surrogates and code points past U+10FFFF.
    if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
        (lead == 0xF4 && second > 0x8F))
        return 0;
    return length;
}

// A label value as the exposition format wants it: escaped, and valid UTF-8 (a scraper refuses
// the whole page otherwise). Names are UTF-8 as a rule; a byte that is not (a name written in
// Latin-1, a sequence cut by a field's width) counts as the Latin-1 character of that value.
std::string labelValue(std::string_view text) {
    std::string out;
    while (!text.empty()) {
        const char c = text[0];
        const std::size_t sequence = utf8Sequence(text);
        if (sequence > 1) {
            out.append(text.substr(0, sequence));
        } else if (sequence == 0) {
            const auto byte = static_cast<unsigned char>(c);
            out.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            out.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        } else if (c == '\\' || c == '"') {
            out.push_back('\\');
            out.push_back(c);
        } else if (c == '\n') {
            out.append("\\n");
        } else {
            out.push_back(c);
        }
        text.remove_prefix(std::max<std::size_t>(sequence, 1));
    }
    return out;
}

void appendFamily(std::string& out, const Family& f, const ServerStats& stats, bool help) {
    appendHead(out, f.name, f.type, f.help, help);
    if (f.unit == Unit::Microseconds) {
        // A summary without quantiles: the time in seconds and the number of saves.
        const std::uint64_t us = stats[f.samples[0].counter];
        append(out, "%s_sum %" PRIu64 ".%06" PRIu64 "\n", f.name, us / 1000000, us % 1000000);
        append(out, "%s_count %" PRIu64 "\n", f.name, stats[f.samples[1].counter]);
        return;
    }
    for (const Sample& s : f.samples) {
        if (s.labels[0] != 0)
            append(out, "%s{%s} %" PRIu64 "\n", f.name, s.labels, stats[s.counter]);
        else
            append(out, "%s %" PRIu64 "\n", f.name, stats[s.counter]);
    }
}

void appendPools(std::string& out, const ServerStats& stats, bool help) {
    struct PoolFamily {
        const char* name;
        const char* help;
        std::uint32_t PoolStats::*field;
    };
    const PoolFamily families[] = {
        {"tolmark_dhcp_pool_addresses", "Addresses in the profile's pool.", &PoolStats::addresses},
        {"tolmark_dhcp_pool_leases_in_use", "Addresses of the pool leased, offered or held, not expired.",
         &PoolStats::inUse},
        {"tolmark_dhcp_pool_addresses_free", "Addresses of the pool free to hand out.", &PoolStats::free},
    };
    // A profile listed twice is the same pool, and a series may appear once on a page: the
    // first of each label value stands.
    std::unordered_set<std::string> seen;
    std::vector<std::pair<std::string, const PoolStats*>> pools;
    for (const PoolStats& pool : stats.pools) {
        std::string label = labelValue(pool.profile);
        if (seen.insert(label).second) pools.emplace_back(std::move(label), &pool);
    }
    for (const PoolFamily& f : families) {
        appendHead(out, f.name, "gauge", f.help, help);
        for (const auto& [label, pool] : pools) {
            out.append(f.name).append("{profile=\"").append(label).append("\"} ");
            out.append(std::to_string(pool->*(f.field))).push_back('\n');
        }
    }
}

}  // namespace

PipeMessage encodeGetStats(std::uint32_t firstPool) {
    return *PipeMessage::make(toWire(PipeCode::GetStats), static_cast<std::int32_t>(firstPool));
}

PipeMessage encodeStatsReply(const ServerStats& stats) {
    const std::size_t entries = std::min(stats.pools.size(), kStatsPoolsPerReply);
    PipeMessage message;
    message.size = kStatsPoolsAt + entries * kStatsPoolEntrySize;
    ByteWriter out(message.bytes);
    out.u32le(0, kPipeDone);
    out.i32le(4, static_cast<std::int32_t>(stats.poolCount));
    out.u32le(kStatsFirstPoolAt, stats.firstPool);
    out.u32le(kStatsPoolEntriesAt, static_cast<std::uint32_t>(entries));
    out.i32le(kStatsLeaseStoreAt, stats.leaseStore);
    out.text(kStatsVersionAt, kStatsVersionField, stats.version);
    out.u32le(kStatsCounterWordsAt, static_cast<std::uint32_t>(kStatCounterCount));
    for (std::size_t i = 0; i < kStatCounterCount; ++i) out.u64le(kStatsCountersAt + 8 * i, stats.counters[i]);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = kStatsPoolsAt + i * kStatsPoolEntrySize;
        const PoolStats& pool = stats.pools[i];
        out.text(at, kProfileNameField, pool.profile);
        out.u32le(at + kProfileNameField, pool.addresses);
        out.u32le(at + kProfileNameField + 4, pool.inUse);
        out.u32le(at + kProfileNameField + 8, pool.free);
    }
    return message;
}

std::optional<ServerStats> decodeStatsReply(const PipeMessage& reply) {
    if (reply.size < kStatsPoolsAt || reply.word() != kPipeDone) return std::nullopt;
    ByteReader in(reply.view());
    const std::uint32_t entries = in.u32le(kStatsPoolEntriesAt);
    if (in.u32le(kStatsCounterWordsAt) != kStatCounterCount || entries > kStatsPoolsPerReply ||
        reply.size != kStatsPoolsAt + entries * kStatsPoolEntrySize)
        return std::nullopt;
    ServerStats stats;
    stats.poolCount = static_cast<std::uint32_t>(reply.value());
    stats.firstPool = in.u32le(kStatsFirstPoolAt);
    stats.leaseStore = in.i32le(kStatsLeaseStoreAt);
    if (stats.leaseStore < kLeaseStoreFiles || stats.leaseStore > kLeaseStoreDatabaseUnreachable) return std::nullopt;
    stats.version = in.text(kStatsVersionAt, kStatsVersionField);
    for (std::size_t i = 0; i < kStatCounterCount; ++i) stats.counters[i] = in.u64le(kStatsCountersAt + 8 * i);
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t at = kStatsPoolsAt + i * kStatsPoolEntrySize;
        PoolStats& pool = stats.pools.emplace_back();
        pool.profile = in.text(at, kProfileNameField);
        pool.addresses = in.u32le(at + kProfileNameField);
        pool.inUse = in.u32le(at + kProfileNameField + 4);
        pool.free = in.u32le(at + kProfileNameField + 8);
    }
    if (!in.ok()) return std::nullopt;
    return stats;
}

std::string renderPrometheus(const ServerStats& stats, bool help) {
    std::string out;
    out.reserve(8192);
    for (const Family& f : kFamilies) {
        if (f.databaseOnly && stats.leaseStore == kLeaseStoreFiles) continue;
        appendFamily(out, f, stats, help);
    }
    appendPools(out, stats, help);
    appendHead(out, "tolmark_build_info", "gauge", "The server's version.", help);
    append(out, "tolmark_build_info{version=\"%s\"} 1\n", labelValue(stats.version).c_str());
    return out;
}

}  // namespace tolmark
