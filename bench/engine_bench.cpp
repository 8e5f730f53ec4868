// In-process figures of the request processor: a DISCOVER/REQUEST exchange against client
// tables of growing size, with the engine's real profile, table and reply building.

#include <benchmark/benchmark.h>

#include <array>
#include <cstring>
#include <filesystem>
#include <vector>

#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings_holder.h"
#include "server/dhcp/dhcp_engine.h"
#include "server/leases/client_table.h"
#include "tests/support/fakes.h"

namespace tolmark {
namespace {

constexpr Ipv4 kServer = 0x0101A8C0;  // 192.168.1.1

std::vector<std::uint8_t> message(std::uint32_t client, std::uint8_t type) {
    std::vector<std::uint8_t> m(300, 0);
    m[0] = 1, m[1] = 1, m[2] = 6;
    std::memcpy(&m[4], &client, 4);
    m[28] = 0x02;
    std::memcpy(&m[30], &client, 4);
    const std::uint8_t cookie[4] = {99, 130, 83, 99};
    std::memcpy(&m[236], cookie, 4);
    const std::uint8_t options[] = {53, 1, type, 55, 4, 1, 3, 6, 15, 255};
    std::memcpy(&m[240], options, sizeof options);
    return m;
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

    explicit Bench(int leases) {
        host.rows = {{kServer, makeIpv4(255, 255, 0, 0), 2}};
        interfaces.build(store, "BenchNoSuchSection", host, clock.now(), log);
        Profile p;
        p.name = "Bench";
        p.selectorKind = SelectorKind::Interface;
        p.selectorAddress = kServer;
        p.baseIp = makeIpv4(192, 168, 2, 0);
        p.range = 60000;
        p.subnetMask = makeIpv4(255, 255, 0, 0);
        p.gateway[0] = kServer;
        p.dns[0] = kServer;
        p.dnsName = "bench.test";
        profiles.assign({p});
        for (int i = 0; i < leases; ++i) exchange(static_cast<std::uint32_t>(i));
    }
    std::size_t send(const std::vector<std::uint8_t>& m) {
        RequestSummary summary;
        summary.interfaceAddress = kServer;
        return engine.process(m, reply, summary);
    }
    void exchange(std::uint32_t client) {
        send(message(client, 1));
        send(message(client, 3));
    }
};

// A known client renewing: the lookup walks the dynamic list.
void BM_RenewKnownClient(benchmark::State& state) {
    Bench bench(static_cast<int>(state.range(0)));
    const auto request = message(static_cast<std::uint32_t>(state.range(0) / 2), 3);
    for (auto _ : state) benchmark::DoNotOptimize(bench.send(request));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RenewKnownClient)->Arg(10)->Arg(1000)->Arg(10000);

// A new client: the allocator walks the pool to its first unassigned address.
void BM_DiscoverNewClient(benchmark::State& state) {
    Bench bench(static_cast<int>(state.range(0)));
    std::uint32_t next = 1u << 24;
    for (auto _ : state) benchmark::DoNotOptimize(bench.send(message(next++, 1)));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DiscoverNewClient)->Arg(10)->Arg(1000)->Arg(10000);

}  // namespace
}  // namespace tolmark

BENCHMARK_MAIN();
