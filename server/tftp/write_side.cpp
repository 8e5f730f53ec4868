// The write side of a transfer: acknowledge each DATA block in order, acknowledge duplicates
// again, and store the data.

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <vector>

#include "base/error_text.h"
#include "server/tftp/packets.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {
namespace {

class WriteSide {
public:
    WriteSide(EngineContext& context, BlockSink& sink)
        : c_(context),
          t_(context.transfer),
          sink_(sink),
          blockSize_(t_.request.blockSize),
          received_(blockSize_ + kHeaderSize + 1) {
        timeoutMs_ = std::max(t_.request.timeout, 1) * 1000;
        laterRepeatMs_ = laterRepeatMs(t_.request);
    }

    std::int32_t run() {
        const bool options = t_.request.options != 0;
        if (!sendAnswer(options)) return kOutcomeFailure;
        int retries = 0;
        lastHeardMs_ = c_.channel.nowMs();
        for (;;) {
            if (c_.stopping && c_.stopping()) return kOutcomeFailure;
            std::size_t length = 0;
            // The first repetition of the ACK comes a time-out after the client was last heard;
            // later ones leave the client room for a time-out of its own (tftp-hpa ignores a
            // repeated ACK and sends its block again only after that silence).
            const std::int64_t repeatAfter = retries == 0 ? timeoutMs_ : laterRepeatMs_;
            const std::int64_t limit = waitLimitMs(c_, repeatAfter, lastHeardMs_);
            const Channel::Wait wait =
                limit > 0 ? c_.channel.receive(static_cast<int>(limit), received_, length) : Channel::Wait::Timeout;
            switch (wait) {
                case Channel::Wait::Stopped:
                    return kOutcomeFailure;
                case Channel::Wait::Error:
                    return receiveFailed(c_.channel.lastError());
                case Channel::Wait::Timeout:
                    if (retries > c_.settings.retransmit || limit < repeatAfter) return kOutcomeTimeout;
                    ++retries;
                    if (!sendAnswer(options && counter_ == 0)) return kOutcomeFailure;
                    continue;
                case Channel::Wait::Packet:
                    break;
            }
            // Anything shorter than a header (an empty datagram too) ends the upload.
            if (length < kHeaderSize) return receiveFailed(0);
            const ReceivedPacket packet = readPacket(std::span<const std::uint8_t>(received_.data(), length));
            if (packet.opcode == kOpError) {
                keepClientError(t_, packet);
                return kOutcomeAborted;
            }
            // A DATA packet longer than a block is no block of this transfer: the receive buffer
            // holds one byte more than a block just to tell, so that the part that fits is
            // never stored as if it were the block.
            if (packet.opcode != kOpData || packet.data.size() > blockSize_) continue;
            c_.log.line(3, false, "TFTP  recvd   block %u, %u bytes\n", packet.block, static_cast<unsigned>(length));
            retries = 0;
            lastHeardMs_ = c_.channel.nowMs();
            const auto expected = static_cast<std::uint16_t>(counter_ + 1);
            const auto step = static_cast<std::uint16_t>(packet.block - expected);
            if (step == 0) {
                if (const auto outcome = store(packet)) return *outcome;
            } else if (step >= 0x8000) {
                // A block from before (also across the wrap of the block number): its
                // acknowledgement was lost, so it is acknowledged again and not written twice.
                if (!sendAck(packet.block)) return kOutcomeFailure;
            }
        }
    }

private:
    std::int32_t receiveFailed(int error) {
        c_.log.line(2, false, "TFTP  Error   %d receiving block %u\n", error,
                    static_cast<unsigned>((counter_ + 1) & 0xFFFF));
        return kOutcomeFailure;
    }
    // The client learns that its data could not be stored: a full disk (or any other failure to
    // store), more data than its "tsize" announced, or a name taken meanwhile.
    std::int32_t refuseData(std::uint16_t block, int error) {
        // The transfer's closing line says only that the upload failed; this one says why, so
        // that a full disk or a closed directory is found without asking the client.
        if (error == EFBIG) {
            c_.log.line(1, false, "TFTP  Error   block %u not stored: more than tsize %llu\n", block,
                        static_cast<unsigned long long>(t_.request.size));
        } else {
            c_.log.line(1, false, "TFTP  Error   block %u not stored: %s\n", block,
                        error != 0 ? tolmark::errorText(error).c_str() : "write failed");
        }
        if (error == EEXIST) {
            sendErrorPacket(c_, 6, ErrorText::FileExists);
        } else {
            sendErrorPacket(c_, 3, ErrorText::DiskFull);
        }
        return kOutcomeFailure;
    }
    // The expected block: stored, and acknowledged once it is (the last one once the file is in
    // place). An outcome when the upload ends.
    std::optional<std::int32_t> store(const ReceivedPacket& packet) {
        const bool announced = (t_.request.options & kOptTsize) != 0 && t_.request.size != 0;
        if (announced && written_ + packet.data.size() > announcedLimit()) return refuseData(packet.block, EFBIG);
        if (!sink_.write(packet.data)) return refuseData(packet.block, sink_.lastError());
        written_ += packet.data.size();
        t_.bytesReceived.store(static_cast<std::uint32_t>(std::min<std::uint64_t>(written_, 0xFFFFFFFFu)));
        ++counter_;
        t_.blockCounter.store(static_cast<std::uint32_t>(c_.settings.largeFiles ? counter_ : counter_ & 0xFFFF),
                              std::memory_order_relaxed);
        // Only the expected short block ends the upload: a stray short one must not cut it.
        const bool last = packet.data.size() < blockSize_;
        if (last && !sink_.finish()) return refuseData(packet.block, sink_.lastError());
        if (!sendAck(packet.block)) return kOutcomeFailure;
        if (last) return kOutcomeDone;
        return std::nullopt;
    }
    // The most octets the client may send after announcing "tsize". A netascii client may
    // announce the size of its own text rather than of the stream (atftp does): each line end of
    // that text travels as two octets, so the stream may be up to twice as long.
    std::uint64_t announcedLimit() const {
        const std::uint64_t size = t_.request.size;
        if (t_.request.mode != kModeNetascii) return size;
        return size > ~std::uint64_t{0} / 2 ? ~std::uint64_t{0} : 2 * size;
    }
    bool sendAck(std::uint16_t block) {
        writeAck(ack_, block);
        if (!c_.channel.send(ack_)) return false;
        c_.log.line(3, false, "TFTP   ack     %u sent\n", block);
        return true;
    }
    // The OACK while nothing has arrived and options were accepted, else the last ACK.
    bool sendAnswer(bool oack) {
        if (!oack) return sendAck(static_cast<std::uint16_t>(counter_));
        return sendOptionAck(c_, oackBuffer_, false);
    }

    EngineContext& c_;
    Transfer& t_;
    BlockSink& sink_;
    const std::uint16_t blockSize_;
    int timeoutMs_ = 1000;
    std::int64_t laterRepeatMs_ = 0;
    std::int64_t lastHeardMs_ = 0;  // when the client last sent a block
    std::uint64_t counter_ = 0;
    std::uint64_t written_ = 0;
    std::vector<std::uint8_t> received_;
    std::array<std::uint8_t, kHeaderSize> ack_{};
    std::array<std::uint8_t, 512> oackBuffer_{};
};

}  // namespace

std::int32_t runWriteSide(EngineContext& context, BlockSink& sink) {
    WriteSide side(context, sink);
    return side.run();
}

void dallyAfterUpload(EngineContext& context) {
    const auto last = static_cast<std::uint16_t>(context.transfer.blockCounter.load(std::memory_order_relaxed));
    std::array<std::uint8_t, kHeaderSize> ack{};
    writeAck(ack, last);
    // Only the header of what arrives is looked at.
    std::array<std::uint8_t, kHeaderSize> received{};
    std::int64_t waitMs = std::int64_t{std::max(context.transfer.request.timeout, 1)} * 1000;
    if (context.settings.maxSilentMs > 0) waitMs = std::min(waitMs, context.settings.maxSilentMs);
    std::int64_t lastHeardMs = context.channel.nowMs();
    for (int repeats = 0; repeats <= context.settings.retransmit;) {
        if (context.stopping && context.stopping()) return;
        const std::int64_t left = lastHeardMs + waitMs - context.channel.nowMs();
        if (left <= 0) return;
        std::size_t length = 0;
        if (context.channel.receive(static_cast<int>(left), received, length) != Channel::Wait::Packet) return;
        const ReceivedPacket packet = readPacket(std::span<const std::uint8_t>(received.data(), length));
        if (packet.opcode == kOpError) return;
        if (packet.opcode != kOpData || packet.block != last) continue;
        if (!context.channel.send(ack)) return;
        context.log.line(3, false, "TFTP   ack     %u sent\n", last);
        lastHeardMs = context.channel.nowMs();
        ++repeats;
    }
}

}  // namespace tolmark::tftp
