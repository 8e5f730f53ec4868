#pragma once
// The server process: the run procedure that brings everything up in its fixed order, runs the
// receive loop on the calling thread until a stop is requested, and shuts down.

#include <atomic>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings_holder.h"
#include "platform/arp.h"
#include "platform/clock.h"
#include "platform/host_addresses.h"
#include "platform/link_sender.h"
#include "platform/name_service.h"
#include "platform/wake_event.h"
#include "server/dhcp/dhcp_engine.h"
#include "server/dhcp/dns_update_client.h"
#include "server/dhcp/static_names.h"
#include "server/host/backup_probe.h"
#include "server/host/counting_arp_prober.h"
#include "server/host/dhcp_sockets.h"
#include "server/host/housekeeping.h"
#include "server/host/log.h"
#include "server/host/server_flags.h"
#include "server/leasedb/database_leases.h"
#include "server/leasedb/lease_database.h"
#include "server/leases/client_files.h"
#include "server/leases/client_table.h"
#include "server/leases/engine_state.h"
#include "server/metrics/metrics_listener.h"
#include "server/metrics/server_metrics.h"
#include "server/pipe/pipe_context.h"
#include "server/pipe/pipe_server.h"
#include "server/tftp/tftp_server.h"

namespace tolmark {

// What the server takes from the host; tests hand in their own.
struct ServerPlatform {
    const platform::Clock& clock;
    platform::HostAddressSource& hostAddresses;
    platform::AddressChangeWatcher& addressWatcher;
    platform::ArpCache& arp;
    platform::ArpProber* arpProber;  // address test before handing out; may be nullptr
    std::string registryFile;
    std::string programDirectory;
    std::FILE* console = stdout;
    platform::NameService* names = nullptr;      // host names of static entries; nullptr: the system's
    platform::LinkSender* linkSender = nullptr;  // unicast replies to clients without an address
    // The user the process runs as, when "RunAsUser" made it change or limit itself: written
    // after the start line ("DHCP  Start   as user ...").
    std::string identityLine;
    // Told once the sockets are open and the server serves (the service manager's "running");
    // false ends the start. Not set: nobody is told.
    std::function<bool()> serving;
};

// The data directory of the server: the machine-wide registry's "Directory", else the program
// directory.
std::string serverDataDirectory(const ConfigStore& registry, const std::string& programDirectory);

class Server {
public:
    explicit Server(ServerPlatform platform);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // The run procedure. args are the program's arguments (the first is the mode argument).
    // Returns 0, or 1 when the start was refused (nothing could be served, the lease file
    // cannot be saved, or the lease database is of a newer kind).
    int run(int argc, char** argv);
    // Safe from any thread: ends every wait of the server and makes run() return.
    void requestStop();

    ServerFlags& flags() { return flags_; }
    Log& log() { return log_; }
    InterfaceTable& interfaces() { return interfaces_; }
    SettingsHolder& settings() { return settings_; }
    StatusCounters& counters() { return counters_; }
    ConfigStore& store() { return store_; }
    EngineState& engine() { return engine_; }
    tftp::TftpServer* tftpServer() { return tftp_.get(); }
    const std::string& dataDirectory() const { return dataDirectory_; }
    // The counters, with at most maxPools pools from firstPool on. Takes the engine lock in
    // short runs for the pools (see pool_usage.h); any thread that holds no lower lock.
    ServerStats stats(std::uint32_t firstPool, std::size_t maxPools);
    // The metrics page's port while it listens, else 0.
    std::uint16_t metricsPort() const { return metricsListener_ ? metricsListener_->port() : 0; }

private:
    void readSettings();
    void startAddressWatcher();
    void startHousekeeping();
    void startControlPipe();
    void createTftpServer();
    void loadClients();
    // "LeaseDatabase": the leases come from the shared table (the files' dynamic leases it
    // lacks, or has older copies of, go into it) and every change goes to it. False: the start
    // is refused.
    bool openLeaseDatabase();
    void saveChangedClients();
    // Leases are saved as a new file beside the lease file, then renamed into place: a server
    // that cannot write there would give out leases that a restart forgets, and give them out
    // again. False (logged): the start is refused.
    bool leaseFileDirectoryWritable();
    void startMetricsListener();
    // TFTP is on but does not listen because another program holds its port: says so, and has
    // the port tried again.
    void noteHeldTftpPort();
    // Every kSocketRetryInterval on the receive loop's thread: starts TFTP, or the metrics
    // listener, whose port another program held, once it is free.
    void retryHeldPorts();
    // Whether the server serves anything once its sockets are open, said in the log; then the
    // service manager is told. False: the start is refused.
    bool startServing();
    // Sets the word the manager reads as the server's state (see serverState_).
    void publishServerState();
    // After the start-up probe: the DNS thread may send; a standby drops the removals queued so far.
    void startDnsAfterProbe();
    // Sends what the DNS queue holds (once the start-up probe is done); at the stop, counts the
    // removals that did not reach their server.
    void sendQueuedDns();

    ServerPlatform platform_;
    ServerMetrics metrics_;
    std::unique_ptr<CountingArpProber> countedProber_;
    ServerFlags flags_;
    Log log_;
    ConfigStore store_;
    SettingsHolder settings_;
    InterfaceTable interfaces_;
    DhcpSockets sockets_;
    EngineState engine_;
    dhcp::DhcpEngine dhcp_;
    dhcp::DnsUpdateQueue dnsQueue_;
    ClientFiles files_;
    std::mutex saveLock_;
    StatusCounters counters_;
    platform::WakeEvent stop_;
    std::string dataDirectory_;
    // The DNS client's own: nothing signals it, so that what is queued at the stop still goes
    // out; the deadline the stop sets bounds how long that takes.
    platform::WakeEvent dnsStop_;
    dhcp::DnsUpdateClient dnsClient_;
    std::unique_ptr<platform::NameService> ownNames_;
    std::unique_ptr<dhcp::StaticNames> staticNames_;
    std::thread addressWatcherThread_;
    BackupProbe probe_;
    std::unique_ptr<Housekeeping> housekeeping_;
    std::unique_ptr<PipeContext> pipeContext_;
    std::unique_ptr<PipeServer> pipe_;
    std::unique_ptr<tftp::TftpServer> tftp_;
    LeaseJournal journal_;
    std::unique_ptr<leasedb::LeaseDatabase> leaseDatabase_;
    std::unique_ptr<leasedb::DatabaseLeases> sharedLeases_;
    std::int64_t startTime_ = 0;
    // When the last run stopped keeping its leases up to date: the time of the dynamic file's
    // last save as this run found it, less the time a pass may lag behind; without a file, none
    // of its leases ran out unseen.
    std::int64_t leasesSaved_ = std::numeric_limits<std::int64_t>::max();
    // The start-up probe has said whether another server serves the network: until then no DNS
    // message goes out and no expiry pass runs, since a standby removes no names.
    std::atomic<bool> startupProbed_{false};
    // Removals that did not reach their server at the stop: the DNS thread's last batch, then
    // the stop's own once that thread has ended.
    std::size_t dnsRemovalsLost_ = 0;
    std::unique_ptr<MetricsListener> metricsListener_;
    // The status record's "server stopping" word, which the manager reads as the server's state:
    // 1 once a stop was asked for, else 3 while another program holds the DHCP port, 4 while
    // TFTP is on but not listening, 0 otherwise.
    std::atomic<int> serverState_{0};
    // TFTP could not start because another program held its port: tried again until it starts.
    std::atomic<bool> tftpPortHeld_{false};
};

}  // namespace tolmark
