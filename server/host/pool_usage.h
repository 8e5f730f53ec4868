#pragma once
// The use of each profile's address pool, counted when the counters are read (a scrape of the
// metrics page, GetStats) rather than kept up to date by the request path: a lease becomes free
// by time passing, which no request sees, and the pool index answers the count in a few steps
// per expired lease. The engine lock is taken for runs of at most kPoolUsageRun expired leases,
// so that requests wait no longer than a save's run makes them.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/server_stats.h"
#include "server/leases/engine_state.h"

namespace tolmark {

inline constexpr std::size_t kPoolUsageRun = 1024;

struct PoolUsage {
    std::uint32_t poolCount = 0;   // profiles with a pool
    std::vector<PoolStats> pools;  // from the first wanted, at most the number wanted
};

// The pools of the profiles that have one, in profile order, from index first on, at most max
// of them. Takes the engine lock (in runs); call it holding no lock below the engine lock.
PoolUsage poolUsage(EngineState& engine, std::int64_t now, std::uint32_t first, std::size_t max);

}  // namespace tolmark
