// The transfer engine against a scripted client with a simulated clock: what goes out, when,
// and how each exchange ends.

#include <gtest/gtest.h>

#include <cerrno>
#include <deque>
#include <functional>
#include <map>
#include <utility>
#include <vector>

#include "server/tftp/packets.h"
#include "server/tftp/transfer_engine.h"
#include "tests/support/fakes.h"

namespace tolmark::tftp {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes ack(unsigned block) { return {0, 4, static_cast<std::uint8_t>(block >> 8), static_cast<std::uint8_t>(block)}; }
Bytes data(unsigned block, const Bytes& payload) {
    Bytes b(4 + payload.size());
    b[1] = 3;
    b[2] = static_cast<std::uint8_t>(block >> 8);
    b[3] = static_cast<std::uint8_t>(block);
    std::copy(payload.begin(), payload.end(), b.begin() + 4);
    return b;
}

struct Sent {
    std::int64_t at;
    Bytes bytes;
    bool toGroup;
    unsigned opcode() const { return bytes[1]; }
    unsigned block() const { return (unsigned{bytes[2]} << 8) | bytes[3]; }
    std::size_t dataSize() const { return bytes.size() - 4; }
};

// The client side of the exchange: answers each packet the server sends through a script that
// may queue replies after a delay. Time only moves when the server waits.
class ScriptedClient final : public Channel {
public:
    std::function<void(ScriptedClient&, const Sent&)> answer;
    std::vector<Sent> sent;
    std::int64_t now = 0;

    // The send at this index (from 0) fails; later ones go through.
    std::size_t failSendAt = ~std::size_t{0};

    void reply(Bytes bytes, std::int64_t delay = 1) { inbox_.push_back({now + delay, std::move(bytes), 0}); }
    // What the client meant to send has not left yet and never will (its timer started again).
    void cancelReplies() { inbox_.clear(); }
    // The socket reports the error at that time.
    void replyError(int error, std::int64_t delay = 1) { inbox_.push_back({now + delay, {}, error}); }

    bool send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload) override {
        return record(header, payload, false);
    }
    bool sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload) override {
        return record(header, payload, true);
    }
    Wait receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) override {
        if (!inbox_.empty() && inbox_.front().at <= now + timeoutMs) {
            now = std::max(now, inbox_.front().at);
            const Bytes b = std::move(inbox_.front().bytes);
            error_ = inbox_.front().error;
            inbox_.pop_front();
            if (error_ != 0) return Wait::Error;
            length = std::min(b.size(), buffer.size());
            std::copy(b.begin(), b.begin() + static_cast<long>(length), buffer.begin());
            return Wait::Packet;
        }
        now += timeoutMs;
        return Wait::Timeout;
    }
    std::int64_t nowMs() const override { return now; }
    int lastError() const override { return error_; }

    std::vector<unsigned> dataBlocks() const {
        std::vector<unsigned> blocks;
        for (const Sent& s : sent)
            if (s.opcode() == kOpData) blocks.push_back(s.block());
        return blocks;
    }

private:
    bool record(std::span<const std::uint8_t> header, std::span<const std::uint8_t> payload, bool group) {
        Bytes b(header.begin(), header.end());
        b.insert(b.end(), payload.begin(), payload.end());
        if (sent.size() == failSendAt) {
            failSendAt = ~std::size_t{0};
            return false;
        }
        sent.push_back({now, b, group});
        if (answer) answer(*this, sent.back());
        return true;
    }
    struct Incoming {
        std::int64_t at;
        Bytes bytes;
        int error;
    };
    std::deque<Incoming> inbox_;
    int error_ = 0;
};

class MemorySource final : public BlockSource {
public:
    MemorySource(Bytes bytes, std::size_t blockSize, std::uint64_t failAt = 0)
        : bytes_(std::move(bytes)), blockSize_(blockSize), failAt_(failAt) {}
    std::optional<std::span<const std::uint8_t>> block(std::uint64_t index) override {
        if (index == failAt_) return std::nullopt;
        const std::uint64_t start = (index - 1) * blockSize_;
        if (start >= bytes_.size()) return std::span<const std::uint8_t>();
        return std::span<const std::uint8_t>(bytes_.data() + start,
                                             std::min<std::uint64_t>(blockSize_, bytes_.size() - start));
    }

private:
    Bytes bytes_;
    std::size_t blockSize_;
    std::uint64_t failAt_;
};

class MemorySink final : public BlockSink {
public:
    bool write(std::span<const std::uint8_t> d) override {
        if (bytes.size() + d.size() > room) {
            error = ENOSPC;
            return false;
        }
        bytes.insert(bytes.end(), d.begin(), d.end());
        return true;
    }
    bool finish() override {
        error = finishError;
        return finished = finishError == 0;
    }
    int lastError() const override { return error; }
    Bytes bytes;
    bool finished = false;
    std::size_t room = ~std::size_t{0};
    int finishError = 0;
    int error = 0;
};

Bytes errorPacket(unsigned code, const std::string& text) {
    const std::string b = std::string{'\0', '\5', '\0', static_cast<char>(code)} + text + '\0';
    return Bytes(b.begin(), b.end());
}

Bytes pattern(std::size_t n) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    return b;
}

// An ordinary client: acknowledges every DATA block it gets in order, 1 ms later.
void ackEveryBlock(ScriptedClient& c, const Sent& s) {
    if (s.opcode() == kOpData) c.reply(ack(s.block()));
    if (s.opcode() == kOpOack) c.reply(ack(0));
}

struct Exchange {
    Transfer transfer;
    ScriptedClient client;
    testing::CapturingLog log{3};
    EngineSettings settings;
    std::function<bool()> stopping = nullptr;  // also called at every wait
    std::uint64_t failReadAt = 0;              // the block the file cannot give

    std::int32_t read(const Bytes& file, std::uint16_t blockSize = 512) {
        transfer.request.opcode = kOpReadRequest;
        transfer.request.blockSize = blockSize;
        transfer.request.size = static_cast<std::uint32_t>(file.size());
        MemorySource source(file, blockSize, failReadAt);
        EngineContext context{transfer, client, log, settings, stopping};
        return runReadSide(context, source);
    }
    std::int32_t write(MemorySink& sink, std::uint16_t blockSize = 512) {
        transfer.request.opcode = kOpWriteRequest;
        transfer.request.blockSize = blockSize;
        EngineContext context{transfer, client, log, settings, nullptr};
        const std::int32_t outcome = runWriteSide(context, sink);
        if (outcome == kOutcomeDone) dallyAfterUpload(context);
        return outcome;
    }
    bool logged(const std::string& text) const {
        for (const std::string& l : log.lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST(ReadSide, FileSizesAndTheClosingBlock) {
    struct Case {
        std::size_t size;
        std::vector<std::size_t> blockSizes;  // sizes of the DATA blocks sent
    };
    for (const Case& c :
         std::vector<Case>{{0, {0}}, {1, {1}}, {512, {512, 0}}, {1024, {512, 512, 0}}, {700, {512, 188}}}) {
        SCOPED_TRACE(c.size);
        Exchange r;
        r.client.answer = ackEveryBlock;
        EXPECT_EQ(r.read(pattern(c.size)), kOutcomeDone);
        std::vector<std::size_t> sizes;
        for (const Sent& s : r.client.sent) sizes.push_back(s.dataSize());
        EXPECT_EQ(sizes, c.blockSizes);
        EXPECT_EQ(r.transfer.blockCounter.load(), c.blockSizes.size());
    }
}

// A block the file cannot give (it was cut meanwhile), or one that cannot be sent: the client
// learns that the transfer failed instead of hearing nothing more.
TEST(ReadSide, AReadOrSendThatFailsEndsWithAnErrorToTheClient) {
    for (const bool readFails : {true, false}) {
        SCOPED_TRACE(readFails ? "read" : "send");
        Exchange r;
        r.client.answer = ackEveryBlock;
        if (readFails) {
            r.failReadAt = 3;
        } else {
            r.client.failSendAt = 2;
        }
        EXPECT_EQ(r.read(pattern(5000)), kOutcomeFailure);
        EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2}));
        EXPECT_EQ(r.client.sent.back().bytes, errorPacket(0, "unspecified Error"));
    }
}

TEST(ReadSide, SilentClientGetsRetransmissionsThenTimeout) {
    Exchange r;
    r.settings.retransmit = 3;
    r.transfer.request.timeout = 2;
    EXPECT_EQ(r.read(pattern(2000)), kOutcomeTimeout);
    // The first block and "TFTPRetransmit" plus one repetitions: the first after the 2-second
    // time-out, the others leaving room for the client's own 5-second one.
    ASSERT_EQ(r.client.sent.size(), 5u);
    const std::int64_t at[] = {0, 2000, 9000, 16000, 23000};
    for (std::size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(r.client.sent[i].block(), 1u);
        EXPECT_EQ(r.client.sent[i].at, at[i]);
    }
    EXPECT_TRUE(r.logged("TFTP  Error   ack timeout 1\n"));
}

TEST(ReadSide, MissingAckOfTheFinalShortBlockIsDone) {
    Exchange r;
    r.settings.retransmit = 2;
    r.client.answer = [](ScriptedClient& c, const Sent& s) {
        if (s.block() == 1) c.reply(ack(1));
    };
    EXPECT_EQ(r.read(pattern(700)), kOutcomeDone);
    EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 2, 2, 2}));
}

TEST(ReadSide, WrongAckIsIgnoredWithoutRestartingTheTimeout) {
    Exchange r;
    r.settings.retransmit = 1;
    r.client.answer = [](ScriptedClient& c, const Sent& s) {
        if (s.opcode() == kOpData && s.block() == 1 && c.sent.size() == 1) c.reply(ack(7), 900);
        if (s.opcode() == kOpData && c.sent.size() == 2) c.reply(ack(s.block()));
    };
    EXPECT_EQ(r.read(pattern(100)), kOutcomeDone);
    EXPECT_TRUE(r.logged("TFTP  ack     ignored 7, 1\n"));  // with the block awaited
    // The repetition left 1 second after the first send, not 1 second after the stray ACK.
    ASSERT_EQ(r.client.sent.size(), 2u);
    EXPECT_EQ(r.client.sent[1].at, 1000);
    EXPECT_FALSE(r.logged("ack timeout"));
}

TEST(ReadSide, OptionAcknowledgementFirst) {
    Exchange r;
    r.transfer.request.options = kOptBlksize | kOptTsize;
    r.client.answer = ackEveryBlock;
    EXPECT_EQ(r.read(pattern(3000), 1468), kOutcomeDone);
    ASSERT_GE(r.client.sent.size(), 1u);
    const Bytes expected = {0,   6, 'b', 'l', 'k', 's', 'i', 'z', 'e', 0,   '1', '4', '6',
                            '8', 0, 't', 's', 'i', 'z', 'e', 0,   '3', '0', '0', '0', 0};
    EXPECT_EQ(r.client.sent[0].bytes, expected);
    EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 3}));
    EXPECT_TRUE(r.logged("TFTP  Oack    sent blksize 1468 tsize 3000\n"));
}

TEST(ReadSide, WindowOfTwoKeepsTwoBlocksInFlight) {
    Exchange r;
    r.settings.windowOfTwo = true;
    r.client.answer = ackEveryBlock;
    EXPECT_EQ(r.read(pattern(512 * 4 + 10)), kOutcomeDone);
    // Blocks 1 and 2 leave before the first ACK arrives.
    ASSERT_GE(r.client.sent.size(), 2u);
    EXPECT_EQ(r.client.sent[1].block(), 2u);
    EXPECT_EQ(r.client.sent[1].at, 0);
    EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 3, 4, 5}));
}

TEST(ReadSide, NegotiatedWindowGoesOnAfterTheLastBlockAcknowledged) {
    // windowsize 4: the client acknowledges each full window, and the last block it has in order
    // at once for each block after a gap. Block 6 lost once: the acknowledgement of 5 shows the
    // gap, and the sender starts again at 6. Block 5 lost once: the acknowledgements of 4 are
    // those of a block already acknowledged, and the time-out mends it.
    struct Case {
        std::uint16_t lost;
        std::vector<unsigned> blocks;
        bool timedOut;  // the blocks went out again after a time-out
    };
    for (const Case& c : {Case{6, {1, 2, 3, 4, 5, 6, 7, 8, 6, 7, 8, 9, 10}, false},
                          Case{5, {1, 2, 3, 4, 5, 6, 7, 8, 5, 6, 7, 8, 9, 10}, true}}) {
        SCOPED_TRACE(c.lost);
        Exchange r;
        r.transfer.request.options = kOptWindowsize;
        r.transfer.request.window = 4;
        bool dropped = false;
        std::uint16_t expected = 1;
        int sinceAck = 0;
        r.client.answer = [&](ScriptedClient& client, const Sent& s) {
            if (s.opcode() == kOpOack) return client.reply(ack(0));
            if (s.block() == c.lost && !dropped) {
                dropped = true;
                return;
            }
            if (s.block() != expected) {
                client.reply(ack(static_cast<std::uint16_t>(expected - 1)));
                sinceAck = 0;
                return;
            }
            ++expected;
            if (++sinceAck == 4 || s.dataSize() < 512) {
                client.reply(ack(s.block()));
                sinceAck = 0;
            }
        };
        EXPECT_EQ(r.read(pattern(512 * 9 + 1)), kOutcomeDone);
        EXPECT_EQ(r.client.dataBlocks(), c.blocks);
        EXPECT_EQ(r.transfer.blockCounter.load(), 10u);
        EXPECT_EQ(r.client.sent.back().at >= 1000, c.timedOut);  // a time-out is 1 second
        EXPECT_TRUE(r.logged("TFTP  Oack    sent windowsize 4\n"));
    }
}

TEST(ReadSide, RepeatedAcksNeverSendBlocksAgain) {
    // The ACK that moves a window on, repeated, comes after the next window has left: sending
    // again from there would send every other window twice (or, one block at a time, every
    // block). A client that acknowledges everything twice (some PXE ROMs), and the network
    // repeating one ACK to a client that acknowledges its last block in order once when a block
    // it did not expect arrives (as atftp does).
    struct Case {
        const char* name;
        std::uint16_t negotiated;  // "windowsize", 0 without it
        bool windowOfTwo;
        bool everyAckTwice;
    };
    for (const Case& c : {Case{"windowsize 4, every ACK twice", 4, false, true},
                          Case{"windowsize 4, one ACK repeated", 4, false, false},
                          Case{"window of two, every ACK twice", 0, true, true},
                          Case{"one block at a time, every ACK twice", 0, false, true}}) {
        SCOPED_TRACE(c.name);
        Exchange r;
        r.settings.windowOfTwo = c.windowOfTwo;
        if (c.negotiated != 0) {
            r.transfer.request.options = kOptWindowsize;
            r.transfer.request.window = c.negotiated;
        }
        const unsigned window = c.negotiated != 0 ? c.negotiated : 1;
        std::uint16_t expected = 1;
        bool strayAnswered = false;
        r.client.answer = [&](ScriptedClient& client, const Sent& s) {
            const auto acknowledge = [&](unsigned block) {
                client.reply(ack(block));
                if (c.everyAckTwice || (block == 4 && client.dataBlocks().size() == 4)) client.reply(ack(block), 2);
            };
            if (s.opcode() == kOpOack) return acknowledge(0);
            if (s.block() != expected) {
                if (!std::exchange(strayAnswered, true)) client.reply(ack(static_cast<std::uint16_t>(expected - 1)));
                return;
            }
            strayAnswered = false;
            if (++expected % window == 1 % window || s.dataSize() < 512) acknowledge(s.block());
        };
        EXPECT_EQ(r.read(pattern(512 * 12 + 1)), kOutcomeDone);
        EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13}));
        EXPECT_FALSE(r.logged("ack timeout"));
    }
}

TEST(ReadSide, NegotiatedWindowResendsTheWholeWindowAfterATimeout) {
    Exchange r;
    r.transfer.request.window = 3;
    r.transfer.request.options = kOptWindowsize;
    int round = 0;
    r.client.answer = [&](ScriptedClient& c, const Sent& s) {
        if (s.opcode() == kOpOack) return c.reply(ack(0));
        // The first window is lost entirely.
        if (s.block() == 3 && ++round > 1) c.reply(ack(3));
        if (s.dataSize() < 512 && round > 1) c.reply(ack(s.block()));
    };
    EXPECT_EQ(r.read(pattern(512 * 4)), kOutcomeDone);
    EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 3, 1, 2, 3, 4, 5}));
}

TEST(ReadSide, MulticastMasterSendsToTheGroupAndFollowsItsAcks) {
    Exchange r;
    r.transfer.multicast.store(true);
    r.transfer.master.store(true);
    r.transfer.request.options = kOptMulticast;
    r.transfer.request.group = makeIpv4(224, 0, 0, 1);
    r.transfer.request.groupPort = 1758;
    bool missed = false;
    r.client.answer = [&](ScriptedClient& c, const Sent& s) {
        if (s.opcode() == kOpOack) return c.reply(ack(0));
        // The master misses block 2 once and says it has only block 1.
        if (s.block() == 2 && !missed) {
            missed = true;
            return c.reply(ack(1));
        }
        c.reply(ack(s.block()));
    };
    EXPECT_EQ(r.read(pattern(512 * 2 + 5)), kOutcomeDone);
    EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 2, 3}));
    for (const Sent& s : r.client.sent) EXPECT_EQ(s.toGroup, s.opcode() == kOpData);
    EXPECT_TRUE(r.logged("TFTP  Oack    sent multicast 224.0.0.1,1758,1\n"));
}

TEST(ReadSide, ARepeatedAckIsNotAnsweredAgainAlone) {
    // The network repeats the ACK of block 1 to a client that acknowledges every DATA it gets,
    // copies too: answering the copy would send every later block twice.
    for (const bool multicast : {false, true}) {
        SCOPED_TRACE(multicast);
        Exchange r;
        r.transfer.multicast.store(multicast);
        r.transfer.master.store(multicast);
        r.transfer.request.options = multicast ? kOptMulticast : 0;
        r.client.answer = [&](ScriptedClient& c, const Sent& s) {
            c.reply(ack(s.opcode() == kOpOack ? 0 : s.block()));
            if (s.opcode() == kOpData && r.client.dataBlocks().size() == 1) c.reply(ack(1), 2);
        };
        EXPECT_EQ(r.read(pattern(512 * 5 + 5)), kOutcomeDone);
        EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 3, 4, 5, 6}));
    }
}

TEST(ReadSide, MulticastMasterStopsAtTheLastBlockItsClientHas) {
    // A member that becomes master may hear from its client that it has blocks this transfer
    // never read: nothing beyond the file's last block goes out (the empty block only for a
    // size that is an exact multiple of the block size). In a file of more than 32,768 blocks
    // the block it names may lie more than half the counter's range past this transfer's count.
    struct Case {
        std::size_t size;
        unsigned clientHas;
        std::vector<unsigned> blocks;
    };
    const auto from = [](unsigned first, unsigned last) {
        std::vector<unsigned> blocks;
        for (unsigned b = first; b <= last; ++b) blocks.push_back(b);
        return blocks;
    };
    for (const Case& c : {Case{512 * 2 + 5, 3, {}}, Case{512 * 2 + 5, 2, {3}}, Case{1024, 2, {3}}, Case{1024, 3, {}},
                          Case{512 * 40000 + 5, 40001, {}}, Case{512 * 40000 + 5, 39990, from(39991, 40001)},
                          Case{512 * 40000 + 5, 32767, from(32768, 40001)}}) {
        SCOPED_TRACE(c.size * 10 + c.clientHas);
        Exchange r;
        r.transfer.multicast.store(true);
        r.transfer.master.store(true);
        r.transfer.request.options = kOptMulticast;
        r.client.answer = [&](ScriptedClient& client, const Sent& s) {
            client.reply(ack(s.opcode() == kOpOack ? c.clientHas : s.block()));
        };
        EXPECT_EQ(r.read(pattern(c.size)), kOutcomeDone);
        EXPECT_EQ(r.client.dataBlocks(), c.blocks);
    }
}

TEST(ReadSide, AGroupMemberWaitsLongerThanASilentClientMayAndTakesOver) {
    // Its client is silent while the group's data reach it; it becomes master after two minutes
    // and then serves its client like any other.
    Exchange r;
    r.settings.maxSilentMs = 60000;
    r.transfer.multicast.store(true);
    r.transfer.request.options = kOptMulticast;
    r.stopping = [&] {
        if (r.client.now >= 120000) r.transfer.master.store(true);
        return false;
    };
    // The client answers only once it is told it is the master.
    r.client.answer = [&](ScriptedClient& c, const Sent& s) {
        if (s.opcode() == kOpData || r.transfer.master.load()) ackEveryBlock(c, s);
    };
    EXPECT_EQ(r.read(pattern(512 * 2 + 100)), kOutcomeDone);
    EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 2, 3}));
    EXPECT_GE(r.client.sent.back().at, 120000);
    EXPECT_TRUE(r.logged("TFTP  Oack    sent multicast 0.0.0.0,0,0\n"));
    EXPECT_TRUE(r.logged("TFTP  Oack    sent multicast 0.0.0.0,0,1\n"));
}

TEST(WriteSide, BlocksDuplicatesAndTheEnd) {
    Exchange r;
    MemorySink sink;
    const Bytes file = pattern(512 * 2 + 30);
    r.client.answer = [&](ScriptedClient& c, const Sent& s) {
        const unsigned next = s.block() + 1;
        if ((next - 1) * 512 > file.size()) return;
        const Bytes piece(file.begin() + (next - 1) * 512,
                          file.begin() + std::min<std::size_t>(next * 512, file.size()));
        if (next == 2) c.reply(data(next, Bytes(513, 7)));  // longer than a block: no block, ignored
        c.reply(data(next, piece));
        if (next == 2) c.reply(data(next, piece), 2);  // a duplicate, answered again, written once
        if (next == 2) c.reply(data(9, piece), 3);     // from the future: ignored
    };
    // The ACK of the last block is lost twice (the duplicate of block 2 made the client send block
    // 3 twice already): the client sends the block again after its time-out, and the upload, complete,
    // answers each. A time-out after the last it ends.
    int lost = 2;
    const auto client = r.client.answer;
    r.client.answer = [&](ScriptedClient& c, const Sent& s) {
        if (s.block() == 3 && lost-- > 0) return c.reply(data(3, Bytes(file.begin() + 1024, file.end())), 900);
        client(c, s);
    };
    EXPECT_EQ(r.write(sink), kOutcomeDone);
    EXPECT_EQ(sink.bytes, file);
    EXPECT_TRUE(sink.finished);
    std::vector<unsigned> acks;
    for (const Sent& s : r.client.sent) acks.push_back(s.block());
    EXPECT_EQ(acks, (std::vector<unsigned>{0, 1, 2, 2, 3, 3, 3, 3}));
    EXPECT_EQ(r.client.now - r.client.sent.back().at, 1000);
    EXPECT_EQ(r.transfer.bytesReceived.load(), file.size());
}

TEST(WriteSide, BlockNumbersWrapAndOldBlocksAreAcknowledgedAgain) {
    Exchange r;
    MemorySink sink;
    const std::size_t blocks = 65540;
    std::size_t sentBlocks = 0;
    r.client.answer = [&](ScriptedClient& c, const Sent& s) {
        if (s.opcode() != kOpAck || sentBlocks >= blocks) return;
        ++sentBlocks;
        c.reply(data(static_cast<std::uint16_t>(sentBlocks), Bytes(sentBlocks == blocks ? 0 : 8, 1)));
        // Just after the wrap a stray copy of block 65535 arrives.
        if (sentBlocks == 2 + 65535) c.reply(data(65535, Bytes(8, 1)), 2);
    };
    EXPECT_EQ(r.write(sink, 8), kOutcomeDone);
    EXPECT_EQ(sink.bytes.size(), (blocks - 1) * 8);
    EXPECT_EQ(r.transfer.blockCounter.load(), blocks);
    std::size_t acksOf65535 = 0;
    for (const Sent& s : r.client.sent) acksOf65535 += s.block() == 65535;
    EXPECT_EQ(acksOf65535, 2u);
}

TEST(WriteSide, SilentClientGetsTheOackRepeatedThenTimeout) {
    Exchange r;
    MemorySink sink;
    r.settings.retransmit = 2;
    r.transfer.request.options = kOptTsize;
    EXPECT_EQ(r.write(sink), kOutcomeTimeout);
    // The OACK and its three repetitions ("TFTPRetransmit" plus one) while nothing has arrived:
    // the first after the time-out, the others leaving room for the client's own 5-second one.
    ASSERT_EQ(r.client.sent.size(), 4u);
    for (const Sent& s : r.client.sent) EXPECT_EQ(s.opcode(), kOpOack);
    EXPECT_EQ(r.client.sent[1].at, 1000);
    EXPECT_EQ(r.client.sent[2].at, 7000);
    EXPECT_EQ(r.client.sent[3].at, 13000);
    EXPECT_EQ(r.client.now, 19000);
}

// The client's answer to block 1 is lost: block 2 of an upload, or the ACK of block 1 of a
// download. A client that sends it again only when it has heard nothing for its time-out (5 s, or
// the negotiated one) starts that time-out again on every packet it receives, also a repetition
// of what it has (tftp-hpa sending; atftp receiving, which acknowledges only the first repeated
// block again, when that ACK is lost too); another answers a repetition at once (atftp sending,
// curl). Either goes on at most one time-out of its own after the server's first
// repetition, not after ever longer waits, and not never while repetitions come every time-out.
TEST(Transfers, ALostAnswerIsSentAgainAfterTheClientsTimeOut) {
    struct Case {
        const char* name;
        bool download;
        std::int32_t timeout;  // negotiated when not 1
        bool onRepeat;         // answers a repeated ACK or block at once
        std::int64_t done;     // when the server's last packet goes out
        bool master = false;   // the master of a multicast group
    };
    for (const Case c :
         {Case{"tftp-hpa", false, 1, false, 6002}, Case{"atftp", false, 1, true, 1003},
          Case{"curl", false, 6, true, 6002}, Case{"negotiating, waiting for silence", false, 3, false, 3002},
          Case{"atftp receiving, extra ACK lost", true, 1, false, 6001}, Case{"curl receiving", true, 1, true, 1002},
          Case{"atftp as a group's master, extra ACK lost", true, 1, false, 6002, true}}) {
        SCOPED_TRACE(c.name);
        Exchange r;
        MemorySink sink;
        r.transfer.request.timeout = c.timeout;
        if (c.timeout != 1) r.transfer.request.options = kOptTimeout;
        if (c.master) {
            r.transfer.multicast.store(true);
            r.transfer.master.store(true);
            r.transfer.request.options = kOptMulticast;
        }
        const std::int64_t clientTimeout = c.timeout == 1 ? 5000 : c.timeout * 1000;
        const Bytes block(512, 2);
        const Bytes answer = c.download ? ack(1) : data(2, block);
        bool lost = false;
        r.client.answer = [&](ScriptedClient& client, const Sent& s) {
            if (c.download && s.block() != 1) return client.reply(ack(s.opcode() == kOpOack ? 0 : s.block()));
            if (!c.download && (s.opcode() == kOpOack || s.block() == 0)) return client.reply(data(1, block));
            if (!c.download && s.block() == 2) return client.reply(data(3, Bytes(5, 3)));
            if (s.block() != 1) return;
            // Sent at once but lost the first time; sent again when the client's time-out runs out.
            client.cancelReplies();
            if (lost && c.onRepeat) return client.reply(answer);
            lost = true;
            client.reply(answer, clientTimeout);
        };
        if (c.download) {
            EXPECT_EQ(r.read(pattern(512 * 2 + 5)), kOutcomeDone);
            EXPECT_EQ(r.client.dataBlocks(), (std::vector<unsigned>{1, 1, 2, 3}));
        } else {
            EXPECT_EQ(r.write(sink), kOutcomeDone);
            EXPECT_EQ(sink.bytes.size(), 1029u);
        }
        EXPECT_EQ(r.client.sent.back().at, c.done);
    }
}

TEST(ReadSide, LogLinesCarryTheBlockCounter) {
    // A failed send names the blocks acknowledged so far (block 3 fails after 2 were).
    Exchange failed;
    failed.client.answer = ackEveryBlock;
    failed.client.failSendAt = 2;
    EXPECT_EQ(failed.read(pattern(512 * 4)), kOutcomeFailure);
    EXPECT_TRUE(failed.logged("TFTP  Error   sent block 2 512 failed\n"));

    // In the option phase a wait that ran out after an ignored ACK is no time-out of its own:
    // four OACKs, the first answered wrongly, give two time-out lines.
    Exchange option;
    option.settings.retransmit = 2;
    option.transfer.request.options = kOptTsize;
    option.client.answer = [](ScriptedClient& c, const Sent& s) {
        if (c.sent.size() == 1) c.reply(ack(5));
        (void)s;
    };
    EXPECT_EQ(option.read(pattern(100)), kOutcomeTimeout);
    EXPECT_EQ(option.client.sent.size(), 4u);
    EXPECT_TRUE(option.logged("TFTP  ack     ignored 5, 0\n"));
    EXPECT_EQ(std::count(option.log.lines.begin(), option.log.lines.end(), "TFTP  Error   ack timeout 0\n"), 2);
}

TEST(Transfers, ASilentClientHoldsItsTransferAMinuteAtMost) {
    // "timeout 255" with ten repetitions would hold the transfer for 47 minutes.
    for (const bool upload : {false, true}) {
        SCOPED_TRACE(upload);
        Exchange r;
        r.transfer.request.timeout = 255;
        r.settings.maxSilentMs = maxSilentMs(1, 10);
        MemorySink sink;
        EXPECT_EQ(upload ? r.write(sink) : r.read(pattern(5000)), kOutcomeTimeout);
        EXPECT_EQ(r.client.now, 60000);
        EXPECT_EQ(r.client.sent.size(), 1u);
    }
    // A client that keeps answering is not cut off, and the server's own settings may wait longer.
    Exchange slow;
    slow.transfer.request.timeout = 30;
    slow.settings.maxSilentMs = maxSilentMs(1, 10);
    slow.client.answer = [](ScriptedClient& c, const Sent& s) {
        if (s.opcode() == kOpData) c.reply(ack(s.block()), 29000);
    };
    EXPECT_EQ(slow.read(pattern(512 * 5)), kOutcomeDone);
    EXPECT_EQ(maxSilentMs(10, 10), 110000);
}

TEST(WriteSide, FailuresEndTheUploadAndTellTheClientWhatTheyMeanForItsData) {
    struct Case {
        const char* name;
        std::function<void(ScriptedClient&, const Sent&)> client;
        std::size_t room;
        int finishError;
        std::uint32_t tsize;
        std::int32_t outcome;
        Bytes lastSent;  // the last packet the server sent
        const char* logged;
        std::int32_t mode = kModeOctet;
    };
    const Bytes block(512, 1);
    const auto first = [&](Bytes then) {
        return [&block, then](ScriptedClient& c, const Sent& s) {
            if (s.opcode() == kOpOack || (s.opcode() == kOpAck && s.block() == 0)) c.reply(data(1, block));
            if (s.opcode() == kOpAck && s.block() == 1) c.reply(then);
        };
    };
    const std::vector<Case> cases = {
        {"empty datagram", first({}), ~std::size_t{0}, 0, 0, kOutcomeFailure, ack(1),
         "TFTP  Error   0 receiving block 2\n"},
        {"short datagram", first({0, 3}), ~std::size_t{0}, 0, 0, kOutcomeFailure, ack(1),
         "TFTP  Error   0 receiving block 2\n"},
        {"socket error",
         [&](ScriptedClient& c, const Sent& s) {
             if (s.block() == 0) c.replyError(ECONNREFUSED);
         },
         ~std::size_t{0}, 0, 0, kOutcomeFailure, ack(0), "TFTP  Error   111 receiving block 1\n"},
        {"disk full", first(data(2, block)), 600, 0, 0, kOutcomeFailure,
         errorPacket(3, "Disk full or allocation exceeded"),
         "TFTP  Error   block 2 not stored: No space left on device\n"},
        {"more than tsize", first(data(2, block)), ~std::size_t{0}, 0, 700, kOutcomeFailure,
         errorPacket(3, "Disk full or allocation exceeded"), "TFTP  Error   block 2 not stored: more than tsize 700\n"},
        {"name taken meanwhile", first(data(2, Bytes(5, 1))), ~std::size_t{0}, EEXIST, 0, kOutcomeFailure,
         errorPacket(6, "File already exists"), "TFTP  Error   block 2 not stored: File exists\n"},
        {"complete", first(data(2, Bytes(5, 1))), ~std::size_t{0}, 0, 517, kOutcomeDone, ack(2), nullptr},
        // A netascii client may announce the size of its own text (atftp does): each of its line
        // ends travels as two octets, so the stream may be up to twice as long, and no longer.
        {"netascii longer than its tsize", first(data(2, Bytes(100, 1))), ~std::size_t{0}, 0, 600, kOutcomeDone, ack(2),
         nullptr, kModeNetascii},
        {"netascii more than twice its tsize", first(data(2, Bytes(100, 1))), ~std::size_t{0}, 0, 300, kOutcomeFailure,
         errorPacket(3, "Disk full or allocation exceeded"), "TFTP  Error   block 2 not stored: more than tsize 300\n",
         kModeNetascii},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Exchange r;
        MemorySink sink;
        sink.room = c.room;
        sink.finishError = c.finishError;
        r.transfer.request.size = c.tsize;
        r.transfer.request.mode = c.mode;
        r.transfer.request.options = c.tsize != 0 ? kOptTsize : 0;
        r.client.answer = c.client;
        EXPECT_EQ(r.write(sink), c.outcome);
        ASSERT_FALSE(r.client.sent.empty());
        const Bytes last = r.client.sent.back().bytes;
        EXPECT_EQ(last, c.lastSent);
        if (c.logged) {
            EXPECT_TRUE(r.logged(c.logged));
        }
    }
}

}  // namespace
}  // namespace tolmark::tftp
