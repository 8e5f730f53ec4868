#include "common/transfer_record.h"

#include "common/transfer_image.h"

namespace tolmark {

// The fields the manager shows, taken from the whole image.
std::optional<TransferSummary> decodeTransferSummary(std::span<const std::uint8_t> bytes) {
    const std::optional<TransferImage> image = decodeTransferImage(bytes);
    if (!image) return std::nullopt;
    TransferSummary t;
    t.opcode = image->opcode;
    t.blockSize = image->blockSize;
    t.blockCounter = image->blockCounter;
    t.mode = image->mode;
    t.fileSize = image->size;
    t.outcome = image->outcome;
    t.client = image->client;
    t.path = image->path;
    return t;
}

}  // namespace tolmark
