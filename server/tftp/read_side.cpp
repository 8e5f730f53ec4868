// The read side of a transfer: the option acknowledgement, then DATA blocks kept in a window and
// moved on by the client's acknowledgements, with retransmission after a silent time-out.

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <vector>

#include "server/tftp/packets.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {
namespace {

constexpr std::int64_t kMemberCheckMs = 50;

enum class AckResult { Counted, Timeout, RanOutIgnored, ClientError, Failed, ClientDone, Stopped };

struct ReadState {
    std::uint64_t acked = 0;  // blocks acknowledged
    std::uint64_t sent = 0;   // highest block sent
    std::uint64_t last = 0;   // the short block that ends the file, once read
};

class ReadSide {
public:
    ReadSide(EngineContext& context, BlockSource& source)
        : c_(context), t_(context.transfer), source_(source), blockSize_(t_.request.blockSize) {
        const TransferRequest& r = t_.request;
        windowed_ = (r.options & kOptWindowsize) != 0;
        window_ = windowed_ ? std::max<std::uint16_t>(r.window, 1)
                            : (c_.settings.windowOfTwo && !t_.multicast.load() ? 2 : 1);
        timeoutMs_ = std::max(r.timeout, 1) * 1000;
        laterRepeatMs_ = laterRepeatMs(r);
        lastHeardMs_ = c_.channel.nowMs();
        headers_.resize(window_);
        batch_.resize(window_);
        // A multicast transfer can learn from the group's master that its client has blocks it
        // never read itself: the file's size says where the blocks end.
        if (t_.multicast.load() && r.size < 0xFFFFFFFFu) s_.last = r.size / blockSize_ + 1;
    }

    std::int32_t run() {
        if (t_.request.options != 0) {
            if (const auto outcome = optionPhase()) return *outcome;
        }
        return dataPhase();
    }

private:
    std::uint16_t counterWord() const { return static_cast<std::uint16_t>(s_.acked); }
    // The block counter as the transfer record holds it (high 16 bits only with large files).
    unsigned counterValue(std::uint64_t blocks) const {
        return static_cast<unsigned>(c_.settings.largeFiles ? blocks : blocks & 0xFFFF);
    }
    void publishCounter() { t_.blockCounter.store(counterValue(s_.acked), std::memory_order_relaxed); }
    bool silentTooLong() const {
        return c_.settings.maxSilentMs > 0 && c_.channel.nowMs() - lastHeardMs_ >= c_.settings.maxSilentMs;
    }
    // The block awaited next is a full one (not the final short block).
    bool currentFull() const { return s_.last == 0 || s_.acked + 1 < s_.last; }
    bool stopping() const { return c_.stopping && c_.stopping(); }

    std::optional<std::int32_t> optionPhase();
    std::int32_t dataPhase();
    std::optional<std::int32_t> sendWindow();
    // The file could not be read or sent on (it was cut under the transfer, say): the client is
    // told, since a transfer that just goes silent, or a port that is closed, passes for a
    // complete file with some clients.
    std::int32_t endWithError() {
        sendErrorPacket(c_, 0, ErrorText::Unspecified);
        return kOutcomeFailure;
    }
    AckResult waitForAck(bool optionPhase, std::int64_t waitMs);
    AckResult countAck(std::uint16_t block, bool optionPhase);
    // Sends again from the block after this one. Blocks sent again reach a client that may
    // have them already, and a client acknowledges its last block in order again when a block
    // it did not expect arrives (atftp does): an acknowledgement of a block up to the last one
    // sent before the previous start again is no news of a loss, and starting again on it would
    // send every later window twice to the end of the file. Such a loss is mended by the
    // time-out instead.
    bool restartAfter(std::uint64_t block) {
        if (block <= resentUpTo_) return false;
        resendFrom(block);
        return true;
    }
    // Every block after this one goes out again.
    void resendFrom(std::uint64_t block) {
        resentUpTo_ = std::max(resentUpTo_, s_.sent);
        s_.sent = block;
    }

    EngineContext& c_;
    Transfer& t_;
    BlockSource& source_;
    const std::uint16_t blockSize_;
    bool windowed_ = false;
    std::uint16_t window_ = 1;
    int timeoutMs_ = 1000;
    std::int64_t laterRepeatMs_ = 1000;  // the wait before a second repetition and after
    std::int64_t lastHeardMs_ = 0;       // when the client last acknowledged something
    ReadState s_;
    std::uint64_t resentUpTo_ = 0;  // the last block sent before the last start again
    // The headers and datagrams of the window being sent, allocated once.
    std::vector<std::array<std::uint8_t, kHeaderSize>> headers_;
    std::vector<Outgoing> batch_;
    std::array<std::uint8_t, 512> oack_{};
    std::array<std::uint8_t, kRequestMax + 1> received_{};
};

AckResult ReadSide::countAck(std::uint16_t block, bool optionPhase) {
    if (t_.multicast.load()) {
        // The group's master says which block it has; the stream goes on after it. A new master
        // may name any block of the file, far from this transfer's count: a group's file has at
        // most 65,535 blocks, so the number names one block.
        const std::uint64_t size = t_.request.size;
        // The acknowledgement that sent the block in flight, again (the network repeated it, or
        // the master acknowledged a copy): answered only by the time-out, as in a unicast
        // transfer, else a master that acknowledges every copy gets every block twice.
        if (!optionPhase && block == s_.acked && s_.sent > s_.acked) {
            c_.log.line(2, false, "TFTP  ack     ignored %u, %u\n", block, counterValue(s_.acked + 1));
            return AckResult::RanOutIgnored;
        }
        c_.log.line(3, false, "TFTP  ack     received %u\n", block);
        if (!t_.master.load() && std::uint64_t{block} * blockSize_ > size) return AckResult::ClientDone;
        if (block != 0 && size < std::uint64_t{block - 1u} * blockSize_) return AckResult::Failed;
        s_.acked = block;
        s_.sent = s_.acked;
        lastHeardMs_ = c_.channel.nowMs();
        return AckResult::Counted;
    }
    const auto step = static_cast<std::uint16_t>(block - counterWord());
    if (optionPhase ? step == 0 : (step >= 1 && step <= s_.sent - s_.acked)) {
        s_.acked += step;
        lastHeardMs_ = c_.channel.nowMs();
        c_.log.line(3, false, "TFTP  ack     received %u\n", block);
        // A negotiated window is acknowledged at its end; an acknowledgement short of what was
        // sent means the client missed the block after it.
        if (windowed_ && s_.acked < s_.sent) restartAfter(s_.acked);
        return AckResult::Counted;
    }
    // An acknowledgement of a block already acknowledged is no news: most often the network or
    // the client repeated the one that moved the window on, and it arrives after the next window
    // has left. Sending again on it would send every other window twice (every block, one block
    // at a time). A lost first block of a window is mended by the time-out.
    // Logged with the block awaited: 0 for the option acknowledgement.
    c_.log.line(2, false, "TFTP  ack     ignored %u, %u\n", block, optionPhase ? 0u : counterValue(s_.acked + 1));
    return AckResult::RanOutIgnored;
}

AckResult ReadSide::waitForAck(bool optionPhase, std::int64_t waitMs) {
    // A group member that is not the master looks often whether it has become master, so that
    // its client gets the blocks it missed at once when the master leaves.
    const bool member = t_.multicast.load() && !t_.master.load();
    const std::int64_t wait = member ? std::min(waitMs, kMemberCheckMs) : waitMs;
    const std::int64_t deadline = c_.channel.nowMs() + waitLimitMs(c_, wait, lastHeardMs_);
    bool ignored = false;
    for (;;) {
        if (stopping()) return AckResult::Stopped;
        const std::int64_t left = deadline - c_.channel.nowMs();
        if (left <= 0) return ignored ? AckResult::RanOutIgnored : AckResult::Timeout;
        std::size_t length = 0;
        switch (c_.channel.receive(static_cast<int>(left), received_, length)) {
            case Channel::Wait::Stopped:
                return AckResult::Stopped;
            case Channel::Wait::Error:
                c_.log.line(2, false, "TFTP  Error   ack failure %u\n", static_cast<unsigned>(c_.channel.lastError()));
                return AckResult::Failed;
            case Channel::Wait::Timeout:
                return ignored ? AckResult::RanOutIgnored : AckResult::Timeout;
            case Channel::Wait::Packet:
                break;
        }
        const ReceivedPacket packet = readPacket(std::span<const std::uint8_t>(received_.data(), length));
        if (packet.opcode == kOpError) {
            keepClientError(t_, packet);
            c_.log.line(2, false, "TFTP  Error   %s\n", t_.clientError.data());
            return AckResult::ClientError;
        }
        if (packet.opcode != kOpAck) continue;
        const AckResult result = countAck(packet.block, optionPhase);
        if (result != AckResult::RanOutIgnored) return result;
        ignored = true;
    }
}

std::optional<std::int32_t> ReadSide::optionPhase() {
    int retries = 0;
    bool wasMaster = t_.master.load();
    bool send = true;
    for (;;) {
        if (stopping()) return kOutcomeFailure;
        if (t_.multicast.load() && t_.master.load() && !wasMaster) {
            // The group's master has gone and this client took over: it learns so from a new OACK.
            wasMaster = true;
            send = true;
            retries = 0;
        }
        if (send && !sendOptionAck(c_, oack_, t_.master.load())) return kOutcomeFailure;
        send = false;
        const AckResult result = waitForAck(true, retries == 0 ? timeoutMs_ : laterRepeatMs_);
        switch (result) {
            case AckResult::Counted:
                publishCounter();
                return std::nullopt;
            case AckResult::ClientError:
                return kOutcomeAborted;
            case AckResult::ClientDone:
                return kOutcomeDone;
            case AckResult::Failed:
                return kOutcomeTimeout;
            case AckResult::Stopped:
                return kOutcomeFailure;
            case AckResult::Timeout:
            case AckResult::RanOutIgnored: {
                // A client that is not its group's master waits for the acknowledgements it may
                // still send, until it becomes master (then it sends the OACK again at once).
                // It is silent while the group's data reach it: how long a client may be silent
                // counts from when it is master.
                if (t_.multicast.load() && (!t_.master.load() || !wasMaster)) {
                    lastHeardMs_ = c_.channel.nowMs();
                    continue;
                }
                if (silentTooLong()) return kOutcomeTimeout;
                if (retries > c_.settings.retransmit) return kOutcomeTimeout;
                // A wait that ran out after ignored acknowledgements is no time-out of its own.
                if (result == AckResult::Timeout) c_.log.line(2, false, "TFTP  Error   ack timeout %u\n", 0u);
                ++retries;
                send = true;
                break;
            }
        }
    }
}

std::optional<std::int32_t> ReadSide::sendWindow() {
    const bool toGroup = t_.multicast.load() && t_.master.load();
    // The blocks of the window go out together; each stays valid while the window's others are
    // read (a block source keeps the last window of blocks).
    std::size_t count = 0;
    bool readFailed = false;
    for (std::uint64_t index = s_.sent + 1; index <= s_.acked + window_ && (s_.last == 0 || index <= s_.last);
         ++index) {
        const std::optional<std::span<const std::uint8_t>> data = source_.block(index);
        if (!data) {
            readFailed = true;
            break;
        }
        if (data->size() < blockSize_) {
            s_.last = index;
            t_.finalBlock.store(index);
        }
        std::array<std::uint8_t, kHeaderSize>& header = headers_[count];
        writeDataHeader(header, static_cast<std::uint16_t>(index));
        batch_[count++] = Outgoing{header, *data};
    }
    if (count != 0) {
        const auto last = static_cast<std::int32_t>(s_.sent + count);
        t_.lastBlockRead.store(last, std::memory_order_relaxed);
        t_.dataLength.store(static_cast<std::int32_t>(batch_[count - 1].data.size()), std::memory_order_relaxed);
        const std::size_t sent = c_.channel.sendBatch(std::span<const Outgoing>(batch_.data(), count), toGroup);
        s_.sent += sent;
        if (sent < count) {
            // Logged with the block counter: the blocks acknowledged so far.
            c_.log.line(1, false, "TFTP  Error   sent block %u %d failed\n", counterValue(s_.acked),
                        static_cast<int>(batch_[sent].data.size()));
            return endWithError();
        }
    }
    if (readFailed) return endWithError();
    return std::nullopt;
}

std::int32_t ReadSide::dataPhase() {
    int retries = 0;
    const std::uint16_t fullWindow = window_;
    for (;;) {
        if (stopping()) return kOutcomeFailure;
        if (const auto failed = sendWindow()) return *failed;
        if (s_.last != 0 && s_.acked >= s_.last) return kOutcomeDone;
        window_ = fullWindow;
        // A block sent again a second time and after is waited for longer (see laterRepeatMs): atftp
        // acknowledges only the first repetition of a block it has again and then sends its ACK
        // again only after a silence of its own time-out.
        const AckResult result = waitForAck(false, retries == 0 ? timeoutMs_ : laterRepeatMs_);
        switch (result) {
            case AckResult::Counted:
                publishCounter();
                retries = 0;
                if (s_.last != 0 && s_.acked >= s_.last) return kOutcomeDone;
                continue;
            case AckResult::ClientError:
                return kOutcomeAborted;
            case AckResult::Failed:
                return currentFull() ? kOutcomeTimeout : kOutcomeDone;
            case AckResult::Stopped:
                return kOutcomeFailure;
            case AckResult::Timeout:
            case AckResult::RanOutIgnored:
            case AckResult::ClientDone:
                break;
        }
        // The client has asked anew from its port after the final block (its last ACK was lost):
        // it has the file, and the final block sent again would only reach its new transfer.
        if (s_.last != 0 && t_.clientEnded.load()) return kOutcomeDone;
        if (result == AckResult::Timeout)
            c_.log.line(2, false, "TFTP  Error   ack timeout %u\n", static_cast<unsigned>((s_.acked + 1) & 0xFFFF));
        // A missing acknowledgement of the final short block ends the transfer as done.
        if (retries > c_.settings.retransmit || silentTooLong()) return currentFull() ? kOutcomeTimeout : kOutcomeDone;
        ++retries;
        // Go back to the block after the last one acknowledged; without a negotiated window only
        // that block goes out again until the client answers.
        resendFrom(s_.acked);
        if (!windowed_) window_ = 1;
    }
}

}  // namespace

std::int32_t runReadSide(EngineContext& context, BlockSource& source) {
    ReadSide side(context, source);
    return side.run();
}

}  // namespace tolmark::tftp
