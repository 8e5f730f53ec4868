#include "server/host/server.h"

#include <strings.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <optional>
#include <unordered_set>

#include "base/error_text.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "platform/service_control.h"
#include "server/dhcp/dns_removal.h"
#include "server/host/pool_usage.h"
#include "server/host/receive_loop.h"
#include "server/leases/client_rules.h"
#include "server/tftp/client_standing.h"

namespace tolmark {

namespace {

// What is queued at a stop goes out within this time. The unit gives the stop 90 seconds; a
// DNS server that does not answer holds a batch for 2 seconds once.
constexpr std::chrono::seconds kDnsStopWait{10};

// The server states the manager tells apart in the status record.
constexpr int kStateStopping = 1;
constexpr int kStatePortHeld = 3;
constexpr int kStateTftpFailed = 4;

// A registration not sent (a name DNS cannot carry, a stop) counts as failed, not as sent.
void countDnsResult(ServiceCounters& counters, dhcp::DnsOutcome outcome) {
    using dhcp::DnsOutcome;
    const bool sent = outcome != DnsOutcome::NotSent && outcome != DnsOutcome::SendFailed;
    if (sent) counters.dnsSent.add();
    if (outcome == DnsOutcome::Present || outcome == DnsOutcome::Updated || outcome == DnsOutcome::Removed ||
        outcome == DnsOutcome::Kept)
        counters.dnsSucceeded.add();
    else
        counters.dnsFailed.add();
}

// A service's log may be where nobody looks, or not open at all (a directory it cannot write):
// the system log carries the line too.
void tellSystemLog(const std::string& text, int error) {
    if (platform::startedAsService()) platform::writeEventLogEntry(text.c_str(), error);
}

}  // namespace

std::string serverDataDirectory(const ConfigStore& registry, const std::string& programDirectory) {
    return dataDirectoryFromRegistry(registry, kGeneralSection, programDirectory);
}

Server::Server(ServerPlatform platform)
    : platform_(std::move(platform)),
      countedProber_(platform_.arpProber != nullptr
                         ? std::make_unique<CountingArpProber>(*platform_.arpProber, metrics_.dhcp)
                         : nullptr),
      log_(platform_.clock, platform_.console),
      store_(platform_.registryFile),
      engine_(log_),
      dhcp_(engine_.clientsLockedByUser(), engine_.profilesLockedByUser(), interfaces_, settings_, log_,
            platform_.clock, countedProber_.get()),
      dnsClient_(log_, dnsStop_),
      probe_(interfaces_, settings_, flags_, log_, stop_) {
    dhcp_.setDnsUpdateQueue(&dnsQueue_);
    createTftpServer();
    if (platform_.names == nullptr) ownNames_ = platform::makeNameService();
    staticNames_ = std::make_unique<dhcp::StaticNames>(dhcp::StaticNamesContext{
        .engine = engine_,
        .names = platform_.names != nullptr ? *platform_.names : *ownNames_,
        .statusChanged = flags_.statusChanged,
        .log = log_,
        .autoExclude = [this] { return settings_.general().autoExclude != 0; },
        .dnsQueue = &dnsQueue_,
        .clock = &platform_.clock,
    });
}

Server::~Server() {
    requestStop();
    metricsListener_.reset();
    if (addressWatcherThread_.joinable()) addressWatcherThread_.join();
    if (housekeeping_) housekeeping_->join();
    if (pipe_) pipe_->stop();
    tftp_->stop();
    staticNames_->stop();
}

void Server::requestStop() {
    dnsClient_.setDeadline(std::chrono::steady_clock::now() + kDnsStopWait);
    flags_.serverStopping.store(1);
    tftp_->requestStop();
    stop_.signal();
    serverState_.store(kStateStopping);
}

void Server::createTftpServer() {
    tftp::TftpServerEnvironment environment{
        .settings = settings_,
        .log = log_,
        .clock = platform_.clock,
        .standing =
            [this](Ipv4 address) {
                Hold hold(engine_.lock);
                std::optional<std::string> staticProfile;
                if (const ClientRecord* record = engine_.clients.findStaticByAddress(address))
                    staticProfile = record->profile;
                return tftp::standingOf(address, engine_.profiles, staticProfile);
            },
        .checkLog =
            [this] {
                settings_.withDhcp([&](const DhcpSettings& s) {
                    log_.check(s.directory, s.general.log, s.general.createLog);
                    return 0;
                });
            },
        .maxWindow = [this] { return tftp::readMaxWindow(store_); },
        .serverFiles =
            [this] {
                return tftp::ServerFiles{
                    .dataDirectory = dataDirectory_,
                    .files = {store_.iniPath(), platform_.registryFile, files_.ethers.path, files_.dynamic.path,
                              files_.ignored.path},
                    .logDirectory = settings_.withDhcp([](const DhcpSettings& d) { return d.directory; }),
                };
            },
        .counters = &metrics_.tftp,
    };
    tftp_ = std::make_unique<tftp::TftpServer>(std::move(environment));
}

void Server::readSettings() {
    settings_.update([&](DhcpSettings& dhcp, TftpSettings& tftp, MulticastSettings& multicast) {
        readGeneralSettings(store_, kGeneralSection, dataDirectory_, dhcp);
        readTftpSettings(store_, kGeneralSection, dataDirectory_, tftp, multicast);
        return 0;
    });
}

void Server::loadClients() {
    files_ = clientFilePaths(store_, dataDirectory_);
    // The last run removed the DNS names of the leases that ran out while it was up; its last
    // save tells until when, give or take a few passes.
    constexpr std::int64_t kPassesLag = 300;
    struct stat saved {};
    if (::stat(files_.dynamic.path.c_str(), &saved) == 0)
        leasesSaved_ = static_cast<std::int64_t>(saved.st_mtime) - kPassesLag;
    // Nobody has removed the names of the leases that ran out since; a lease that a static entry
    // added to the ethers file meanwhile ends at load has its removal queued, to go out once the
    // DNS thread runs.
    dnsQueue_.setExpiriesPassed(leasesSaved_);
    LoadCounts counts;
    {
        Hold hold(engine_.lock);
        counts =
            loadClientFiles(engine_.clients, engine_.profiles, files_, settings_.general(), log_, platform_.clock.now(),
                            dhcp::queueTableLeaseRemovals(&dnsQueue_, &platform_.clock, engine_.profiles));
    }
    counters_.staticCount.store(static_cast<std::int32_t>(counts.staticTotal));
    counters_.staticUsed.store(static_cast<std::int32_t>(counts.staticSeen));
    counters_.dynamicUsed.store(static_cast<std::int32_t>(counts.dynamicActive));
    staticNames_->startAtLoad((settings_.general().lookup & 1) != 0);
}

bool Server::openLeaseDatabase() {
    const std::string connection = readLeaseDatabase(store_, kGeneralSection);
    if (connection.empty()) return true;
    leaseDatabase_ = std::make_unique<leasedb::LeaseDatabase>(connection, log_);
    std::vector<leasedb::LeaseRow> rows;
    const leasedb::OpenResult opened =
        leaseDatabase_->open([&rows](leasedb::LeaseRow&& row) { rows.push_back(std::move(row)); });
    if (opened.status == leasedb::OpenStatus::SchemaNewer) {
        log_.line(1, true, "DHCP  Error   lease database: %s; not started\n", opened.error.c_str());
        return false;
    }
    sharedLeases_ = std::make_unique<leasedb::DatabaseLeases>(*leaseDatabase_);
    Hold hold(engine_.lock);
    ClientTable& clients = engine_.clients;
    std::unordered_set<Ipv4> known;
    if (opened.status == leasedb::OpenStatus::Ready) {
        // The table holds the truth; a lease of the files at an address it does not know goes
        // into it (the first server given the database brings its leases along), and so does
        // one the files know to be newer than the row.
        std::size_t leases = 0;
        for (const leasedb::LeaseRow& row : rows) {
            const ClientRecord* file = clients.findAddress(ClientList::Dynamic, row.fields.address, nullptr);
            if (file == nullptr ? row.removed
                                : leasedb::chooseAtStart(row, file->fields()) == leasedb::StartChoice::File)
                continue;
            known.insert(row.fields.address);
            applySharedLease(clients, row.fields, row.removed, engine_.profiles, platform_.clock.now());
            leases += row.removed ? 0 : 1;
        }
        log_.line(1, false, "DHCP  Leases  %u leases from the lease database\n", static_cast<unsigned>(leases));
    } else {
        // Served from the files meanwhile; the database worker keeps trying. Which of their
        // leases the database knows cannot be told yet: all of them wait to be written, or a
        // lease it never had would stay free there for another server to give out.
        log_.line(1, true,
                  "DHCP  Leases  database unreachable at start (%s): the leases of the files are served, "
                  "no new addresses until it is back\n",
                  opened.error.c_str());
    }
    // The leases of the files that go into the database are written on the terms of any write,
    // and besides replace an earlier row of their client that they saw the client after: where
    // the database holds another client's lease of the address, or a later one of the same
    // client, or removed the lease after the file last saw the client, that stands and comes
    // back to replace the file's.
    clients.setJournal(&journal_);
    for (const ClientRecord* r = clients.first(ClientList::Dynamic); r != nullptr; r = clients.next(*r)) {
        if (known.count(r->address) == 0 && r->address != 0 && r->expiry != kExpiryReserved) journal_.touched(*r);
    }
    sharedLeases_->writeFileLeases(clients, platform_.clock.now());
    dhcp_.setSharedLeases(sharedLeases_.get());
    leaseDatabase_->start();
    return true;
}

void Server::saveChangedClients() {
    // One save at a time: two writers of the same ".tmp" file would mix their lines.
    std::lock_guard<std::mutex> guard(saveLock_);
    ClientTable& table = engine_.clientsLockedByUser();
    // Only a save that has something to write is counted and timed (the counts are atomics).
    bool changed = false;
    for (ClientList list : {ClientList::Static, ClientList::Dynamic, ClientList::Ignored})
        changed = changed || table.changes(list).load() != 0;
    const auto started = std::chrono::steady_clock::now();
    // Changes made outside a request or a pipe change (names found for static entries) reach
    // the lease database here at the latest.
    if (sharedLeases_ != nullptr) {
        Hold hold(engine_.lock);
        sharedLeases_->writeJournal(engine_.clients, platform_.clock.now());
    }
    const bool saved = saveChangedLists(table, files_, settings_.general(), log_, &engine_.lock);
    if (!changed) return;
    const auto took = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - started);
    metrics_.service.leaseSaves.add();
    metrics_.service.leaseSaveMicroseconds.add(static_cast<std::uint64_t>(took.count()));
    if (!saved) metrics_.service.leaseSaveFailures.add();
}

ServerStats Server::stats(std::uint32_t firstPool, std::size_t maxPools) {
    ServerStats s;
    metrics_.copyTo(s);
    s[StatCounter::LogHeldBack] = log_.heldBack();
    s[StatCounter::StartTime] = static_cast<std::uint64_t>(startTime_);
    s.version = kProductVersion;
    if (leaseDatabase_ != nullptr) {
        s.leaseStore = leaseDatabase_->available() ? kLeaseStoreDatabase : kLeaseStoreDatabaseUnreachable;
        s[StatCounter::DatabaseWritesWaiting] = leaseDatabase_->waiting();
    }
    PoolUsage usage = poolUsage(engine_, platform_.clock.now(), firstPool, maxPools);
    s.poolCount = usage.poolCount;
    s.firstPool = firstPool;
    s.pools = std::move(usage.pools);
    return s;
}

void Server::startMetricsListener() {
    const std::string setting = readMetricsListen(store_);
    if (setting.empty()) return;
    metricsListener_ = std::make_unique<MetricsListener>(
        log_, [this] { return renderPrometheus(stats(0, SIZE_MAX), true); }, std::chrono::seconds(1),
        kSocketRetryInterval);
    // A port another program holds is tried again (retryHeldPorts); any other refusal is final.
    if (!metricsListener_->start(setting) && !metricsListener_->waitingForPort()) metricsListener_.reset();
}

bool Server::leaseFileDirectoryWritable() {
    std::string path = clientFilePaths(store_, dataDirectory_).dynamic.path;
    // A link is saved through: the new file goes beside the file it leads to.
    std::error_code unresolved;
    const std::filesystem::path target = std::filesystem::canonical(path, unresolved);
    if (!unresolved) path = target.string();
    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash);
    if (platform::directoryWritable(directory)) return true;
    const int error = errno;
    const std::string text = "lease file directory " + directory + " is not writable: " + errorText(error);
    log_.line(1, true, "DHCP  Error   %s; not started\n", text.c_str());
    tellSystemLog(text + "; not started", error);
    return false;
}

void Server::noteHeldTftpPort() {
    const TftpSettings tftp = settings_.tftp();
    if (tftp.enable == 0 || tftp_->transferCount() >= 0) return;
    const std::string holders = portHoldersText(static_cast<std::uint16_t>(tftp.port));
    if (holders.empty()) return;
    log_.line(1, true, "TFTP  Error   UDP port %u is held by another program%s; tried again every %u seconds\n",
              static_cast<unsigned>(tftp.port), holders.c_str(), static_cast<unsigned>(kSocketRetryInterval.count()));
    tftpPortHeld_.store(true);
}

void Server::retryHeldPorts() {
    if (flags_.serverStopping.load()) return;
    if (tftpPortHeld_.load()) {
        const TftpSettings tftp = settings_.tftp();
        // Started only once nobody holds the port: a start that fails logs its failure each time.
        // A settings change meanwhile (TFTP off, another port) has restarted it its own way.
        if (tftp.enable == 0 || tftp_->transferCount() >= 0) {
            tftpPortHeld_.store(false);
        } else if (portHoldersText(static_cast<std::uint16_t>(tftp.port)).empty()) {
            tftpPortHeld_.store(false);
            tftp_->start();
            publishServerState();
        }
    }
    if (metricsListener_ != nullptr) metricsListener_->retryHeldPort();
}

void Server::startHousekeeping() {
    // "TestHousekeepingMs" exists for the tests only: it shortens the 30-second wait (and so
    // the periodic save and probe) so that scenarios do not have to wait minutes.
    const std::int32_t testPeriod = store_.readInt(kGeneralSection, "TestHousekeepingMs", 0);
    const auto period = testPeriod > 0 ? std::chrono::milliseconds(testPeriod) : std::chrono::milliseconds(30000);
    HousekeepingTasks tasks;
    // Until the start-up probe has its answer the updates wait in the queue: the removals queued
    // at load are dropped if this server turns out to be the standby.
    tasks.sendQueuedDnsUpdates = [this] { sendQueuedDns(); };
    tasks.saveChangedLists = [this] { saveChangedClients(); };
    dhcp::DnsExpiryPass expiryPass(platform_.clock.now(), leasesSaved_);
    expiryPass.noticeMovedNames(engine_);  // the profiles as loaded, which later changes are set against
    tasks.queueExpiredDnsRemovals = [this, pass = std::move(expiryPass)]() mutable {
        // The probe pauses the server while it waits: that is no verdict to pass leases over by.
        if (!startupProbed_.load()) return;
        if (flags_.paused.load() != 0)
            pass.passOver(dnsQueue_, platform_.clock.now());
        else
            pass.run(engine_, dnsQueue_, platform_.clock.now());
    };
    tasks.periodicProbe = [this] { probe_.run(false); };
    housekeeping_ = std::make_unique<Housekeeping>(std::move(tasks), flags_, stop_, period);
    dnsQueue_.setWakeUp([keeper = housekeeping_.get()] { keeper->signal(); });
    housekeeping_->start();
}

void Server::sendQueuedDns() {
    if (!startupProbed_.load()) return;
    std::vector<dhcp::DnsUpdate> updates;
    const std::vector<dhcp::DnsResult> results = dnsClient_.sendQueued(dnsQueue_, &updates);
    std::optional<std::size_t> counted;
    for (const dhcp::DnsResult& result : results) {
        countDnsResult(metrics_.service, result.outcome);
        // A removal that did not reach its server at the stop is lost: nothing sends it later.
        if (!flags_.serverStopping.load() || !updates[result.update].removal ||
            !dhcp::dnsNotDelivered(result.outcome) || counted == result.update)
            continue;
        counted = result.update;
        ++dnsRemovalsLost_;
    }
}

void Server::startDnsAfterProbe() {
    // The server that answered the probe serves the clients, and may have renewed the leases whose
    // names this one would remove.
    if (flags_.paused.load() != 0) {
        const std::size_t dropped = dnsQueue_.dropRemovals();
        if (dropped != 0)
            log_.line(1, false, "DHCP  DNS     %zu name removals not sent: another server serves\n", dropped);
    }
    startupProbed_.store(true);
    if (housekeeping_ && dnsQueue_.size() != 0) housekeeping_->signal();  // removals queued at load
}

void Server::startControlPipe() {
    const auto startNameLookup = [this] { staticNames_->requestPass((settings_.general().lookup & 1) != 0); };
    const auto statsFrom = [this](std::uint32_t firstPool) { return stats(firstPool, kStatsPoolsPerReply); };
    pipeContext_ = std::make_unique<PipeContext>(PipeContext{
        .log = log_,
        .clients = {.engine = engine_,
                    .counters = counters_,
                    .shared = sharedLeases_.get(),
                    .dnsQueue = &dnsQueue_,
                    .clock = &platform_.clock},
        .profiles = {.engine = engine_,
                     .store = store_,
                     .settings = settings_,
                     .interfaces = interfaces_,
                     .log = log_,
                     .counters = counters_,
                     .startNameLookup = startNameLookup,
                     .shared = sharedLeases_.get(),
                     .dnsQueue = &dnsQueue_,
                     .clock = &platform_.clock},
        .settings = {
            .settings = settings_,
            .store = store_,
            .interfaces = interfaces_,
            .engine = engine_,
            .counters = counters_,
            .serverStopping = serverState_,
            .statusChanged = flags_.statusChanged,
            .reloadRequest = flags_.reloadRequest,
            .paused = flags_.paused,
            .socketImage = [this](std::size_t i) { return sockets_.socketImage(i); },
            .tftpTransfers = [this] { return tftp_->transferCount(); },
            .restartTftp =
                [this](bool stopFirst) {
                    // A stop request may be under way: the listener must not come back then.
                    if (!flags_.serverStopping.load()) {
                        tftp_->restart(stopFirst);
                        noteHeldTftpPort();
                    }
                    publishServerState();
                },
            .startNameLookup = startNameLookup,
            .transferRecord = [this](std::int32_t n) -> std::optional<std::array<std::uint8_t, kTransferRecordSize>> {
                const std::optional<TransferImage> image = tftp_->transfer(static_cast<std::size_t>(n));
                if (!image) return std::nullopt;
                return encodeTransferImage(*image);
            },
            .leaseStore =
                [this] {
                    if (leaseDatabase_ == nullptr) return LeaseStoreReply{};
                    return LeaseStoreReply{
                        leaseDatabase_->available() ? kLeaseStoreDatabase : kLeaseStoreDatabaseUnreachable,
                        static_cast<std::uint32_t>(leaseDatabase_->waiting()),
                        "PostgreSQL " + leaseDatabase_->description()};
                },
            .stats = statsFrom,
            .log = &log_},
        .files = {
            .logDirectory = [this] { return settings_.withDhcp([](const DhcpSettings& d) { return d.directory; }); },
            .flushLog = [this] { log_.flush(); }},
        .counters = &metrics_.service,
    });
    PipeServerOptions options;
    options.tcpPort = readRemotePort(store_);
    pipe_ = std::make_unique<PipeServer>(*pipeContext_, options);
    // Without the control pipe the server still serves DHCP. A name held by another process
    // is said loudly: whoever holds it would receive the administrator's requests.
    const PipeStartResult started = pipe_->start();
    if (started == PipeStartResult::NameInUse) {
        const std::string name = pipeName();
        log_.line(1, true, "DHCP  Error   control pipe %s is held by another process\n", name.c_str());
        tellSystemLog("control pipe " + name + " is held by another process", EADDRINUSE);
    }
    if (started != PipeStartResult::Started) pipe_.reset();
}

void Server::startAddressWatcher() {
    addressWatcherThread_ = std::thread([this] {
        while (!flags_.serverStopping.load()) {
            platform::WaitResult r = platform_.addressWatcher.waitForChange(stop_);
            if (flags_.serverStopping.load() || r == platform::WaitResult::Woken) return;
            // After every return of the wait, successful or not: rebuild and reconcile.
            flags_.reloadRequest.store(kReloadInterfaces | kReloadSockets);
            if (r == platform::WaitResult::Error && stop_.sleepFor(std::chrono::seconds(1))) return;
        }
    });
}

int Server::run(int argc, char** argv) {
    platform::raiseOpenFileLimit();
    startTime_ = platform_.clock.now();
    // Program and data directories; the store uses the registry until the INI file is set.
    const std::string programDirectory = platform_.programDirectory;
    store_.writeText(kGeneralSection, "Path", programDirectory);
    dataDirectory_ = serverDataDirectory(store_, programDirectory);
    store_.setIniPath(dataDirectory_, kGeneralSection);
    // A configuration with no profile gets one for each served interface: the log says where the
    // server looked, so that a mistyped data directory is seen rather than served from.
    const bool profilesMade = profilesToBeCreated(store_);
    readSettings();

    // "-debug" among the leading dash arguments (after the first) means console output.
    for (int i = 1; i < argc && argv[i][0] == '-'; ++i) {
        if (strcasecmp(argv[i], "-debug") == 0) log_.setLevel(3);
    }
    settings_.withDhcp([&](const DhcpSettings& s) {
        log_.check(s.directory, s.general.log, s.general.createLog);
        return 0;
    });
    log_.line(1, false, "%s %s\n", kProductName, kProductVersion);
    if (!platform_.identityLine.empty()) log_.line(1, false, "%s\n", platform_.identityLine.c_str());
    // Without a packet socket (no CAP_NET_RAW) every address would pass the test unasked.
    if (settings_.general().testIp != 0 && platform_.arpProber != nullptr && !platform_.arpProber->ready()) {
        log_.line(1, true, "DHCP  Error   no address test (TestIP): ARP needs CAP_NET_RAW\n");
    }
    if (!leaseFileDirectoryWritable()) {
        log_.close();
        return 1;
    }
    // The client files, the configuration and the logs are written here: a server that cannot
    // (another user owns the directory) says so at once rather than at its first save.
    if (!dataDirectory_.empty() && !platform::directoryWritable(dataDirectory_)) {
        log_.line(1, true, "DHCP  Error   data directory %s is not writable: %s\n", dataDirectory_.c_str(),
                  errorText(errno).c_str());
    }

    interfaces_.build(store_, kGeneralSection, platform_.hostAddresses, platform_.clock.now(), log_);
    settings_.update([&](DhcpSettings& dhcp, TftpSettings&, MulticastSettings&) {
        dhcp.general.selectionMode = interfaces_.selectionMode();
        return 0;
    });

    {
        const OptionCodeList defaults = settings_.withDhcp([](const DhcpSettings& d) { return d.defaultOptions; });
        Hold hold(engine_.lock);
        counters_.profileCount.store(
            static_cast<std::int32_t>(engine_.profiles.load(store_, defaults, interfaces_, log_, log_.level() > 1)));
        counters_.poolTotal.store(engine_.profiles.poolTotal());
    }
    if (profilesMade) {
        log_.line(1, false, "DHCP  Start   no profile in %s: one made for each served interface, %u in all\n",
                  store_.usesIniFile() ? store_.iniPath().c_str() : "the registry",
                  static_cast<unsigned>(counters_.profileCount.load()));
    }
    loadClients();
    if (!openLeaseDatabase()) {
        log_.close();
        return 1;
    }

    const std::uint16_t port = settings_.general().port;
    sockets_.reconcile(interfaces_, port, log_);
    counters_.portInUse.store(port);

    startHousekeeping();
    startControlPipe();
    startAddressWatcher();
    startMetricsListener();

    int result = 0;
    if (!flags_.serverStopping.load()) {
        tftp_->start();
        if (!startServing()) {
            result = 1;
            requestStop();  // the threads started above end as at any stop
        }
    }
    if (result == 0 && !flags_.serverStopping.load()) {
        probe_.run(true);
        startDnsAfterProbe();
        ReceiveLoopContext context{
            .interfaces = interfaces_,
            .sockets = sockets_,
            .log = log_,
            .flags = flags_,
            .engineLock = engine_.lock,
            .processor = dhcp_,
            .settings = settings_,
            .hostAddresses = platform_.hostAddresses,
            .arp = platform_.arp,
            .clock = platform_.clock,
            .stop = stop_,
            .addressTestsDone = platform_.arpProber != nullptr ? &platform_.arpProber->completed() : nullptr,
            .linkSender = platform_.linkSender,
            .counters = &metrics_.dhcp,
            .socketsReconciled = [this] { publishServerState(); },
            .retryHeldPorts = [this] { retryHeldPorts(); },
        };
        if (sharedLeases_ != nullptr) {
            context.leaseAnswers = &sharedLeases_->ready();
            context.takeLeaseAnswers = [this](std::vector<ClaimAnswer>& answers) NO_THREAD_SAFETY_ANALYSIS {
                // The receive loop holds the engine lock around this call.
                sharedLeases_->takeAnswers(engine_, answers);
            };
        }
        runReceiveLoop(context);
    }

    // Shut down.
    flags_.statusChanged.fetch_or(kStatusLoopEnded);
    sockets_.closeAll();
    tftp_->stop();
    std::this_thread::yield();
    // The housekeeping thread may be in the middle of a periodic save: let it finish first. The
    // control pipe stops before the final save, so that no change it makes comes after it.
    if (housekeeping_) housekeeping_->join();
    if (pipe_) pipe_->stop();
    staticNames_->stop();
    saveChangedClients();
    // The DNS thread sent what was queued up to the stop; the control pipe and the name lookup
    // may have queued more since.
    sendQueuedDns();
    if (dnsRemovalsLost_ != 0)
        log_.line(1, false, "DHCP  Error   %zu DNS name removals not sent before the stop\n", dnsRemovalsLost_);
    // What is still queued for the lease database goes out before the end.
    if (leaseDatabase_ != nullptr) leaseDatabase_->stop();
    if (addressWatcherThread_.joinable()) addressWatcherThread_.join();
    metricsListener_.reset();
    log_.close();
    return result;
}

void Server::publishServerState() {
    const bool tftpFailed = settings_.tftp().enable != 0 && tftp_->transferCount() < 0;
    serverState_.store(sockets_.portHeld() ? kStatePortHeld : tftpFailed ? kStateTftpFailed : 0);
    // A stop asked for meanwhile is not overwritten.
    if (flags_.serverStopping.load()) serverState_.store(kStateStopping);
}

bool Server::startServing() {
    const bool tftpRunning = tftp_->transferCount() >= 0;
    noteHeldTftpPort();
    publishServerState();
    // Every served address without its socket and no TFTP either: running on would serve
    // nothing while the service manager, the installation and the manager all said it had started.
    if (sockets_.waitingForSocket() != 0 && !sockets_.anyOpen() && !tftpRunning) {
        log_.line(1, true, "DHCP  Error   no address can be served and TFTP does not run; not started\n");
        return false;
    }
    return !platform_.serving || platform_.serving();
}

}  // namespace tolmark
