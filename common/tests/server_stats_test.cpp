#include "common/server_stats.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "base/byte_io.h"

namespace tolmark {
namespace {

// Every counter a value of its own (0x1000 + its index, and a high word in one of them), so
// that a swapped or shifted word shows.
ServerStats sampleStats() {
    ServerStats s;
    for (std::size_t i = 0; i < kStatCounterCount; ++i) s.counters[i] = 0x1000 + i;
    s[StatCounter::TftpSentBytes] = 0x0102030405060708ull;
    s.leaseStore = kLeaseStoreDatabaseUnreachable;
    s.version = "3.1.28";
    s.poolCount = 5;
    s.firstPool = 3;
    s.pools = {{"lab", 100, 7, 93}, {"a\"b\\c", 0x01020304, 2, 0x01020302}};
    return s;
}

TEST(ServerStats, ReplyPinsEveryOffsetAndRefusesWhatItsCountsDoNotSay) {
    const ServerStats stats = sampleStats();
    const PipeMessage reply = encodeStatsReply(stats);
    ASSERT_EQ(reply.size, 40u + 8 * kStatCounterCount + 2 * 36);

    std::vector<std::uint8_t> expected(reply.size, 0);
    ByteWriter w(expected);
    w.u32le(0, 0);                                               // status done
    w.i32le(4, 5);                                               // pools in all
    w.u32le(8, 3);                                               // index of the first pool entry
    w.u32le(12, 2);                                              // pool entries in this reply
    w.i32le(16, 2);                                              // lease store: database unreachable
    w.text(20, 16, "3.1.28");                                    // version, 16-byte field
    w.u32le(36, static_cast<std::uint32_t>(kStatCounterCount));  // counter words
    for (std::size_t i = 0; i < kStatCounterCount; ++i) w.u64le(40 + 8 * i, stats.counters[i]);
    const std::size_t pools = 40 + 8 * kStatCounterCount;
    w.text(pools, 24, "lab");  // name, 24-byte field
    w.u32le(pools + 24, 100);  // addresses
    w.u32le(pools + 28, 7);    // in use
    w.u32le(pools + 32, 93);   // free
    w.text(pools + 36, 24, "a\"b\\c");
    w.u32le(pools + 60, 0x01020304);
    w.u32le(pools + 64, 2);
    w.u32le(pools + 68, 0x01020302);
    EXPECT_EQ(std::vector<std::uint8_t>(reply.view().begin(), reply.view().end()), expected);
    // The words of the first and the last counter, spelled out.
    EXPECT_EQ(reply.bytes[40], 0x00);
    EXPECT_EQ(reply.bytes[41], 0x10);
    EXPECT_EQ(reply.bytes[40 + 8 * static_cast<std::size_t>(StatCounter::TftpSentBytes)], 0x08);

    EXPECT_EQ(decodeStatsReply(reply), stats);

    PipeMessage shortOne = reply;
    shortOne.size -= 1;
    EXPECT_FALSE(decodeStatsReply(shortOne));
    PipeMessage longOne = reply;
    longOne.size += 1;
    EXPECT_FALSE(decodeStatsReply(longOne));
    PipeMessage otherCounters = reply;
    ByteWriter(otherCounters.bytes).u32le(36, static_cast<std::uint32_t>(kStatCounterCount + 1));
    EXPECT_FALSE(decodeStatsReply(otherCounters));
    PipeMessage badStore = reply;
    ByteWriter(badStore.bytes).i32le(16, 3);
    EXPECT_FALSE(decodeStatsReply(badStore));
    PipeMessage headerOnly = reply;
    headerOnly.size = 39;
    EXPECT_FALSE(decodeStatsReply(headerOnly));
    EXPECT_FALSE(decodeStatsReply(PipeMessage::statusOnly(kPipeRefused)));

    // Pools beyond what one reply holds wait for the next page.
    ServerStats many = stats;
    many.pools.assign(kStatsPoolsPerReply + 3, PoolStats{"p", 1, 0, 1});
    const PipeMessage full = encodeStatsReply(many);
    EXPECT_LE(full.size, kPipeMessageMax);
    ASSERT_TRUE(decodeStatsReply(full));
    EXPECT_EQ(decodeStatsReply(full)->pools.size(), kStatsPoolsPerReply);

    const PipeMessage request = encodeGetStats(47);
    EXPECT_EQ(request.size, 8u);
    EXPECT_EQ(request.word(), 61u);
    EXPECT_EQ(request.value(), 47);
}

TEST(ServerStats, PrometheusTextNamesEveryCounterOnce) {
    ServerStats stats = sampleStats();
    stats[StatCounter::LeaseSaveMicroseconds] = 2500001;
    // Names in UTF-8, in Latin-1, and cut inside a character: every label value is UTF-8.
    stats.pools.push_back(
        {"S\xC3\xBC"
         "d",
         3, 1, 2});
    stats.pools.push_back({"B\xFCro", 3, 1, 2});
    stats.pools.push_back({"K\xC3\xBC\xC3", 3, 1, 2});
    // A profile listed twice ("Profile0=lab", "Profile1=lab") is one pool.
    stats.pools.push_back(stats.pools.front());
    const std::string page = renderPrometheus(stats, true);
    struct Line {
        const char* text;
        bool present;
    };
    const Line lines[] = {
        {"# TYPE tolmark_dhcp_received_total counter\n", true},
        {"tolmark_dhcp_received_total{type=\"discover\"} 4097\n", true},
        {"tolmark_dhcp_replies_total{type=\"ack\"} 4104\n", true},
        {"tolmark_tftp_sent_bytes_total 72623859790382856\n", true},
        {"# TYPE tolmark_lease_save_duration_seconds summary\n", true},
        {"tolmark_lease_save_duration_seconds_sum 2.500001\n", true},
        {"tolmark_lease_database_claims_total{outcome=\"lost\"}", true},
        {"tolmark_dhcp_pool_leases_in_use{profile=\"lab\"} 7\n", true},
        {"tolmark_dhcp_pool_addresses_free{profile=\"a\\\"b\\\\c\"} 16909058\n", true},
        {"tolmark_build_info{version=\"3.1.28\"} 1\n", true},
        {"tolmark_dhcp_pool_leases_in_use{profile=\"S\xC3\xBC"
         "d\"} 1\n",
         true},
        {"tolmark_dhcp_pool_leases_in_use{profile=\"B\xC3\xBCro\"} 1\n", true},
        {"tolmark_dhcp_pool_leases_in_use{profile=\"K\xC3\xBC\xC3\x83\"} 1\n", true},
        {"process_start_time_seconds 4134\n", true},
    };
    for (const Line& line : lines) EXPECT_EQ(page.find(line.text) != std::string::npos, line.present) << line.text;
    // A series twice on one page makes a scraper drop samples.
    std::set<std::string> series;
    for (std::size_t at = 0, end = 0; at < page.size(); at = end + 1) {
        end = page.find('\n', at);
        const std::string line = page.substr(at, end - at);
        if (line[0] == '#') continue;
        EXPECT_TRUE(series.insert(line.substr(0, line.rfind(' '))).second) << line;
    }

    // Without a database its families are left out; without help only samples remain.
    stats.leaseStore = kLeaseStoreFiles;
    const std::string plain = renderPrometheus(stats, false);
    EXPECT_EQ(plain.find("lease_database"), std::string::npos);
    EXPECT_EQ(plain.find('#'), std::string::npos);
    EXPECT_NE(plain.find("tolmark_dhcp_received_total{type=\"bootp\"} 4096\n"), std::string::npos);
}

}  // namespace
}  // namespace tolmark
