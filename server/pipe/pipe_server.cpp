#include "server/pipe/pipe_server.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>
#include <system_error>

#include "platform/administrators.h"
#include "server/pipe/permission.h"
#include "server/pipe/request_handler.h"

namespace tolmark {

namespace {

enum class Readiness { Ready, Woken, Failed };

std::int64_t steadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Waits until the socket can be read or written, or the wake event ends the wait, or (with a
// deadline, on the steady clock in milliseconds; negative: none) time runs out.
Readiness waitFor(int socket, short events, const platform::WakeEvent& wake, std::int64_t deadlineMs = -1) {
    pollfd polls[2] = {{socket, events, 0}, {wake.fd(), POLLIN, 0}};
    for (;;) {
        int timeout = -1;
        if (deadlineMs >= 0) {
            const std::int64_t left = deadlineMs - steadyMs();
            if (left <= 0) return Readiness::Failed;
            timeout = static_cast<int>(left);
        }
        const int n = ::poll(polls, 2, timeout);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Readiness::Failed;
        if (n == 0) continue;
        if (polls[1].revents & POLLIN) return Readiness::Woken;
        if (polls[0].revents & POLLNVAL) return Readiness::Failed;
        if (polls[0].revents != 0) return Readiness::Ready;
    }
}

bool transient(int error) { return error == EAGAIN || error == EWOULDBLOCK || error == EINTR; }

}  // namespace

std::optional<std::uint16_t> readRemotePort(const ConfigStore& store) {
    const std::int32_t port = store.readInt(kGeneralSection, "RemotePort", 0);
    if (port <= 0 || port > 65535) return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

PipeServer::PipeServer(PipeContext& context, PipeServerOptions options)
    : context_(context), options_(std::move(options)) {}

PipeServer::~PipeServer() { stop(); }

// ---- Listeners ---------------------------------------------------------------------------------

bool PipeServer::openLocal() {
    sockaddr_un address;
    socklen_t length = 0;
    if (!fillAbstractAddress(options_.localName.empty() ? pipeName() : options_.localName, address, length))
        return false;
    platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return false;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
    if (::listen(fd.get(), SOMAXCONN) != 0) return false;
    local_ = std::move(fd);
    return true;
}

bool PipeServer::openTcp() {
    platform::FileDescriptor fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
    if (!fd.valid()) return false;
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(*options_.tcpPort);
    address.sin_addr.s_addr = options_.tcpAddress;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
    if (::listen(fd.get(), SOMAXCONN) != 0) return false;
    socklen_t length = sizeof address;
    if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
    boundTcpPort_ = ntohs(address.sin_port);
    tcp_ = std::move(fd);
    return true;
}

PipeStartResult PipeServer::start() {
    if (listener_.joinable() || !wake_.valid()) return PipeStartResult::Failed;
    stopping_ = false;
    wake_.reset();
    if (!openLocal()) {
        const bool inUse = errno == EADDRINUSE;
        local_.reset();
        return inUse ? PipeStartResult::NameInUse : PipeStartResult::Failed;
    }
    if (options_.tcpPort && !openTcp()) {
        local_.reset();
        tcp_.reset();
        return PipeStartResult::Failed;
    }
    try {
        listener_ = std::thread(&PipeServer::listen, this);
    } catch (const std::system_error&) {
        local_.reset();
        tcp_.reset();
        return PipeStartResult::Failed;
    }
    return PipeStartResult::Started;
}

void PipeServer::stop() {
    stopping_ = true;
    wake_.signal();
    if (listener_.joinable()) listener_.join();
    for (Connection& connection : connections_) {
        if (connection.thread.joinable()) connection.thread.join();
    }
    connections_.clear();
    local_.reset();
    tcp_.reset();
}

void PipeServer::listen() {
    const std::array<int, 2> fds = {local_.get(), tcp_.valid() ? tcp_.get() : local_.get()};
    const std::size_t count = tcp_.valid() ? 2 : 1;
    std::array<bool, 2> readable{};
    while (!stopping_) {
        const auto result =
            platform::waitReadable(std::span(fds.data(), count), &wake_, -1, std::span(readable.data(), count));
        if (result == platform::WaitResult::Woken || result == platform::WaitResult::Error) break;
        if (readable[0]) accept(local_.get(), false);
        if (count == 2 && readable[1]) accept(tcp_.get(), true);
        reapFinished();
    }
}

void PipeServer::accept(int listener, bool tcp) {
    platform::FileDescriptor socket(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
    if (!socket.valid()) {
        // Out of descriptors: give the connections a moment to end instead of spinning.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
            wake_.sleepFor(std::chrono::milliseconds(100));
        return;
    }
    Peer peer;
    peer.remote = tcp;
    peer.key = kRemotePeer;
    if (!tcp) {
        ucred credentials{};
        socklen_t length = sizeof credentials;
        if (::getsockopt(socket.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
            length != sizeof credentials) {
            return;
        }
        peer.key = localPeer(credentials.uid);
        peer.administrator = mayChange(credentials.uid, credentials.gid);
    }
    reapFinished();
    if (!admit(peer)) {
        if (context_.counters != nullptr) context_.counters->controlConnectionsRefused.add();
        context_.log.line(2, false, "DHCP  Error   control pipe connection refused, %s limit reached\n",
                          peer.remote ? "remote" : "local");
        return;
    }
    if (tcp) {
        int one = 1;
        ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    if (context_.counters != nullptr) context_.counters->controlConnections.add();
    Connection& connection = connections_.emplace_back();
    connection.peer = peer;
    try {
        connection.thread = std::thread(&PipeServer::serve, this, std::move(socket), std::ref(connection));
    } catch (const std::system_error&) {
        // The socket closes with the failed thread's argument; the listener goes on.
        connections_.pop_back();
    }
}

// A verdict stands for a second: a user given or taken the right gets or loses it with the
// connections opened after that.
bool PipeServer::mayChange(uid_t uid, gid_t gid) {
    constexpr std::int64_t kVerdictMs = 1000;
    constexpr std::size_t kVerdictsKept = 1024;
    const std::int64_t now = steadyMs();
    const std::uint64_t key = (static_cast<std::uint64_t>(uid) << 32) | gid;
    if (auto it = verdicts_.find(key); it != verdicts_.end() && now - it->second.judgedMs < kVerdictMs)
        return it->second.mayChange;
    if (verdicts_.size() >= kVerdictsKept) verdicts_.clear();
    const bool may = platform::userMayChange(uid, gid);
    verdicts_[key] = Verdict{may, now};
    return may;
}

void PipeServer::reapFinished() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->finished) {
            if (it->thread.joinable()) it->thread.join();
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

// Remote peers, local users and administrators have separate connection limits, so neither
// remote peers nor one local user can take the slots an administrator needs.
bool PipeServer::admit(const Peer& peer) const {
    const PeerLimits& limits = options_.limits;
    std::size_t remote = 0, administrators = 0, local = 0, sameUser = 0;
    for (const Connection& c : connections_) {
        if (c.peer.remote) {
            ++remote;
        } else if (c.peer.administrator) {
            ++administrators;
        } else {
            ++local;
            if (c.peer.key == peer.key) ++sameUser;
        }
    }
    if (peer.remote) return remote < limits.remoteConnections;
    // An administrator beyond the kept-apart slots may still use a free ordinary one.
    if (peer.administrator && administrators < limits.administratorConnections) return true;
    return local < limits.localConnections && (peer.administrator || sameUser < limits.connectionsPerUser);
}

// ---- Connections -------------------------------------------------------------------------------

void PipeServer::serve(platform::FileDescriptor socket, Connection& self) {
    try {
        serveRequests(socket.get(), self.peer);
    } catch (const std::exception& error) {
        try {
            context_.log.line(1, false, "DHCP  Error   control pipe: %s\n", error.what());
        } catch (...) {
        }
    } catch (...) {
    }
    self.finished = true;
}

void PipeServer::serveRequests(int socket, const Peer& peer) {
    // Declared first so that its searches and files close when the connection ends.
    PipeSession session;
    session.remote = peer.remote;
    session.peer = peer.key;
    session.handleBudget = &handleBudget_;
    session.handlesPerPeer = options_.limits.handlesPerPeer;
    session.unprivilegedHandles = options_.limits.unprivilegedHandles;
    bool first = true;
    PipeMessage request;
    while (!stopping_ && readMessage(socket, peer.remote, request)) {
        PipeMessage reply;
        {
            std::lock_guard lock(pipeLock_);
            if (first) {
                first = false;
                // A TCP peer cannot be identified, so it only reads.
                session.mayWrite = !peer.remote && peer.administrator;
                if (!context_.settings.store.writeText(kGeneralSection, "Used", std::string_view("1")))
                    session.mayWrite = false;
            }
            reply = handleRequest(context_, session, request.view());
        }
        if (!writeMessage(socket, peer.remote, reply)) break;
    }
}

bool PipeServer::readMessage(int socket, bool tcp, PipeMessage& message) {
    if (tcp) {
        // A remote peer that sends no whole message in time gives its slot back.
        const std::int64_t deadline = steadyMs() + options_.limits.remoteIdleMs;
        std::array<std::uint8_t, kStreamPrefixSize> prefix;
        if (!receiveExactly(socket, prefix.data(), prefix.size(), deadline)) return false;
        const std::optional<std::size_t> length = streamMessageLength(prefix);
        if (!length || !receiveExactly(socket, message.bytes.data(), *length, deadline)) return false;
        message.size = *length;
        return true;
    }
    for (;;) {
        if (waitFor(socket, POLLIN, wake_) != Readiness::Ready) return false;
        const ssize_t got = ::recv(socket, message.bytes.data(), message.bytes.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (got < 0 && transient(errno)) continue;
        // 0: the client closed. Longer than the frame: the message was cut, so it ends the connection.
        if (got <= 0 || static_cast<std::size_t>(got) > message.bytes.size()) return false;
        message.size = static_cast<std::size_t>(got);
        return true;
    }
}

bool PipeServer::writeMessage(int socket, bool tcp, const PipeMessage& message) {
    if (tcp) {
        StreamFrame framed;
        const std::size_t size = frameForStream(message, framed);
        return sendExactly(socket, framed.data(), size);
    }
    for (;;) {
        const ssize_t sent = ::send(socket, message.bytes.data(), message.size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent == static_cast<ssize_t>(message.size)) return true;
        if (sent >= 0 || !transient(errno)) return false;
        if (waitFor(socket, POLLOUT, wake_) != Readiness::Ready) return false;
    }
}

bool PipeServer::receiveExactly(int socket, std::uint8_t* data, std::size_t size, std::int64_t deadlineMs) {
    while (size > 0) {
        if (waitFor(socket, POLLIN, wake_, deadlineMs) != Readiness::Ready) return false;
        const ssize_t got = ::recv(socket, data, size, MSG_DONTWAIT);
        if (got < 0 && transient(errno)) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool PipeServer::sendExactly(int socket, const std::uint8_t* data, std::size_t size) {
    // A remote peer that does not take its reply in time gives its slot back too.
    const std::int64_t deadline = steadyMs() + options_.limits.remoteIdleMs;
    while (size > 0) {
        const ssize_t sent = ::send(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && transient(errno)) {
            if (waitFor(socket, POLLOUT, wake_, deadline) != Readiness::Ready) return false;
            continue;
        }
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace tolmark
