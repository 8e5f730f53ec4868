#include "common/transfer_record.h"

#include "common/byte_io.h"
#include "common/pipe_protocol.h"

namespace tolmark {

std::optional<TransferSummary> decodeTransferSummary(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kTransferRecordSize) return std::nullopt;
    namespace at = transfer_offset;
    ByteReader in(bytes);
    TransferSummary t;
    t.opcode = in.u16le(at::kOpcode);
    t.blockSize = in.u16le(at::kBlockSize);
    t.blockCounter = in.u32le(at::kBlockCounter);
    t.mode = in.i32le(at::kMode);
    t.fileSize = in.u32le(at::kFileSize);
    t.outcome = in.i32le(at::kOutcome);
    t.client = in.ipv4(at::kClient);
    t.path = in.text(at::kPath, at::kPathWidth);
    if (!in.ok()) return std::nullopt;
    return t;
}

}  // namespace tolmark
