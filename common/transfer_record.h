#pragma once
// The fields of a TFTP transfer record image that the control pipe's GetTransfer carries and the
// manager shows. The record is 1296 bytes (kTransferRecordSize); the offsets below are part of
// the pipe's wire format, so the server's encoder and every reader name them from here.

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/ipv4.h"

namespace tolmark {

namespace transfer_offset {
inline constexpr std::size_t kOpcode = 0;        // u16: 1 read request, 2 write request
inline constexpr std::size_t kBlockSize = 2;     // u16
inline constexpr std::size_t kBlockCounter = 4;  // u32: blocks moved so far
inline constexpr std::size_t kMode = 8;          // i32: 1 mail, 2 netascii, 3 octet, 0 other
inline constexpr std::size_t kFileSize = 20;     // u32: 0 when unknown
inline constexpr std::size_t kOutcome = 40;      // i32: -1 while running, then 0 done, 1.. failures
inline constexpr std::size_t kClient = 72;       // 4 bytes, network order
inline constexpr std::size_t kPath = 136;        // NUL-terminated text
inline constexpr std::size_t kPathWidth = 1024;
}  // namespace transfer_offset

inline constexpr std::uint16_t kTransferRead = 1;
inline constexpr std::uint16_t kTransferWrite = 2;

struct TransferSummary {
    std::uint16_t opcode = 0;
    std::uint16_t blockSize = 0;
    std::uint32_t blockCounter = 0;
    std::int32_t mode = 0;
    std::uint32_t fileSize = 0;
    std::int32_t outcome = -1;
    Ipv4 client = 0;
    std::string path;

    bool operator==(const TransferSummary&) const = default;
};

// Refuses anything but exactly the record's size.
std::optional<TransferSummary> decodeTransferSummary(std::span<const std::uint8_t> bytes);

}  // namespace tolmark
