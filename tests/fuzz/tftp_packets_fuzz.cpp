// Fuzz target: the packets a TFTP client sends during a transfer, through the transfer engine
// with a scripted channel and a simulated clock. Byte 0 steers: bit 0 the side (upload or
// download), bits 1-2 the block size (8, 16, 64 or 512), bit 3 accepted options (an OACK
// first), bit 4 the window of two, bits 5-7 the file's size in blocks for a download. Then
// packets follow, each as a length byte and that many bytes; the channel hands out one per
// wait, and once they are used up every wait times out.
//
// An upload must store exactly the DATA blocks in their order, each once (a packet longer than
// a block is none), and end done only with the short block; a download must send each block with the file's bytes at its place.

#include <algorithm>
#include <array>
#include <cstring>
#include <span>
#include <vector>

#include "server/tftp/packets.h"
#include "server/tftp/transfer_engine.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"

namespace tolmark::fuzz {
namespace {

using namespace tolmark::tftp;

// Waits before the exchange is cut off, whatever the packets say.
constexpr int kMaxWaits = 4096;

class ScriptedChannel final : public Channel {
public:
    explicit ScriptedChannel(std::span<const std::uint8_t> script) : script_(script) {}

    bool send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
        sent.emplace_back(header.begin(), header.end());
        sent.back().insert(sent.back().end(), data.begin(), data.end());
        return true;
    }
    bool sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) override {
        return send(header, data);
    }
    Wait receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) override {
        if (++waits_ > kMaxWaits) return Wait::Stopped;
        if (script_.empty()) {
            now_ += timeoutMs;
            return Wait::Timeout;
        }
        const std::size_t size = std::min<std::size_t>(script_[0], script_.size() - 1);
        const auto packet = script_.subspan(1, size);
        script_ = script_.subspan(1 + size);
        length = std::min(packet.size(), buffer.size());
        std::copy_n(packet.begin(), length, buffer.begin());
        now_ += 1;
        return Wait::Packet;
    }
    std::int64_t nowMs() const override { return now_; }
    int lastError() const override { return 0; }

    std::vector<std::vector<std::uint8_t>> sent;

private:
    std::span<const std::uint8_t> script_;
    std::int64_t now_ = 0;
    int waits_ = 0;
};

class MemorySink final : public BlockSink {
public:
    bool write(std::span<const std::uint8_t> data) override {
        bytes.insert(bytes.end(), data.begin(), data.end());
        return true;
    }
    bool finish() override { return finished = true; }
    std::vector<std::uint8_t> bytes;
    bool finished = false;
};

class PatternSource final : public BlockSource {
public:
    PatternSource(std::size_t size, std::size_t blockSize) : file(size), blockSize_(blockSize) {
        for (std::size_t i = 0; i < size; ++i) file[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
    }
    std::optional<std::span<const std::uint8_t>> block(std::uint64_t index) override {
        FUZZ_REQUIRE(index >= 1);
        const std::uint64_t start = (index - 1) * blockSize_;
        if (start >= file.size()) return std::span<const std::uint8_t>();
        return std::span<const std::uint8_t>(file).subspan(start,
                                                           std::min<std::uint64_t>(blockSize_, file.size() - start));
    }
    std::vector<std::uint8_t> file;

private:
    std::size_t blockSize_;
};

std::uint16_t blockOf(std::span<const std::uint8_t> packet) {
    return static_cast<std::uint16_t>((packet[2] << 8) | packet[3]);
}

// What an upload must have stored: the DATA blocks in order from 1, each once, up to the first
// short one; and whether that short block arrived.
struct ExpectedUpload {
    std::vector<std::uint8_t> bytes;
    bool complete = false;
    bool aborted = false;
};
ExpectedUpload expectedUpload(std::span<const std::uint8_t> script, std::size_t blockSize) {
    ExpectedUpload out;
    std::uint16_t next = 1;
    for (int waits = 0; !script.empty() && !out.complete && !out.aborted && waits < kMaxWaits; ++waits) {
        const std::size_t size = std::min<std::size_t>(script[0], script.size() - 1);
        const auto packet = script.subspan(1, size);
        script = script.subspan(1 + size);
        if (packet.empty()) continue;  // a wake-up without a datagram
        if (packet.size() < 4) break;  // a runt ends the transfer as a receive failure
        const unsigned opcode = (unsigned{packet[0]} << 8) | packet[1];
        if (opcode == kOpError) out.aborted = true;
        if (opcode != kOpData || packet.size() - 4 > blockSize || blockOf(packet) != next) continue;
        out.bytes.insert(out.bytes.end(), packet.begin() + 4, packet.end());
        ++next;
        out.complete = packet.size() - 4 < blockSize;
    }
    return out;
}

void run(std::span<const std::uint8_t> input) {
    Steering steer(input);
    const std::uint8_t how = steer.byte();
    static constexpr std::uint16_t kBlockSizes[] = {8, 16, 64, 512};
    const std::uint16_t blockSize = kBlockSizes[(how >> 1) & 3];

    Transfer transfer;
    transfer.request.blockSize = blockSize;
    transfer.request.options = (how & 8) ? kOptBlksize | kOptTsize : 0;
    transfer.request.timeout = 1;
    ScriptedChannel channel(steer.rest());
    FormattingLog log(3);
    EngineContext context{transfer, channel, log, {}, nullptr};
    context.settings.retransmit = 2;
    context.settings.windowOfTwo = (how & 16) != 0;

    if (how & 1) {
        transfer.request.opcode = kOpWriteRequest;
        MemorySink sink;
        const std::int32_t outcome = runWriteSide(context, sink);
        const auto expected = expectedUpload(steer.rest(), blockSize);
        // What was stored is what the client sent in order, up to where the transfer ended.
        FUZZ_REQUIRE(sink.bytes.size() <= expected.bytes.size());
        FUZZ_REQUIRE(std::equal(sink.bytes.begin(), sink.bytes.end(), expected.bytes.begin()));
        FUZZ_REQUIRE((outcome == kOutcomeDone) == (expected.complete && sink.finished));
        if (outcome == kOutcomeDone) FUZZ_REQUIRE(sink.bytes == expected.bytes);
        for (const auto& packet : channel.sent) FUZZ_REQUIRE(packet.size() >= 4);
        return;
    }
    transfer.request.opcode = kOpReadRequest;
    PatternSource source(std::size_t{blockSize} * (how >> 5) + (how & 6), blockSize);
    transfer.request.size = static_cast<std::uint32_t>(source.file.size());
    runReadSide(context, source);
    // Every DATA block carries the file's bytes from its place.
    for (const auto& packet : channel.sent) {
        FUZZ_REQUIRE(packet.size() >= 4);
        if (packet[1] != kOpData) continue;
        const std::size_t block = blockOf(packet);
        FUZZ_REQUIRE(block >= 1 && packet.size() - 4 <= blockSize);
        const std::size_t start = (block - 1) * blockSize;
        FUZZ_REQUIRE(start + (packet.size() - 4) <= source.file.size());
        FUZZ_REQUIRE(std::equal(packet.begin() + 4, packet.end(), source.file.begin() + static_cast<long>(start)));
    }
    return;
}

}  // namespace

std::vector<Input> seeds() {
    auto packet = [](Input& out, std::initializer_list<std::uint8_t> bytes) {
        out.push_back(static_cast<std::uint8_t>(bytes.size()));
        out.insert(out.end(), bytes);
    };
    Input upload = {0x01};  // 8-byte blocks
    packet(upload, {0, 3, 0, 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    packet(upload, {0, 3, 0, 1, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'});
    packet(upload, {0, 3, 0, 2, 'i', 'j'});
    Input aborted = {0x09};
    packet(aborted, {0, 3, 0, 1, 1, 2, 3, 4, 5, 6, 7, 8});
    packet(aborted, {0, 5, 0, 3, 'd', 'i', 's', 'k', 0});
    Input download = {0x60};  // 512-byte blocks, three blocks
    for (std::uint8_t b = 0; b <= 4; ++b) packet(download, {0, 4, 0, b});
    Input windowed = {0x7C};  // OACK first, window of two
    for (std::uint8_t b : {0, 2, 1, 4, 3, 6, 9, 7}) packet(windowed, {0, 4, 0, b});
    packet(windowed, {0, 5, 0, 0, 0});
    return {upload, aborted, download, windowed};
}

std::vector<std::string> dictionary() {
    return {std::string("\x04\x00\x04\x00\x01", 5), std::string("\x04\x00\x04\x00\x00", 5),
            std::string("\x0c\x00\x03\x00\x01", 5), std::string("\x05\x00\x05\x00\x00\x00", 6)};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    tolmark::fuzz::run({data, size});
    return 0;
}
