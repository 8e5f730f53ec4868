#pragma once
// The control pipe server: a listener thread on the abstract sequenced-packet socket (and on
// TCP when "RemotePort" names a port) and one thread per connected client. Each connection
// answers its requests one at a time, all connections together one at a time under the control
// pipe lock. stop() ends every wait at once and joins every thread.

#include <atomic>
#include <cstdint>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <unordered_map>

#include "base/file_descriptor.h"
#include "base/ipv4.h"
#include "config/config_store.h"
#include "platform/wake_event.h"
#include "server/pipe/peer_limits.h"
#include "server/pipe/pipe_context.h"

namespace tolmark {

struct PipeServerOptions {
    std::string localName;                 // abstract socket name; empty: pipeName()
    std::optional<std::uint16_t> tcpPort;  // listen on TCP too (0: any free port, for tests)
    Ipv4 tcpAddress = 0;                   // address the TCP listener binds; 0: every address
    PeerLimits limits;
};

// Why the listener could not be opened.
enum class PipeStartResult { Started, NameInUse, Failed };

// "RemotePort" of the general section: the TCP port of the control pipe, nothing when off.
std::optional<std::uint16_t> readRemotePort(const ConfigStore& store);

class PipeServer {
public:
    explicit PipeServer(PipeContext& context, PipeServerOptions options = {});
    ~PipeServer();
    PipeServer(const PipeServer&) = delete;
    PipeServer& operator=(const PipeServer&) = delete;

    // Opens the listeners and starts the listener thread. Nothing runs unless Started; NameInUse
    // says that another process holds the local socket's name.
    PipeStartResult start();
    void stop();

    // The TCP port actually bound (0 without TCP).
    std::uint16_t tcpPort() const { return boundTcpPort_; }

private:
    // Who is at the other end, decided when the connection is accepted.
    struct Peer {
        PeerKey key = 0;
        bool remote = false;
        bool administrator = false;
    };
    struct Connection {
        std::thread thread;
        std::atomic<bool> finished{false};
        Peer peer;
    };

    bool openLocal();
    bool openTcp();
    void listen();
    void accept(int listener, bool tcp);
    void reapFinished();
    bool admit(const Peer& peer) const;
    bool mayChange(uid_t uid, gid_t gid);
    void serve(platform::FileDescriptor socket, Connection& self);
    void serveRequests(int socket, const Peer& peer);
    bool readMessage(int socket, bool tcp, PipeMessage& message);
    bool writeMessage(int socket, bool tcp, const PipeMessage& message);
    bool receiveExactly(int socket, std::uint8_t* data, std::size_t size, std::int64_t deadlineMs);
    bool sendExactly(int socket, const std::uint8_t* data, std::size_t size);

    PipeContext& context_;
    PipeServerOptions options_;
    std::mutex pipeLock_;  // the control pipe lock: one request at a time, all connections
    platform::WakeEvent wake_;
    platform::FileDescriptor local_;
    platform::FileDescriptor tcp_;
    std::uint16_t boundTcpPort_ = 0;
    std::thread listener_;
    std::list<Connection> connections_;  // touched by the listener thread, and by stop() after it ended
    PeerCounter handleBudget_;
    // Write permission by user and group, as judged lately (listener thread only): judging it
    // reads the user and group databases, and a peer connecting as fast as it can would keep
    // the listener at that while the administrator's connection waits in the queue.
    struct Verdict {
        bool mayChange = false;
        std::int64_t judgedMs = 0;
    };
    std::unordered_map<std::uint64_t, Verdict> verdicts_;
    std::atomic<bool> stopping_{false};
};

}  // namespace tolmark
