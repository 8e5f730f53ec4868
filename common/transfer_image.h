#pragma once
// The image of one TFTP transfer as the control pipe's GetTransfer carries it (1296 bytes),
// with the names the server's log and the tools use for its direction and mode.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/ipv4.h"
#include "common/pipe_protocol.h"
#include "common/transfer_record.h"

namespace tolmark {

inline constexpr std::uint16_t kOpReadRequest = kTransferRead;
inline constexpr std::uint16_t kOpWriteRequest = kTransferWrite;
inline constexpr std::uint16_t kOpData = 3;
inline constexpr std::uint16_t kOpAck = 4;
inline constexpr std::uint16_t kOpError = 5;
inline constexpr std::uint16_t kOpOack = 6;

// Transfer modes.
inline constexpr std::int32_t kModeNone = 0;
inline constexpr std::int32_t kModeMail = 1;
inline constexpr std::int32_t kModeNetascii = 2;
inline constexpr std::int32_t kModeOctet = 3;

// Outcomes; -1 while the transfer runs.
inline constexpr std::int32_t kRunning = -1;
inline constexpr std::int32_t kOutcomeDone = 0;
inline constexpr std::int32_t kOutcomeTimeout = 1;
inline constexpr std::int32_t kOutcomeAborted = 2;
inline constexpr std::int32_t kOutcomeFailure = 3;

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

}  // namespace tolmark
