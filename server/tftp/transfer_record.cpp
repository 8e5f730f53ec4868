#include "server/tftp/transfer_record.h"

#include <algorithm>
#include <cstring>

#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {
namespace {

constexpr const char* kErrorTexts[] = {
    "unspecified Error",
    "File not found",
    "Acess violation",
    "Disk full or allocation exceeded",
    "Illegal TFTP operation",
    "Unknown transfer ID",
    "File already exists",
    "No such user",
    "Invalid Option",
    "",
    "Bad tftp packet",
    "Invalid path",
    "Path too long",
    "Access denied",
    "Invalid or unsupported mode",
    "Bad blksize option",
    "Bad timeout option",
    "Bad tsize option",
    "Bad multicast option",
    "Create file failed, disk full or allocation exceeded?",
    "Data port setup failed",
    "Resource problem on server",
    "File too large",
};
constexpr std::size_t kErrorTextCount = sizeof kErrorTexts / sizeof kErrorTexts[0];

}  // namespace

const char* errorText(ErrorText index) {
    const auto i = static_cast<std::size_t>(index);
    return i < kErrorTextCount ? kErrorTexts[i] : "";
}

const char* standardText(unsigned code) { return code <= 8 ? kErrorTexts[code] : ""; }

Transfer::Transfer() = default;
Transfer::~Transfer() = default;

TransferImage Transfer::snapshot() const {
    TransferImage image;
    image.opcode = request.opcode;
    image.blockSize = request.blockSize;
    image.blockCounter = blockCounter.load(std::memory_order_relaxed);
    image.mode = request.mode;
    image.textAccess = request.textAccess;
    image.options = request.options;
    image.timeout = request.timeout;
    image.socket = socketOpen.load() ? dataPort.load() : kClosedSocketImage;
    image.mapped = request.mapped ? 1 : 0;
    image.client = request.client;
    image.clientPort = request.clientPort;
    image.group = request.group;
    image.groupPort = request.groupPort;
    image.master = master.load() ? 1 : 0;
    image.lastBlockRead = lastBlockRead.load(std::memory_order_relaxed);
    image.dataLength = dataLength.load(std::memory_order_relaxed);
    image.secondLength = secondLength.load(std::memory_order_relaxed);
    image.path = request.path;
    image.outcome = outcome.load(std::memory_order_acquire);
    const bool done = ended.load(std::memory_order_acquire);
    image.thread = done ? -1 : 1;
    image.endTime = done ? endTime.load() : 0;
    // A write's size is the bytes received once it has ended.
    image.size = request.opcode == kOpWriteRequest && done
                     ? bytesReceived.load()
                     : static_cast<std::uint32_t>(std::min<std::uint64_t>(request.size, 0xFFFFFFFFu));
    if (image.outcome != kRunning)
        image.clientError = std::string(clientError.data(), strnlen(clientError.data(), clientError.size()));
    return image;
}

bool clientEnds(const Transfer& transfer, std::span<const std::uint8_t> packet) {
    if (packet.size() < 4 || packet[0] != 0) return false;
    const unsigned block = (unsigned{packet[2]} << 8) | packet[3];
    const std::uint64_t final = transfer.finalBlock.load();
    switch (packet[1]) {
        case kOpError:
            return true;
        case kOpAck:
            return transfer.request.opcode == kOpReadRequest && final != 0 && block == (final & 0xFFFF);
        default:
            return false;
    }
}

bool finalBlockSent(const Transfer& transfer) {
    return transfer.request.opcode == kOpReadRequest && transfer.finalBlock.load() != 0;
}

}  // namespace tolmark::tftp
