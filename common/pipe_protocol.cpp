#include "common/pipe_protocol.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "common/version.h"

namespace tolmark {

namespace {

// Seconds from 1601-01-01 to 1970-01-01.
constexpr std::int64_t kFileTimeEpochOffset = 11644473600LL;
constexpr std::int64_t kFileTimeUnitsPerSecond = 10000000LL;

constexpr std::size_t kFindNameOffset = 44;
constexpr std::size_t kFindNameWidth = 260;

bool sendAll(int fd, const std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
        if (sent < 0 && errno == EINTR) continue;
        if (sent <= 0) return false;
        data += sent;
        size -= static_cast<std::size_t>(sent);
    }
    return true;
}

bool receiveAll(int fd, std::uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::recv(fd, data, size, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        data += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

// SO_RCVTIMEO / SO_SNDTIMEO: a blocked send or receive then fails with EAGAIN.
void applyTimeout(int fd, std::chrono::milliseconds timeout) {
    if (timeout.count() <= 0) return;
    timeval limit{};
    limit.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    limit.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
}

std::mutex trustedNamesLock;
std::vector<std::string>& trustedNames() {
    static std::vector<std::string> names{kServiceUser};
    return names;
}

// The uid of a user name; nullopt when there is no such user.
std::optional<uid_t> userId(const std::string& name) {
    const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(suggested > 0 ? static_cast<std::size_t>(suggested) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    while (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) == ERANGE &&
           buffer.size() < (1u << 20)) {
        buffer.resize(buffer.size() * 2);
    }
    if (found == nullptr) return std::nullopt;
    return found->pw_uid;
}

}  // namespace

bool serverUserTrusted(unsigned uid) {
    if (uid == 0 || uid == ::geteuid()) return true;
    std::vector<std::string> names;
    {
        std::lock_guard<std::mutex> guard(trustedNamesLock);
        names = trustedNames();
    }
    // Looked up at each connection: the service's user may have been created since.
    return std::any_of(names.begin(), names.end(), [&](const std::string& name) { return userId(name) == uid; });
}

void trustServerUser(std::string_view name) {
    if (name.empty()) return;
    std::lock_guard<std::mutex> guard(trustedNamesLock);
    std::vector<std::string>& names = trustedNames();
    if (std::find(names.begin(), names.end(), name) == names.end()) names.emplace_back(name);
}

std::string pipeName() {
    const char* name = std::getenv("TOLMARK_PIPE");
    return name != nullptr && name[0] != '\0' ? std::string(name) : std::string(kPipeDefaultName);
}

bool fillAbstractAddress(std::string_view name, sockaddr_un& address, socklen_t& length) {
    address = sockaddr_un{};
    address.sun_family = AF_UNIX;
    if (name.empty() || name.size() > sizeof address.sun_path - 1) return false;
    std::memcpy(address.sun_path + 1, name.data(), name.size());
    length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    return true;
}

// ---- Messages ----------------------------------------------------------------------------------

std::optional<PipeMessage> PipeMessage::make(std::uint32_t word, std::int32_t value,
                                             std::span<const std::uint8_t> payload) {
    if (payload.size() > kPipePayloadMax) return std::nullopt;
    PipeMessage message;
    ByteWriter out(message.bytes);
    out.u32le(0, word);
    out.i32le(4, value);
    out.bytes(kPipeHeaderSize, payload.data(), payload.size());
    message.size = kPipeHeaderSize + payload.size();
    return message;
}

PipeMessage PipeMessage::statusOnly(std::uint32_t status) {
    PipeMessage message;
    ByteWriter(message.bytes).u32le(0, status);
    message.size = kPipeStatusOnlySize;
    return message;
}

std::size_t frameForStream(const PipeMessage& message, StreamFrame& out) {
    ByteWriter(out).u32le(0, static_cast<std::uint32_t>(message.size));
    std::memcpy(out.data() + kStreamPrefixSize, message.bytes.data(), message.size);
    return kStreamPrefixSize + message.size;
}

std::optional<std::size_t> streamMessageLength(std::span<const std::uint8_t, kStreamPrefixSize> prefix) {
    const std::uint32_t length = ByteReader(prefix).u32le(0);
    if (length == 0 || length > kPipeMessageMax) return std::nullopt;
    return length;
}

// ---- File search record ------------------------------------------------------------------------

std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds) {
    const std::int64_t since1601 = seconds + kFileTimeEpochOffset;
    if (since1601 < 0) return 0;
    return static_cast<std::uint64_t>(since1601) * kFileTimeUnitsPerSecond +
           static_cast<std::uint64_t>(nanoseconds / 100);
}

std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime) {
    return static_cast<std::int64_t>(fileTime / kFileTimeUnitsPerSecond) - kFileTimeEpochOffset;
}

std::array<std::uint8_t, kFileSearchRecordSize> encodeFileSearchRecord(const FileSearchEntry& entry) {
    std::array<std::uint8_t, kFileSearchRecordSize> bytes{};
    ByteWriter out(bytes);
    out.u32le(0, entry.attributes);
    out.u64le(4, entry.creationTime);
    out.u64le(12, entry.lastAccessTime);
    out.u64le(20, entry.lastWriteTime);
    out.u32le(28, static_cast<std::uint32_t>(entry.size >> 32));
    out.u32le(32, static_cast<std::uint32_t>(entry.size));
    out.text(kFindNameOffset, kFindNameWidth, entry.name);
    // The short (8.3) name stays empty: Linux has none.
    return bytes;
}

std::optional<FileSearchEntry> decodeFileSearchRecord(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kFileSearchRecordSize) return std::nullopt;
    ByteReader in(bytes);
    FileSearchEntry entry;
    entry.attributes = in.u32le(0);
    entry.creationTime = in.u64le(4);
    entry.lastAccessTime = in.u64le(12);
    entry.lastWriteTime = in.u64le(20);
    entry.size = (std::uint64_t{in.u32le(28)} << 32) | in.u32le(32);
    entry.name = in.text(kFindNameOffset, kFindNameWidth);
    if (!in.ok()) return std::nullopt;
    return entry;
}

// ---- Client ------------------------------------------------------------------------------------

PipeClient::PipeClient(std::string localName) : localName_(std::move(localName)) {}

PipeClient::PipeClient(std::string host, std::uint16_t port) : host_(std::move(host)), port_(port) {}

// The server never speaks between a reply and the next request: a connection that is readable
// while idle was closed by the server (it stopped or restarted since the last request). It is
// opened anew before the request is sent, so the first request after a restart reaches the new
// server instead of failing on the old connection.
namespace {
bool idleConnectionClosed(int fd) {
    pollfd probe{fd, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&probe, 1, 0);
    } while (ready < 0 && errno == EINTR);
    return ready != 0;
}
}  // namespace

bool PipeClient::connect() {
    if (socket_.valid() && idleConnectionClosed(socket_.get())) socket_.reset();
    if (socket_.valid()) return true;
    if (host_.empty()) {
        sockaddr_un address;
        socklen_t length = 0;
        if (!fillAbstractAddress(localName_.empty() ? pipeName() : localName_, address, length)) return false;
        platform::FileDescriptor fd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
        if (!fd.valid()) return false;
        applyTimeout(fd.get(), timeout_);  // also bounds connect() to a listener whose queue is full
        if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
        ucred server{};
        socklen_t size = sizeof server;
        if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &server, &size) != 0 || size != sizeof server) return false;
        if (!serverUserTrusted(server.uid)) {
            untrustedUid_ = server.uid;
            return false;
        }
        untrustedUid_.reset();
        socket_ = std::move(fd);
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host_.c_str(), std::to_string(port_).c_str(), &hints, &found) != 0) return false;
    for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
        platform::FileDescriptor fd(::socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol));
        if (!fd.valid()) continue;
        applyTimeout(fd.get(), timeout_);
        if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) != 0) continue;
        // Requests are small and strictly alternate with replies.
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        socket_ = std::move(fd);
        break;
    }
    ::freeaddrinfo(found);
    return socket_.valid();
}

bool PipeClient::sendMessage(const PipeMessage& request) {
    if (host_.empty()) {
        const ssize_t sent = ::send(socket_.get(), request.bytes.data(), request.size, MSG_NOSIGNAL);
        return sent == static_cast<ssize_t>(request.size);
    }
    StreamFrame framed;
    const std::size_t size = frameForStream(request, framed);
    return sendAll(socket_.get(), framed.data(), size);
}

bool PipeClient::receiveMessage(PipeMessage& reply) {
    if (host_.empty()) {
        ssize_t got;
        do {
            got = ::recv(socket_.get(), reply.bytes.data(), reply.bytes.size(), MSG_TRUNC);
        } while (got < 0 && errno == EINTR);
        // 0 is the server closing; a longer message than the frame allows is a broken peer.
        if (got <= 0 || static_cast<std::size_t>(got) > reply.bytes.size()) return false;
        reply.size = static_cast<std::size_t>(got);
        return true;
    }
    std::array<std::uint8_t, kStreamPrefixSize> prefix;
    if (!receiveAll(socket_.get(), prefix.data(), prefix.size())) return false;
    const std::optional<std::size_t> length = streamMessageLength(prefix);
    if (!length || !receiveAll(socket_.get(), reply.bytes.data(), *length)) return false;
    reply.size = *length;
    return true;
}

std::optional<PipeMessage> PipeClient::transact(const PipeMessage& request) {
    if (request.size == 0 || request.size > kPipeMessageMax) return std::nullopt;
    if (!connect()) return std::nullopt;
    PipeMessage reply;
    if (!sendMessage(request) || !receiveMessage(reply)) {
        close();
        return std::nullopt;
    }
    return reply;
}

std::optional<PipeMessage> PipeClient::transact(PipeCode code, std::int32_t value,
                                                std::span<const std::uint8_t> payload) {
    const std::optional<PipeMessage> request = PipeMessage::make(toWire(code), value, payload);
    if (!request) return std::nullopt;
    return transact(*request);
}

}  // namespace tolmark
