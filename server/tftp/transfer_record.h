#pragma once
// One TFTP transfer: what the request asked for, what has been negotiated, the live progress the
// transfer thread keeps up to date, and the resources it owns. The control pipe's GetTransfer
// carries a 1296-byte image of it, built field by field by encodeTransferImage.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <string>

#include "base/file_descriptor.h"
#include "base/ipv4.h"
#include "common/pipe_protocol.h"
#include "common/transfer_image.h"
#include "platform/udp_socket.h"
#include "server/tftp/file_mapping.h"

namespace tolmark::tftp {

// Option bits of the record, in the order the OACK carries them (window size last).
inline constexpr std::int32_t kOptBlksize = 1;
inline constexpr std::int32_t kOptTimeout = 2;
inline constexpr std::int32_t kOptTsize = 4;
inline constexpr std::int32_t kOptMulticast = 8;
inline constexpr std::int32_t kOptWindowsize = 16;

inline constexpr std::size_t kDefaultBlockSize = 512;
inline constexpr std::size_t kMaxBlockSize = 65464;  // largest block an IPv4 UDP datagram holds
inline constexpr std::size_t kMinBlockSize = 8;
inline constexpr std::size_t kMaxPath = 1023;        // the path field holds 1023 characters and a NUL
inline constexpr std::size_t kClientErrorMax = 116;  // text part of the client's error kept
// The largest "TFTPMaxWindow" in force, and the most bytes a window of blocks may hold: a client's
// "windowsize" is cut to both, so that one transfer's buffers stay small whatever it asks for.
inline constexpr std::int32_t kMaxWindowLimit = 256;
inline constexpr std::size_t kMaxWindowBytes = std::size_t{1} << 20;

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
    FileTooLarge = 22,
};
const char* errorText(ErrorText index);
// The standard text of a wire code (index = code), "" past the standard ones.
const char* standardText(unsigned code);

// The negotiated request: set by the parser on the listener thread before the transfer starts,
// read-only afterwards.
struct TransferRequest {
    std::uint16_t opcode = 0;
    std::int32_t mode = kModeNone;
    std::int32_t textAccess = 0;  // "TFTPUnixStyle" for netascii transfers
    std::int32_t options = 0;     // accepted options
    std::uint16_t blockSize = kDefaultBlockSize;
    // File size (read) or the client's tsize (write), whole: a file of 4 GiB or more is announced
    // with its real size (the record's image holds at most 4294967295).
    std::uint64_t size = 0;
    std::int32_t timeout = 1;  // seconds
    std::uint16_t window = 1;  // blocks in flight granted by "windowsize" (1 without it)
    Ipv4 client = 0;
    std::uint16_t clientPort = 0;
    Ipv4 group = 0;
    std::uint16_t groupPort = 0;
    bool master = false;  // first client of its multicast group
    bool mapped = false;  // read through a shared mapping
    // The mapping read from, as an identity only (never followed): a multicast group takes in
    // only clients of the same mapping, so that a file replaced meanwhile is not mixed into it.
    const void* mappingIdentity = nullptr;
    std::string path;
};

class BlockSource;
class BlockSink;

// One transfer in the transfer list. The listener creates it; its transfer thread updates the
// live fields; the control pipe reads snapshots.
class Transfer {
public:
    Transfer();
    ~Transfer();
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    TransferRequest request;
    // Resources owned by the transfer; the thread releases them when it ends.
    platform::UdpSocket socket;
    std::shared_ptr<const FileMapping> mapping;
    // Where a read takes its blocks or an upload puts them; made by the listener with their
    // buffers, so that a transfer that cannot have them is refused before it starts.
    std::unique_ptr<BlockSource> source;
    std::unique_ptr<BlockSink> sink;
    std::size_t bufferBytes = 0;      // what the source or sink holds, counted against the server's budget
    std::uint64_t requestDigest = 0;  // of the request's bytes: tells a repeated request from a new one

    // Live fields.
    std::atomic<std::uint32_t> blockCounter{0};
    std::atomic<std::uint32_t> bytesReceived{0};
    std::atomic<std::int32_t> outcome{kRunning};
    std::atomic<bool> ended{false};
    std::atomic<std::int64_t> endTime{0};
    // A reader of the transfer list has had the record since it ended.
    mutable std::atomic<bool> readEnded{false};
    std::atomic<std::int32_t> lastBlockRead{-1};
    std::atomic<bool> master{false};
    std::atomic<bool> multicast{false};  // the multicast option is in force
    std::atomic<std::uint16_t> dataPort{0};
    std::atomic<bool> socketOpen{false};
    std::atomic<std::int32_t> dataLength{0};
    std::atomic<std::int32_t> secondLength{0};
    // Written by the transfer thread before it stores the outcome; read once the outcome is set.
    std::array<char, 128> clientError{};
    // The block that ends the file (the short one), once a read has sent it; 0 before.
    std::atomic<std::uint64_t> finalBlock{0};
    // The client has ended the transfer (clientEnds): set as soon as the transfer's thread has
    // received the packet, before its log line and its outcome. Set by the listener too when a
    // new request comes from the client's port after the final block has gone out: the client
    // has the file and has moved on, the last ACK alone was lost.
    std::atomic<bool> clientEnded{false};
    // The transfer's thread has received a packet from the client: it has seen the transfer.
    std::atomic<bool> clientAnswered{false};
    // Held while the socket is closed, and by the listener while it looks at what waits on it.
    mutable std::mutex socketLock;

    TransferImage snapshot() const;
};

// A packet (or its first 4 bytes) with which the client ends the transfer: an ERROR, or the ACK
// of the final block of the file it reads.
bool clientEnds(const Transfer& transfer, std::span<const std::uint8_t> packet);
// A read whose final block has gone out: all its client may still send is the last ACK.
bool finalBlockSent(const Transfer& transfer);

}  // namespace tolmark::tftp
