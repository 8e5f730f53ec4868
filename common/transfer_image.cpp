#include "common/transfer_image.h"

#include "base/byte_io.h"
#include "common/transfer_record.h"

namespace tolmark {
namespace {

// Offsets of the fields the manager does not read (the others are named in transfer_record.h).
constexpr std::size_t kAtTextAccess = 12;
constexpr std::size_t kAtOptions = 16;
constexpr std::size_t kAtTimeout = 24;
constexpr std::size_t kAtSocket = 32;
constexpr std::size_t kAtMapped = 44;
constexpr std::size_t kAtMapping = 48;
constexpr std::size_t kAtGroup = 76;
constexpr std::size_t kAtClientPort = 80;
constexpr std::size_t kAtGroupPort = 82;
constexpr std::size_t kAtMaster = 84;
constexpr std::size_t kAtThread = 88;
constexpr std::size_t kAtLastBlock = 92;
constexpr std::size_t kAtEndTime = 96;
constexpr std::size_t kAtDataLength = 104;
constexpr std::size_t kAtSecondLength = 120;
constexpr std::size_t kAtClientError = 1160;
constexpr std::size_t kClientErrorField = 128;

}  // namespace

const char* modeName(std::int32_t mode) {
    switch (mode) {
        case kModeMail:
            return "mail ";
        case kModeNetascii:
            return "ascii";
        case kModeOctet:
            return "octet";
        default:
            return "";
    }
}

const char* directionName(std::uint16_t opcode) {
    return opcode == kOpReadRequest ? "Get" : opcode == kOpWriteRequest ? "Put" : "";
}

std::array<std::uint8_t, kTransferRecordSize> encodeTransferImage(const TransferImage& image) {
    std::array<std::uint8_t, kTransferRecordSize> bytes{};
    ByteWriter w(bytes);
    w.u16le(transfer_offset::kOpcode, image.opcode);
    w.u16le(transfer_offset::kBlockSize, image.blockSize);
    w.u32le(transfer_offset::kBlockCounter, image.blockCounter);
    w.i32le(transfer_offset::kMode, image.mode);
    w.i32le(kAtTextAccess, image.textAccess);
    w.i32le(kAtOptions, image.options);
    w.u32le(transfer_offset::kFileSize, image.size);
    w.i32le(kAtTimeout, image.timeout);
    w.u64le(kAtSocket, image.socket);
    w.i32le(transfer_offset::kOutcome, image.outcome);
    w.i32le(kAtMapped, image.mapped);
    w.u64le(kAtMapping, image.mapped != 0 ? 1 : 0);
    w.ipv4(transfer_offset::kClient, image.client);
    w.ipv4(kAtGroup, image.group);
    w.u16be(kAtClientPort, image.clientPort);
    w.u16be(kAtGroupPort, image.groupPort);
    w.i32le(kAtMaster, image.master);
    w.i32le(kAtThread, image.thread);
    w.i32le(kAtLastBlock, image.lastBlockRead);
    w.i64le(kAtEndTime, image.endTime);
    w.i32le(kAtDataLength, image.dataLength);
    w.i32le(kAtSecondLength, image.secondLength);
    w.text(transfer_offset::kPath, transfer_offset::kPathWidth, image.path);
    w.text(kAtClientError, kClientErrorField, image.clientError);
    return bytes;
}

std::optional<TransferImage> decodeTransferImage(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kTransferRecordSize) return std::nullopt;
    ByteReader r(bytes);
    TransferImage image;
    image.opcode = r.u16le(transfer_offset::kOpcode);
    image.blockSize = r.u16le(transfer_offset::kBlockSize);
    image.blockCounter = r.u32le(transfer_offset::kBlockCounter);
    image.mode = r.i32le(transfer_offset::kMode);
    image.textAccess = r.i32le(kAtTextAccess);
    image.options = r.i32le(kAtOptions);
    image.size = r.u32le(transfer_offset::kFileSize);
    image.timeout = r.i32le(kAtTimeout);
    image.socket = r.u64le(kAtSocket);
    image.outcome = r.i32le(transfer_offset::kOutcome);
    image.mapped = r.i32le(kAtMapped);
    image.client = r.ipv4(transfer_offset::kClient);
    image.group = r.ipv4(kAtGroup);
    image.clientPort = r.u16be(kAtClientPort);
    image.groupPort = r.u16be(kAtGroupPort);
    image.master = r.i32le(kAtMaster);
    image.thread = r.i32le(kAtThread);
    image.lastBlockRead = r.i32le(kAtLastBlock);
    image.endTime = r.i64le(kAtEndTime);
    image.dataLength = r.i32le(kAtDataLength);
    image.secondLength = r.i32le(kAtSecondLength);
    image.path = r.text(transfer_offset::kPath, transfer_offset::kPathWidth);
    image.clientError = r.text(kAtClientError, kClientErrorField);
    if (!r.ok()) return std::nullopt;
    return image;
}

}  // namespace tolmark
