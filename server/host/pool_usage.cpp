#include "server/host/pool_usage.h"

#include <string>

namespace tolmark {
namespace {

struct PoolCopy {
    std::string name;
    Ipv4 base = 0;
    std::uint32_t range = 0;
};

}  // namespace

PoolUsage poolUsage(EngineState& engine, std::int64_t now, std::uint32_t first, std::size_t max) {
    PoolUsage usage;
    std::vector<PoolCopy> wanted;
    std::uint64_t generation = 0;
    {
        Hold hold(engine.lock);
        generation = engine.profiles.generation();
        for (const Profile& p : engine.profiles.profiles()) {
            if (!p.hasPool() || p.range <= 0) continue;
            if (usage.poolCount >= first && wanted.size() < max)
                wanted.push_back({p.name, p.baseIp, static_cast<std::uint32_t>(p.range)});
            ++usage.poolCount;
        }
    }
    for (const PoolCopy& copy : wanted) {
        const PoolRef pool{copy.name, copy.base, copy.range};
        std::uint32_t expired = 0;
        std::uint32_t occupied = 0;
        std::uint32_t from = 0;
        bool done = false;
        while (!done) {
            Hold hold(engine.lock);
            // Profiles loaded again meanwhile: the pools named are not those counted.
            if (engine.profiles.generation() != generation) return PoolUsage{usage.poolCount, {}};
            ClientTable& clients = engine.clients;
            occupied = clients.poolOccupied(pool);
            std::size_t n = 0;
            for (;;) {
                const ClientRecord* r = clients.poolFirstExpired(pool, from, now);
                const std::optional<std::uint32_t> offset =
                    r != nullptr ? ClientTable::offsetIn(pool, *r) : std::nullopt;
                if (!offset || *offset < from) {
                    done = true;
                    break;
                }
                ++expired;
                from = *offset + 1;
                if (++n == kPoolUsageRun) break;
            }
        }
        const std::uint32_t inUse = occupied > expired ? occupied - expired : 0;
        usage.pools.push_back({copy.name, copy.range, inUse, copy.range > inUse ? copy.range - inUse : 0});
    }
    return usage;
}

}  // namespace tolmark
