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

#include "server/pipe/permission.h"
#include "server/pipe/request_handler.h"

namespace tolmark {

namespace {

enum class Readiness { Ready, Woken, Failed };

// Waits until the socket can be read or written, or the wake event ends the wait.
Readiness waitFor(int socket, short events, const platform::WakeEvent& wake) {
    pollfd polls[2] = {{socket, events, 0}, {wake.fd(), POLLIN, 0}};
    for (;;) {
        const int n = ::poll(polls, 2, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return Readiness::Failed;
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

bool PipeServer::start() {
    if (listener_.joinable() || !wake_.valid()) return false;
    stopping_ = false;
    wake_.reset();
    if (!openLocal() || (options_.tcpPort && !openTcp())) {
        local_.reset();
        tcp_.reset();
        return false;
    }
    try {
        listener_ = std::thread(&PipeServer::listen, this);
    } catch (const std::system_error&) {
        local_.reset();
        tcp_.reset();
        return false;
    }
    return true;
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
    if (connections_.size() >= kMaxPipeConnections) {
        reapFinished();
        if (connections_.size() >= kMaxPipeConnections) return;
    }
    if (tcp) {
        int one = 1;
        ::setsockopt(socket.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    Connection& connection = connections_.emplace_back();
    try {
        connection.thread = std::thread(&PipeServer::serve, this, std::move(socket), tcp, std::ref(connection));
    } catch (const std::system_error&) {
        // The socket closes with the failed thread's argument; the listener goes on.
        connections_.pop_back();
    }
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

// ---- Connections -------------------------------------------------------------------------------

void PipeServer::serve(platform::FileDescriptor socket, bool tcp, Connection& self) {
    try {
        serveRequests(socket.get(), tcp);
    } catch (const std::exception& error) {
        try {
            context_.log.line(1, false, "DHCP  Error   control pipe: %s\n", error.what());
        } catch (...) {
        }
    } catch (...) {
    }
    self.finished = true;
}

void PipeServer::serveRequests(int socket, bool tcp) {
    // Declared first so that its searches and files close when the connection ends.
    PipeSession session;
    bool first = true;
    PipeMessage request;
    while (!stopping_ && readMessage(socket, tcp, request)) {
        PipeMessage reply;
        {
            std::lock_guard lock(pipeLock_);
            if (first) {
                first = false;
                // A TCP peer cannot be identified, so it only reads.
                session.mayWrite = !tcp && peerMayChange(socket);
                if (!context_.store.writeText(kGeneralSection, "Used", std::string_view("1"))) session.mayWrite = false;
            }
            reply = handleRequest(context_, session, request.view());
        }
        if (!writeMessage(socket, tcp, reply)) break;
    }
}

bool PipeServer::readMessage(int socket, bool tcp, PipeMessage& message) {
    if (tcp) {
        std::array<std::uint8_t, kStreamPrefixSize> prefix;
        if (!receiveExactly(socket, prefix.data(), prefix.size())) return false;
        const std::optional<std::size_t> length = streamMessageLength(prefix);
        if (!length || !receiveExactly(socket, message.bytes.data(), *length)) return false;
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

bool PipeServer::receiveExactly(int socket, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        if (waitFor(socket, POLLIN, wake_) != Readiness::Ready) return false;
        const ssize_t got = ::recv(socket, data, size, MSG_DONTWAIT);
        if (got < 0 && transient(errno)) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool PipeServer::sendExactly(int socket, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent < 0 && transient(errno)) {
            if (waitFor(socket, POLLOUT, wake_) != Readiness::Ready) return false;
            continue;
        }
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

}  // namespace tolmark
