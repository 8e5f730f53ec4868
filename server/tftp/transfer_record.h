#pragma once
// One TFTP transfer: what the request asked for, what has been negotiated, the live progress the
// transfer thread keeps up to date, and the resources it owns. The control pipe's GetTransfer
// carries a 1296-byte image of it, built field by field by encodeTransferImage.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "common/ipv4.h"
#include "common/pipe_protocol.h"
#include "platform/file_descriptor.h"
#include "platform/udp_socket.h"
#include "server/tftp/file_mapping.h"

namespace tolmark::tftp {

inline constexpr std::uint16_t kOpReadRequest = 1;
inline constexpr std::uint16_t kOpWriteRequest = 2;
inline constexpr std::uint16_t kOpData = 3;
inline constexpr std::uint16_t kOpAck = 4;
inline constexpr std::uint16_t kOpError = 5;
inline constexpr std::uint16_t kOpOack = 6;

// Transfer modes.
inline constexpr std::int32_t kModeNone = 0;
inline constexpr std::int32_t kModeMail = 1;
inline constexpr std::int32_t kModeNetascii = 2;
inline constexpr std::int32_t kModeOctet = 3;

// Option bits of the record, in the order the OACK carries them (window size last).
inline constexpr std::int32_t kOptBlksize = 1;
inline constexpr std::int32_t kOptTimeout = 2;
inline constexpr std::int32_t kOptTsize = 4;
inline constexpr std::int32_t kOptMulticast = 8;
inline constexpr std::int32_t kOptWindowsize = 16;

// Outcomes; -1 while the transfer runs.
inline constexpr std::int32_t kRunning = -1;
inline constexpr std::int32_t kOutcomeDone = 0;
inline constexpr std::int32_t kOutcomeTimeout = 1;
inline constexpr std::int32_t kOutcomeAborted = 2;
inline constexpr std::int32_t kOutcomeFailure = 3;

inline constexpr std::size_t kDefaultBlockSize = 512;
inline constexpr std::size_t kMaxBlockSize = 65464;  // largest block an IPv4 UDP datagram holds
inline constexpr std::size_t kMinBlockSize = 8;
inline constexpr std::size_t kMaxPath = 1023;        // the path field holds 1023 characters and a NUL
inline constexpr std::size_t kClientErrorMax = 116;  // text part of the client's error kept

// Error texts selected by index; indexes 0 to 8 are the standard texts of wire codes 0 to 8.
enum class ErrorText : std::int32_t {
    Unspecified = 0,
    FileNotFound = 1,
    AccessViolation = 2,
    DiskFull = 3,
    IllegalOperation = 4,
    UnknownTransferId = 5,
    FileExists = 6,
    NoSuchUser = 7,
    InvalidOption = 8,
    Empty = 9,
    BadPacket = 10,
    InvalidPath = 11,
    PathTooLong = 12,
    AccessDenied = 13,
    BadMode = 14,
    BadBlksize = 15,
    BadTimeout = 16,
    BadTsize = 17,
    BadMulticast = 18,
    CreateFailed = 19,
    DataPortFailed = 20,
    ResourceProblem = 21,
};
const char* errorText(ErrorText index);
// The standard text of a wire code (index = code), "" past the standard ones.
const char* standardText(unsigned code);

// "mail " (with its blank), "ascii", "octet", or "" for mode 0.
const char* modeName(std::int32_t mode);
// "Get", "Put", or "" for anything else.
const char* directionName(std::uint16_t opcode);

// A plain copy of the fields the image carries.
struct TransferImage {
    std::uint16_t opcode = 0;
    std::uint16_t blockSize = 0;
    std::uint32_t blockCounter = 0;
    std::int32_t mode = 0;
    std::int32_t textAccess = 0;
    std::int32_t options = 0;
    std::uint32_t size = 0;
    std::int32_t timeout = 0;
    std::uint64_t socket = 0;  // the data port while the socket is open, all ones once closed
    std::int32_t outcome = 0;
    std::int32_t mapped = 0;
    Ipv4 client = 0;
    Ipv4 group = 0;
    std::uint16_t clientPort = 0;  // host order; the image holds it in network order
    std::uint16_t groupPort = 0;
    std::int32_t master = 0;
    std::int32_t thread = 0;  // 1 while the transfer thread runs, -1 once it has ended
    std::int32_t lastBlockRead = 0;
    std::int64_t endTime = 0;
    std::int32_t dataLength = 0;
    std::int32_t secondLength = 0;
    std::string path;         // at most 1023 characters
    std::string clientError;  // "%u %s", at most 127 characters

    bool operator==(const TransferImage&) const = default;
};

// Pointer-valued fields of the image (mapping, view, file, buffers, next record) carry no host
// pointers: they are 0, except the mapping field, which is 1 for a mapped file.
std::array<std::uint8_t, kTransferRecordSize> encodeTransferImage(const TransferImage& image);
std::optional<TransferImage> decodeTransferImage(std::span<const std::uint8_t> bytes);

// Invalid socket value of the image.
inline constexpr std::uint64_t kClosedSocketImage = ~std::uint64_t{0};

// The negotiated request: set by the parser on the listener thread before the transfer starts,
// read-only afterwards.
struct TransferRequest {
    std::uint16_t opcode = 0;
    std::int32_t mode = kModeNone;
    std::int32_t textAccess = 0;   // "TFTPUnixStyle" for netascii transfers
    std::int32_t options = 0;      // accepted options
    std::uint16_t blockSize = kDefaultBlockSize;
    std::uint32_t size = 0;        // file size (read) or the client's tsize (write)
    std::int32_t timeout = 1;      // seconds
    std::uint16_t window = 1;      // blocks in flight granted by "windowsize" (1 without it)
    Ipv4 client = 0;
    std::uint16_t clientPort = 0;
    Ipv4 group = 0;
    std::uint16_t groupPort = 0;
    bool master = false;   // first client of its multicast group
    bool mapped = false;   // read through a shared mapping
    std::string path;
};

// One transfer in the transfer list. The listener creates it; its transfer thread updates the
// live fields; the control pipe reads snapshots.
class Transfer {
public:
    TransferRequest request;
    // Resources owned by the transfer; the thread releases them when it ends.
    platform::UdpSocket socket;
    platform::FileDescriptor file;
    std::shared_ptr<const FileMapping> mapping;

    // Live fields.
    std::atomic<std::uint32_t> blockCounter{0};
    std::atomic<std::uint32_t> bytesReceived{0};
    std::atomic<std::int32_t> outcome{kRunning};
    std::atomic<bool> ended{false};
    std::atomic<std::int64_t> endTime{0};
    std::atomic<std::int32_t> lastBlockRead{-1};
    std::atomic<bool> master{false};
    std::atomic<bool> multicast{false};  // the multicast option is in force
    std::atomic<std::uint16_t> dataPort{0};
    std::atomic<bool> socketOpen{false};
    std::atomic<std::int32_t> dataLength{0};
    std::atomic<std::int32_t> secondLength{0};
    // Written by the transfer thread before it stores the outcome; read once the outcome is set.
    std::array<char, 128> clientError{};

    TransferImage snapshot() const;
};

}  // namespace tolmark::tftp
