#pragma once
// TFTP packets on the wire (16-bit fields in network order), written into caller buffers so
// that the transfer loops allocate nothing per packet.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "server/tftp/transfer_record.h"

namespace tolmark::tftp {

inline constexpr std::size_t kHeaderSize = 4;
// The largest datagram the listener and the write side take in.
inline constexpr std::size_t kRequestMax = 1535;

// ACK of a block number: 4 bytes.
void writeAck(std::span<std::uint8_t, kHeaderSize> out, std::uint16_t block);
// DATA header of a block number: 4 bytes, the data follow.
void writeDataHeader(std::span<std::uint8_t, kHeaderSize> out, std::uint16_t block);
// ERROR with code and text; returns the length, 0 when the code is above 65535 or it does not fit.
std::size_t writeError(std::span<std::uint8_t> out, unsigned code, std::string_view text);

// The accepted options of a request, as the OACK carries them.
struct OackValues {
    std::int32_t options = 0;
    unsigned blockSize = 0;
    unsigned timeout = 0;
    std::uint64_t tsize = 0;
    Ipv4 group = 0;
    unsigned groupPort = 0;
    bool master = false;
    unsigned window = 0;
};
OackValues oackValues(const TransferRequest& request, bool master);
// OACK: opcode 6, then "blksize", "timeout", "tsize", "multicast", "windowsize" with their values
// for the options present. Returns the length (0 when it does not fit).
std::size_t writeOack(std::span<std::uint8_t> out, const OackValues& values);
// The log line's option pieces (" blksize %u" ...), in OACK order.
std::size_t formatOptionPieces(char* out, std::size_t capacity, const OackValues& values);
// Appends a piece of text of length n (as snprintf returned it) to out, which holds length
// characters; cut where capacity ends, always NUL-terminated.
void appendPiece(char* out, std::size_t capacity, std::size_t& length, const char* piece, int n);

// A received packet on a data socket.
struct ReceivedPacket {
    std::uint16_t opcode = 0;
    std::uint16_t block = 0;  // ACK and DATA
    std::uint16_t errorCode = 0;
    std::string_view errorMessage;       // ERROR: up to its NUL or the end of the datagram
    std::span<const std::uint8_t> data;  // DATA
};
// Nothing usable (shorter than 4 bytes) gives opcode 0.
ReceivedPacket readPacket(std::span<const std::uint8_t> datagram);

}  // namespace tolmark::tftp
