#pragma once
// The control pipe's messages, shared by the server, the console tool and the manager: request
// codes, the message frame, the file search record, and the client side that carries one
// request and its reply at a time. The server side lives in server/pipe.

#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/byte_io.h"
#include "base/file_descriptor.h"

namespace tolmark {

// Request codes. The names stand as the protocol names them.
enum class PipeCode : std::uint32_t {
    GetSettings = 1,
    SetSettings = 2,
    FindClient = 3,
    AddClient = 4,
    UpdateClient = 5,
    RemoveClient = 6,
    ListStatic = 7,
    ListDynamic = 8,
    ListIgnored = 9,
    GetTransfer = 10,
    GetStatus = 12,
    SetInterfaces = 13,
    GetTftpSettings = 14,
    SetTftpSettings = 15,
    GetMulticast = 16,
    SetMulticast = 17,
    ReloadProfiles = 18,
    PurgeDynamic = 19,
    GetProfile = 20,
    RenameProfile = 21,
    CheckAddressProfile = 22,
    CheckProfileSelector = 23,
    FileFindFirst = 41,
    FileFindNext = 42,
    FileFindClose = 43,
    FileOpen = 44,
    FileClose = 45,
    FileReadLine = 46,
    FileWrite = 47,
    WriteSetting = 49,
    // Beyond the original set: where the leases are kept, and the server's counters.
    GetLeaseStore = 60,
    GetStats = 61,
};

constexpr std::uint32_t toWire(PipeCode code) { return static_cast<std::uint32_t>(code); }

// Reply statuses. Any other status is the request code itself: its size check failed.
inline constexpr std::uint32_t kPipeDone = 0;
inline constexpr std::uint32_t kPipeUnknownCode = 1;
inline constexpr std::uint32_t kPipeRefused = 2;

// Frame: u32 code or status at 0, i32 value at 4, payload from 8.
inline constexpr std::size_t kPipeMessageMax = 2048;
inline constexpr std::size_t kPipeHeaderSize = 8;
inline constexpr std::size_t kPipePayloadMax = kPipeMessageMax - kPipeHeaderSize;
inline constexpr std::size_t kPipeStatusOnlySize = 4;

inline constexpr std::size_t kRecordHandleSize = 8;
inline constexpr std::size_t kTransferRecordSize = 1296;
inline constexpr std::size_t kFileSearchRecordSize = 320;
// The longest line piece FileReadLine returns (its NUL fills the message).
inline constexpr std::size_t kPipeLineMax = kPipeMessageMax - kPipeHeaderSize - 1;

// The default abstract socket name of the control pipe; $TOLMARK_PIPE replaces it.
inline constexpr const char* kPipeDefaultName = "tolmark_dhcp_server";
std::string pipeName();

// One message of at most 2048 bytes, kept in place (no allocation per request).
struct PipeMessage {
    std::array<std::uint8_t, kPipeMessageMax> bytes{};
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
    // Code of a request, status of a reply; 0 when the message is too short to hold it.
    std::uint32_t word() const { return ByteReader(view()).u32le(0); }
    std::int32_t value() const { return ByteReader(view()).i32le(4); }
    std::span<const std::uint8_t> payload() const {
        return size > kPipeHeaderSize
                   ? std::span<const std::uint8_t>(bytes.data() + kPipeHeaderSize, size - kPipeHeaderSize)
                   : std::span<const std::uint8_t>();
    }

    // A message of the header and the payload; nullopt when it would not fit.
    static std::optional<PipeMessage> make(std::uint32_t word, std::int32_t value,
                                           std::span<const std::uint8_t> payload = {});
    static PipeMessage statusOnly(std::uint32_t status);
};

// A remote client's TCP stream carries each message after a 4-byte little-endian length.
inline constexpr std::size_t kStreamPrefixSize = 4;
using StreamFrame = std::array<std::uint8_t, kStreamPrefixSize + kPipeMessageMax>;
// Writes the prefix and the message into out; returns the number of bytes to send.
std::size_t frameForStream(const PipeMessage& message, StreamFrame& out);
// The message length a prefix announces; nullopt for 0 or more than a message may hold, which
// means the stream is out of step and the connection must end.
std::optional<std::size_t> streamMessageLength(std::span<const std::uint8_t, kStreamPrefixSize> prefix);

// FILETIME: 100 ns units since 1601-01-01, the time stamps of the file search record.
std::uint64_t fileTimeFromUnix(std::int64_t seconds, std::int64_t nanoseconds);
std::int64_t unixSecondsFromFileTime(std::uint64_t fileTime);

inline constexpr std::uint32_t kFileAttributeDirectory = 0x10;
inline constexpr std::uint32_t kFileAttributeNormal = 0x80;

// One directory entry as the file search record carries it.
struct FileSearchEntry {
    std::uint32_t attributes = kFileAttributeNormal;
    std::uint64_t creationTime = 0;  // FILETIME
    std::uint64_t lastAccessTime = 0;
    std::uint64_t lastWriteTime = 0;
    std::uint64_t size = 0;
    std::string name;  // at most 259 characters

    bool operator==(const FileSearchEntry&) const = default;
};

// The WIN32_FIND_DATAA layout: attributes at 0, three FILETIMEs at 4, 12 and 20 (low word
// first), size high at 28 and low at 32, two reserved words, the name in 260 bytes at 44, the
// 14-byte short name at 304 and two bytes of padding.
std::array<std::uint8_t, kFileSearchRecordSize> encodeFileSearchRecord(const FileSearchEntry& entry);
std::optional<FileSearchEntry> decodeFileSearchRecord(std::span<const std::uint8_t> bytes);

// The client side: one transaction per request. Connects lazily, to the local abstract socket
// or, given a host, by TCP with a 4-byte little-endian length before each message. A failed
// transaction closes the connection; the next request connects again.
class PipeClient {
public:
    // Local server, reached by the abstract socket name (pipeName() when empty).
    explicit PipeClient(std::string localName = {});
    // Remote server by TCP.
    PipeClient(std::string host, std::uint16_t port);

    // Sends the request and returns the reply; nullopt when connecting, sending or receiving
    // failed. A reply shorter than 4 bytes is returned as it is; callers treat it as failure.
    std::optional<PipeMessage> transact(const PipeMessage& request);
    std::optional<PipeMessage> transact(PipeCode code, std::int32_t value, std::span<const std::uint8_t> payload = {});

    bool connected() const { return socket_.valid(); }
    void close() { socket_.reset(); }

    // Bounds every send and receive of later connections; zero (the default) waits for ever. A
    // peer that stops answering then fails the transaction instead of holding the caller.
    void setTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

    // A local server is trusted only when it runs as a user serverUserTrusted accepts: anyone
    // else holding the socket's name could read the requests and forge the replies. After a
    // refused connection this is the uid found at the other end.
    std::optional<unsigned> untrustedServerUid() const { return untrustedUid_; }

private:
    bool connect();
    bool sendMessage(const PipeMessage& request);
    bool receiveMessage(PipeMessage& reply);

    std::string localName_;
    std::string host_;
    std::uint16_t port_ = 0;
    std::chrono::milliseconds timeout_{0};
    platform::FileDescriptor socket_;
    std::optional<unsigned> untrustedUid_;
};

// Who may hold the local control socket: root, this process's own user, the service's user
// (kServiceUser) and the users given to trustServerUser; nobody else.
bool serverUserTrusted(unsigned uid);
// Trusts a server running as the named user from now on: the console tool and the manager give
// the user that the server's configuration names ("RunAsUser"). An empty name adds nothing.
void trustServerUser(std::string_view name);

// The socket address of an abstract name (no file; a NUL first, no NUL at the end). False when
// the name is empty or too long.
bool fillAbstractAddress(std::string_view name, sockaddr_un& address, socklen_t& length);

}  // namespace tolmark
