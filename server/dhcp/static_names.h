#pragma once
// Host names of static entries, from the host's name service, on threads of their own so that
// the receive loop never waits for it. At start, an entry with a host name and no address gets
// the name's address, and (with reverse lookups on) an entry without a host name gets the name
// of its address. The control pipe asks for the reverse pass again after settings or profiles
// change. Records are read and changed under the engine lock, which guards the client table;
// the lookups themselves run without it.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "common/log_sink.h"
#include "config/profiles.h"
#include "platform/clock.h"
#include "platform/name_service.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/leases/client_table.h"
#include "server/leases/engine_state.h"

namespace tolmark::dhcp {

struct StaticNamesContext {
    EngineState& engine;
    platform::NameService& names;
    std::atomic<int>& statusChanged;  // bit 0 is set when a name or an address changed
    LogSink& log;
    // "AutoExclude": whether an address found by name is reserved in its pool, as the static
    // addresses are when the client files are loaded.
    std::function<bool()> autoExclude = {};
    // A running lease at an address so reserved loses its DNS names here; either nullptr: not.
    DnsUpdateQueue* dnsQueue = nullptr;
    const platform::Clock* clock = nullptr;
};

class StaticNames {
public:
    explicit StaticNames(StaticNamesContext context);
    ~StaticNames();
    StaticNames(const StaticNames&) = delete;
    StaticNames& operator=(const StaticNames&) = delete;

    // After the static entries are loaded: addresses of entries known by name only, and names of
    // entries without one when reverseLookups ("Lookup" bit value 1) is on.
    void startAtLoad(bool reverseLookups);
    // The pass the control pipe asks for: names of the entries without one. With reverse lookups
    // off it runs only when a profile sends static host names ("DNSSend"). A request while a pass
    // runs is dropped. Returns whether a pass was started.
    bool requestPass(bool reverseLookups);
    // Waits for every pass to end; passes still running stop at their next entry.
    void stop();
    // Waits for the passes started so far (tests).
    void wait();

private:
    struct Lookup {
        RecordHandle handle = 0;
        std::string hostName;  // the name to resolve, or empty for a reverse lookup
        Ipv4 address = 0;      // the address to name, or 0 for a forward lookup
    };
    void start(bool forward, bool reverse);
    void run(std::vector<Lookup> lookups);
    std::vector<Lookup> collect(bool forward, bool reverse);

    StaticNamesContext c_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> running_{false};
    struct Pass {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };
    void reapFinished();

    std::mutex threadsLock_;
    std::vector<Pass> passes_;
};

}  // namespace tolmark::dhcp
