// In-process figures of the request processor and the client table: a DISCOVER+REQUEST
// exchange of a new client and a renewal against 1k, 100k and 1M leases, the load of a 1M-line
// dynamic file with the first answer from it and its save, and the resident memory a lease
// costs. Everything real but the
// sockets: the engine, its profile, the indexed table and the reply building.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <vector>

#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings_holder.h"
#include "server/dhcp/dhcp_engine.h"
#include "server/leases/client_files.h"
#include "server/leases/client_table.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

constexpr Ipv4 kServer = 0x0101A8C0;            // 192.168.1.1
constexpr std::uint32_t kPoolRange = 1u << 24;  // room for long runs of new clients
constexpr std::int64_t kLease = 86400;

std::vector<std::uint8_t> message(std::uint32_t client, std::uint8_t type, Ipv4 requested = 0) {
    std::vector<std::uint8_t> m(300, 0);
    m[0] = 1, m[1] = 1, m[2] = 6;
    std::memcpy(&m[4], &client, 4);
    m[28] = 0x02;
    std::memcpy(&m[30], &client, 4);
    const std::uint8_t cookie[4] = {99, 130, 83, 99};
    std::memcpy(&m[236], cookie, 4);
    std::uint8_t options[] = {53, 1, type, 55, 4, 1, 3, 6, 15, 54, 4, 0, 0, 0, 0, 50, 4, 0, 0, 0, 0, 255};
    std::memcpy(&options[11], &kServer, 4);
    std::memcpy(&options[17], &requested, 4);
    // A DISCOVER carries neither server identifier nor requested address.
    const std::size_t length = type == 1 ? 9 : sizeof options - 1;
    std::memcpy(&m[240], options, length);
    m[240 + length] = 255;
    return m;
}

Identity hardware(std::uint32_t client) {
    Identity id;
    id.kind = kIdentityHardware;
    id.length = 6;
    id.bytes[0] = 0x02;
    std::memcpy(&id.bytes[2], &client, 4);
    return id;
}

Profile benchProfile() {
    Profile p;
    p.name = "Bench";
    p.selectorKind = SelectorKind::Interface;
    p.selectorAddress = kServer;
    p.baseIp = makeIpv4(10, 0, 0, 0);
    p.range = static_cast<std::int32_t>(kPoolRange);
    p.lease = static_cast<std::int32_t>(kLease);
    p.subnetMask = makeIpv4(255, 0, 0, 0);
    p.gateway[0] = kServer;
    p.dns[0] = kServer;
    p.dnsName = "bench.test";
    return p;
}

std::size_t residentBytes() {
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (statm == nullptr) return 0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
    return static_cast<std::size_t>(resident) * static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
}

struct Bench {
    testing::FakeClock clock;
    testing::CapturingLog log{0};
    testing::FakeHostAddresses host;
    ConfigStore store{(std::filesystem::temp_directory_path() / "bench-registry.ini").string()};
    InterfaceTable interfaces;
    SettingsHolder settings;
    ProfileList profiles;
    ClientTable clients{log};
    dhcp::DhcpEngine engine{clients, profiles, interfaces, settings, log, clock, nullptr};
    std::array<std::uint8_t, kReplyBufferSize> reply{};

    // A table holding `leases` current leases from the bottom of the pool, made as a loaded
    // file makes them.
    explicit Bench(std::uint32_t leases) {
        host.rows = {{kServer, makeIpv4(255, 255, 0, 0), 2}};
        interfaces.build(store, "BenchNoSuchSection", host, clock.now(), log);
        profiles.assign({benchProfile()});
        for (std::uint32_t i = 0; i < leases; ++i) {
            ClientRecord* r = clients.take();
            clients.setIdentity(*r, hardware(i));
            clients.setAddress(*r, ipv4FromHostOrder(ipv4ToHostOrder(benchProfile().baseIp) + i));
            clients.setProfile(*r, "Bench");
            clients.setExpiry(*r, clock.now() + kLease);
            clients.insertDynamicAfter(clients.last(ClientList::Dynamic), *r);
        }
    }
    std::size_t send(const std::vector<std::uint8_t>& m) {
        return engine.process(m, reply, Arrival{kServer, 0}).length;
    }
    std::uint8_t messageType() const { return reply[242]; }
    Ipv4 offered() const {
        Ipv4 address;
        std::memcpy(&address, reply.data() + 16, 4);
        return address;
    }
};

// Resident memory per lease: the growth from an empty table to one of 1M leases. Registered
// first, so that it runs before other benchmarks leave freed memory for the table to reuse.
void BM_ResidentMemoryPerLease(benchmark::State& state) {
    const auto leases = static_cast<std::uint32_t>(state.range(0));
    for (auto _ : state) {
        const std::size_t before = residentBytes();
        auto bench = std::make_unique<Bench>(leases);
        // The pool index is built on the first request, as in the server.
        bench->send(message(leases / 2, 3, ipv4FromHostOrder(ipv4ToHostOrder(benchProfile().baseIp) + leases / 2)));
        state.counters["bytes_per_lease"] = static_cast<double>(residentBytes() - before) / leases;
    }
}
BENCHMARK(BM_ResidentMemoryPerLease)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

// A new client: DISCOVER, then REQUEST of the offered address.
void BM_DiscoverRequestNewClient(benchmark::State& state) {
    Bench bench(static_cast<std::uint32_t>(state.range(0)));
    std::uint32_t next = 1u << 28;
    for (auto _ : state) {
        bench.send(message(next, 1));
        benchmark::DoNotOptimize(bench.send(message(next, 3, bench.offered())));
        ++next;
    }
    if (bench.messageType() != 5) state.SkipWithError("the request was not acknowledged");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DiscoverRequestNewClient)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// A known client in the middle of the table renewing its lease.
void BM_RenewKnownClient(benchmark::State& state) {
    const auto leases = static_cast<std::uint32_t>(state.range(0));
    Bench bench(leases);
    const Ipv4 address = ipv4FromHostOrder(ipv4ToHostOrder(benchProfile().baseIp) + leases / 2);
    const auto request = message(leases / 2, 3, address);
    for (auto _ : state) benchmark::DoNotOptimize(bench.send(request));
    if (bench.messageType() != 5) state.SkipWithError("the renewal was not acknowledged");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenewKnownClient)->Arg(1000)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMicrosecond);

// A flood of unknown clients that the server refuses ("RegOnly"): each is remembered in the
// ignored list, whose oldest entry makes room once it holds 4096. The cost must not grow with
// the list.
void BM_RefusedClientFlood(benchmark::State& state) {
    Bench bench(1000);
    bench.settings.update([](DhcpSettings& d, TftpSettings&, MulticastSettings&) { d.general.regOnly = 1; });
    std::uint32_t next = 1u << 28;
    for (std::int64_t i = 0; i < state.range(0); ++i) bench.send(message(next++, 1));
    for (auto _ : state) benchmark::DoNotOptimize(bench.send(message(next++, 1)));
    if (bench.clients.size(ClientList::Ignored) != 4096) state.SkipWithError("the ignored list is not full");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RefusedClientFlood)->Arg(5000)->Unit(benchmark::kMicrosecond);

// A 1M-line dynamic file loaded into an empty table, the first DISCOVER of a new client
// answered from it (the time from the start of the load to that answer is what a server
// started on the file takes, sockets aside), and the list saved back whole.
void BM_LoadAndSaveDynamicFile(benchmark::State& state) {
    const auto leases = static_cast<std::uint32_t>(state.range(0));
    const std::filesystem::path directory = std::filesystem::temp_directory_path() / "tolmark-bench-files";
    std::filesystem::create_directories(directory);
    ClientFiles files;
    files.ethers.path = (directory / "ethers").string();
    files.dynamic.path = (directory / "dynamic").string();
    files.ignored.path = (directory / "ignored").string();
    {
        std::ofstream out(files.dynamic.path, std::ios::binary | std::ios::trunc);
        char line[96];
        for (std::uint32_t i = 0; i < leases; ++i) {
            const std::uint32_t address = ipv4ToHostOrder(benchProfile().baseIp) + i;
            std::snprintf(line, sizeof line, "02:00:%02x:%02x:%02x:%02x\t%u.%u.%u.%u\t:%u\tBench\n", i & 0xFF,
                          (i >> 8) & 0xFF, (i >> 16) & 0xFF, i >> 24, address >> 24, (address >> 16) & 0xFF,
                          (address >> 8) & 0xFF, address & 0xFF, 1800000000u);
            out << line;
        }
    }
    GeneralSettings settings;
    for (auto _ : state) {
        auto bench = std::make_unique<Bench>(0);
        const auto start = std::chrono::steady_clock::now();
        loadClientFiles(bench->clients, bench->profiles, files, settings, bench->log, bench->clock.now());
        const auto loaded = std::chrono::steady_clock::now();
        bench->send(message(1u << 28, 1));
        const auto answered = std::chrono::steady_clock::now();
        if (bench->messageType() != 2) state.SkipWithError("the DISCOVER was not offered an address");
        saveList(bench->clients, ClientList::Dynamic, files.dynamic, settings, bench->log);
        const auto saved = std::chrono::steady_clock::now();
        state.counters["load_s"] = std::chrono::duration<double>(loaded - start).count();
        state.counters["first_answer_s"] = std::chrono::duration<double>(answered - start).count();
        state.counters["save_s"] = std::chrono::duration<double>(saved - answered).count();
        state.counters["records"] = static_cast<double>(bench->clients.size(ClientList::Dynamic));
        std::ifstream written(files.dynamic.path, std::ios::binary);
        const auto lines = std::count(std::istreambuf_iterator<char>(written), std::istreambuf_iterator<char>(), '\n');
        state.counters["saved_whole"] =
            lines == static_cast<std::ptrdiff_t>(bench->clients.size(ClientList::Dynamic)) ? 1 : 0;
    }
    std::filesystem::remove_all(directory);
}
BENCHMARK(BM_LoadAndSaveDynamicFile)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace tolmark

BENCHMARK_MAIN();
