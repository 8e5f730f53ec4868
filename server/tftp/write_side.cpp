// The write side of a transfer: acknowledge each DATA block in order, acknowledge duplicates
// again, and store the data.

#include <algorithm>
#include <array>
#include <cstdio>
#include <vector>

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
    }

    std::int32_t run() {
        const bool options = t_.request.options != 0;
        if (!sendAnswer(options)) return kOutcomeFailure;
        int retries = 0;
        for (;;) {
            if (c_.stopping && c_.stopping()) return kOutcomeFailure;
            std::size_t length = 0;
            switch (c_.channel.receive(timeoutMs_, received_, length)) {
                case Channel::Wait::Stopped:
                    return kOutcomeFailure;
                case Channel::Wait::Error:
                    return kOutcomeFailure;
                case Channel::Wait::Timeout:
                    if (retries > c_.settings.retransmit) return kOutcomeTimeout;
                    ++retries;
                    if (!sendAnswer(options && counter_ == 0)) return kOutcomeFailure;
                    continue;
                case Channel::Wait::Packet:
                    break;
            }
            if (length == 0) continue;  // woken without a datagram
            if (length < kHeaderSize) {
                c_.log.line(2, false, "TFTP  Error   %d receiving block %u\n", c_.channel.lastError(),
                            static_cast<unsigned>((counter_ + 1) & 0xFFFF));
                return kOutcomeFailure;
            }
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
            const auto expected = static_cast<std::uint16_t>(counter_ + 1);
            const auto step = static_cast<std::uint16_t>(packet.block - expected);
            if (step == 0) {
                if (!sink_.write(packet.data)) return kOutcomeFailure;
                written_ += packet.data.size();
                t_.bytesReceived.store(static_cast<std::uint32_t>(std::min<std::uint64_t>(written_, 0xFFFFFFFFu)));
                ++counter_;
                t_.blockCounter.store(static_cast<std::uint32_t>(c_.settings.largeFiles ? counter_ : counter_ & 0xFFFF),
                                      std::memory_order_relaxed);
                if (!sendAck(packet.block)) return kOutcomeFailure;
                // Only the expected short block ends the upload: a stray short one must not cut it.
                if (packet.data.size() < blockSize_) return sink_.finish() ? kOutcomeDone : kOutcomeFailure;
            } else if (step >= 0x8000) {
                // A block from before (also across the wrap of the block number): its
                // acknowledgement was lost, so it is acknowledged again and not written twice.
                if (!sendAck(packet.block)) return kOutcomeFailure;
            }
        }
    }

private:
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

}  // namespace tolmark::tftp
