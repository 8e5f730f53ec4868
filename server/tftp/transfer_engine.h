#pragma once
// The transfer engine: the read side (OACK, DATA blocks in a window, retransmission, block
// counter wrap, multicast master and clients) and the write side (ACKs, duplicates, the wrap
// rule). It talks to its client through a Channel and reads or writes the file through a block
// source or sink, so the whole exchange runs in tests without sockets or a clock.

#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "common/log_sink.h"
#include "server/tftp/transfer_record.h"

namespace tolmark::tftp {

// One datagram of a window: its header and its data.
struct Outgoing {
    std::span<const std::uint8_t> header;
    std::span<const std::uint8_t> data;
};

class Channel {
public:
    enum class Wait { Packet, Timeout, Stopped, Error };
    virtual ~Channel() = default;
    // DATA, ACK or OACK to the client (header and data go out as one datagram).
    virtual bool send(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data = {}) = 0;
    // DATA to the multicast group.
    virtual bool sendToGroup(std::span<const std::uint8_t> header, std::span<const std::uint8_t> data) = 0;
    // The DATA of a window in order, to the client or to the group; returns how many went out
    // (all, or those before the first that failed). A socket sends them in one call.
    virtual std::size_t sendBatch(std::span<const Outgoing> datagrams, bool toGroup);
    // Waits up to timeoutMs for one datagram from the client; length is its size.
    virtual Wait receive(int timeoutMs, std::span<std::uint8_t> buffer, std::size_t& length) = 0;
    // Milliseconds of a steady clock.
    virtual std::int64_t nowMs() const = 0;
    // The error number of the last failed call.
    virtual int lastError() const = 0;
};

// Blocks of the file being read. Block n (from 1) holds the bytes from (n-1) times the block
// size; a block shorter than the block size is the last.
class BlockSource {
public:
    virtual ~BlockSource() = default;
    // The block's bytes, valid until `window` more blocks have been asked for; nothing on a read
    // error.
    virtual std::optional<std::span<const std::uint8_t>> block(std::uint64_t index) = 0;
};

// Where the data of an upload go.
class BlockSink {
public:
    virtual ~BlockSink() = default;
    virtual bool write(std::span<const std::uint8_t> data) = 0;
    // After the last block; false when the data could not be stored.
    virtual bool finish() = 0;
    // The errno of the last failure (ENOSPC and its kin are answered as a full disk).
    virtual int lastError() const { return 0; }
};

struct EngineSettings {
    std::int32_t retransmit = 10;  // repetitions of a packet before the transfer gives up
    bool windowOfTwo = false;      // "TFTPWindowSize" not 0
    bool largeFiles = true;        // the block counter keeps its high 16 bits
    // The longest a client may stay silent before its transfer ends as timed out, whatever time-out
    // it negotiated (0: only the retransmissions limit it).
    std::int64_t maxSilentMs = 0;
};

// How long a silent client may hold a transfer: at least a minute, or as long as the server's own
// "TFTPTimeout" and "TFTPRetransmit" make it wait.
std::int64_t maxSilentMs(std::int32_t timeout, std::int32_t retransmit);

struct EngineContext {
    Transfer& transfer;
    Channel& channel;
    LogSink& log;
    EngineSettings settings;
    // Set when the transfer must stop (server stop); checked at every wait.
    std::function<bool()> stopping;
};

// Pieces both sides share: the OACK with its log line, and keeping the client's ERROR as
// "%u %s" in the transfer.
bool sendOptionAck(EngineContext& context, std::span<std::uint8_t> buffer, bool master);
// An ERROR to the client (only the write side sends one: when the data cannot be stored).
bool sendErrorPacket(EngineContext& context, unsigned code, ErrorText text);
// How long to wait before a packet goes out again for the second time and after: the server's
// time-out plus the client's own (the negotiated "timeout", else 5 s, what most clients use). The
// first repetition comes a time-out after the packet: a client that answers a repeated packet at
// once (curl and tftp-hpa acknowledge a block they already have again, atftp the first time; atftp
// and curl send their block again on an ACK they have seen) goes on then. Clients that ignore a
// repeated packet and start their own time-out again on every packet they receive (tftp-hpa
// sending, atftp receiving once its one extra ACK was lost) send again only after a silence of
// that time-out, which repetitions coming every time-out would never leave them.
std::int64_t laterRepeatMs(const TransferRequest& request);
// The time left to wait: the time-out, cut to what remains of the silence the client is allowed
// since it was last heard; 0 when that has run out.
std::int64_t waitLimitMs(const EngineContext& context, std::int64_t timeoutMs, std::int64_t lastHeardMs);
struct ReceivedPacket;
void keepClientError(Transfer& transfer, const ReceivedPacket& packet);

// Both return the outcome (kOutcomeDone ... kOutcomeFailure) and leave the client's error text
// in the transfer.
std::int32_t runReadSide(EngineContext& context, BlockSource& source);
std::int32_t runWriteSide(EngineContext& context, BlockSink& sink);
// After a complete upload: the client may not have had the ACK of its last block and sends that
// block again after its time-out; it is acknowledged again while the client repeats it, until it
// has been silent for the transfer's time-out.
void dallyAfterUpload(EngineContext& context);

}  // namespace tolmark::tftp
