#pragma once
// The TFTP listener: owns the well-known socket, checks each request, opens the file, gives the
// transfer its own data socket and thread, and keeps the list of running and recently ended
// transfers that the control pipe shows. Start, stop and restart after settings changes.

#include <atomic>
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "common/log_sink.h"
#include "config/config_store.h"
#include "config/settings_holder.h"
#include "platform/clock.h"
#include "platform/receive_watch.h"
#include "platform/udp_socket.h"
#include "platform/wake_event.h"
#include "server/metrics/server_metrics.h"
#include "server/tftp/file_access.h"
#include "server/tftp/request_parser.h"
#include "server/tftp/server_files.h"
#include "server/tftp/transfer_record.h"

namespace tolmark::tftp {

// "TFTPMaxWindow" of the general section: the largest "windowsize" granted, 0 refuses it; held
// to 0 ... kMaxWindowLimit.
inline constexpr std::int32_t kDefaultMaxWindow = 32;
std::int32_t readMaxWindow(const ConfigStore& store);
// What the buffers of all running transfers may hold together.
inline constexpr std::size_t kDefaultBufferBudget = std::size_t{64} << 20;

struct TftpServerEnvironment {
    SettingsHolder& settings;
    LogSink& log;
    const platform::Clock& clock;
    // What the server knows of a client address (static entries, profiles); may be unset.
    std::function<ClientStanding(Ipv4)> standing = {};
    // Called before a transfer's closing line, so that the log rolls over with the date.
    std::function<void()> checkLog = {};
    // "TFTPMaxWindow", read at every start.
    std::function<std::int32_t()> maxWindow = {};
    // The data directory (the root when "TFTPDirectory" is empty) and the server's own files,
    // which are never served nor written.
    std::function<ServerFiles()> serverFiles = {};
    std::size_t bufferBudget = kDefaultBufferBudget;
    // Address the listening socket is bound to (0 = every local address).
    Ipv4 bindAddress = 0;
    // Transfers, refusals and bytes are counted here; nullptr: not counted.
    TftpCounters* counters = nullptr;
};

class TftpServer {
public:
    explicit TftpServer(TftpServerEnvironment environment);
    ~TftpServer();
    TftpServer(const TftpServer&) = delete;
    TftpServer& operator=(const TftpServer&) = delete;

    // Nothing to do (and success) while "TFTPEnable" is 0 or the server runs already.
    bool start();
    // From any thread: sets the stop flag and ends every wait of the listener and the transfers.
    void requestStop();
    // requestStop, then waits for the listener and every transfer thread.
    void stop();
    // After a settings change: stop when disabled; stop first when the port changed; start.
    void restart(bool portChanged);

    bool running() const { return listening_.load() && !stopping_.load(); }
    // Running transfers, or -1 while the server is stopped.
    std::int32_t transferCount() const;
    // The n-th transfer of the list (running or recently ended); an ended one is marked read.
    std::optional<TransferImage> transfer(std::size_t n) const;
    // The listening port (the bound one, for tests that bind port 0).
    std::uint16_t port() const { return port_.load(); }

private:
    struct Entry {
        std::shared_ptr<Transfer> transfer;
        std::thread thread;
    };
    struct Snapshot {
        ParserSettings parser;
        std::int32_t largeFiles = 1;
    };

    void listen();
    // What uploads of earlier runs left in the root goes at start (before the listener runs,
    // which sweeps other directories as uploads first go there).
    void sweepRoot(const TftpSettings& settings);
    void handleRequest(std::span<const std::uint8_t> datagram, const platform::DatagramInfo& from);
    // A repeated request (the same bytes from the same address and port as a running transfer's),
    // or one beyond the limits, is ignored. A read that has sent its final block is marked ended
    // by its client when a request comes from the client's port.
    bool ignored(Ipv4 client, std::uint16_t port, std::uint64_t digest, const TftpSettings& settings);
    // "request from ... ignored", with the number of transfers running.
    void logIgnored(Ipv4 client, std::int32_t running);
    // The source or sink of a transfer, with its buffers counted against the budget; false when
    // they cannot be had.
    bool prepareData(Transfer& transfer, OpenResult& opened);
    void releaseBuffers(std::size_t bytes) { bufferBytes_.fetch_sub(bytes); }
    void refuse(Ipv4 client, std::uint16_t port, std::uint16_t opcode, unsigned code, ErrorText text,
                const std::string& path);
    void refuseSetup(Ipv4 client, std::uint16_t port, std::uint16_t opcode, ErrorText text, const char* logText);
    // Joins the group of a running master (groupDataPort: the master's data port, which the
    // joining transfer shares, so that the group's data come from the port its client was
    // answered from) or makes the request the master of a new group (groupDataPort 0).
    bool assignGroup(TransferRequest& request, const MulticastSettings& multicast, std::uint16_t& groupDataPort);
    void logRequest(const TransferRequest& request, bool tsizeRequested);
    platform::UdpSocket openDataSocket(const TftpSettings& settings, const TransferRequest& request,
                                       std::uint16_t groupDataPort, std::uint16_t& port);
    platform::UdpSocket openOwnDataSocket(const TftpSettings& settings, std::uint16_t& port);
    void runTransfer(const std::shared_ptr<Transfer>& transfer);
    void handOverMaster(const Transfer& ending);
    // Joins the threads of ended transfers and drops the records ended more than 5 seconds ago
    // that a reader of the list has had (those nobody read, after a minute).
    void cleanUp();
    bool holdsEnded() const;
    void joinAll();

    TftpServerEnvironment env_;
    platform::WakeEvent wake_;
    platform::ReceiveWatch watch_;  // ends the transfers' waits
    platform::WakeEvent ended_;     // a transfer thread has ended
    std::atomic<bool> stopping_{false};
    std::atomic<bool> listening_{false};  // a listener thread exists (read by the control pipe)
    std::atomic<std::int32_t> running_{0};
    std::atomic<std::uint16_t> port_{0};
    platform::UdpSocket socket_;
    std::thread listener_;
    std::mutex control_;  // start, stop and restart one at a time
    mutable std::mutex listLock_;
    std::list<Entry> transfers_;
    MappingCache mappings_;
    UploadLeftovers leftovers_{env_.log};  // the listener's: uploads are opened there
    std::int32_t maxWindow_ = kDefaultMaxWindow;
    std::atomic<std::size_t> bufferBytes_{0};
};

}  // namespace tolmark::tftp
