#include "server/tftp/packets.h"

#include <cstdio>
#include <cstring>

namespace tolmark::tftp {
namespace {

void put16(std::uint8_t* at, unsigned value) {
    at[0] = static_cast<std::uint8_t>(value >> 8);
    at[1] = static_cast<std::uint8_t>(value);
}

unsigned get16(const std::uint8_t* at) { return (unsigned{at[0]} << 8) | at[1]; }

// Appends "name\0value\0"; false when it does not fit.
bool appendOption(std::span<std::uint8_t> out, std::size_t& length, const char* name, const char* value) {
    const std::size_t n = std::strlen(name) + 1;
    const std::size_t v = std::strlen(value) + 1;
    if (length + n + v > out.size()) return false;
    std::memcpy(out.data() + length, name, n);
    std::memcpy(out.data() + length + n, value, v);
    length += n + v;
    return true;
}

void formatGroup(char (&text)[40], const OackValues& values) {
    std::snprintf(text, sizeof text, "%s,%u,%u", formatIpv4(values.group).c_str(), values.groupPort,
                  values.master ? 1u : 0u);
}

}  // namespace

void writeAck(std::span<std::uint8_t, kHeaderSize> out, std::uint16_t block) {
    put16(out.data(), kOpAck);
    put16(out.data() + 2, block);
}

void writeDataHeader(std::span<std::uint8_t, kHeaderSize> out, std::uint16_t block) {
    put16(out.data(), kOpData);
    put16(out.data() + 2, block);
}

std::size_t writeError(std::span<std::uint8_t> out, unsigned code, std::string_view text) {
    if (code > 65535 || out.size() < kHeaderSize + text.size() + 1) return 0;
    put16(out.data(), kOpError);
    put16(out.data() + 2, code);
    if (!text.empty()) std::memcpy(out.data() + kHeaderSize, text.data(), text.size());
    out[kHeaderSize + text.size()] = 0;
    return kHeaderSize + text.size() + 1;
}

OackValues oackValues(const TransferRequest& request, bool master) {
    OackValues values;
    values.options = request.options;
    values.blockSize = request.blockSize;
    values.timeout = static_cast<unsigned>(request.timeout);
    values.tsize = request.size;
    values.group = request.group;
    values.groupPort = request.groupPort;
    values.master = master;
    values.window = request.window;
    return values;
}

std::size_t writeOack(std::span<std::uint8_t> out, const OackValues& values) {
    if (out.size() < 2) return 0;
    put16(out.data(), kOpOack);
    std::size_t length = 2;
    char number[40];
    bool ok = true;
    if (values.options & kOptBlksize) {
        std::snprintf(number, sizeof number, "%u", values.blockSize);
        ok = ok && appendOption(out, length, "blksize", number);
    }
    if (values.options & kOptTimeout) {
        std::snprintf(number, sizeof number, "%u", values.timeout);
        ok = ok && appendOption(out, length, "timeout", number);
    }
    if (values.options & kOptTsize) {
        std::snprintf(number, sizeof number, "%llu", static_cast<unsigned long long>(values.tsize));
        ok = ok && appendOption(out, length, "tsize", number);
    }
    if (values.options & kOptMulticast) {
        char group[40];
        formatGroup(group, values);
        ok = ok && appendOption(out, length, "multicast", group);
    }
    if (values.options & kOptWindowsize) {
        std::snprintf(number, sizeof number, "%u", values.window);
        ok = ok && appendOption(out, length, "windowsize", number);
    }
    return ok ? length : 0;
}

void appendPiece(char* out, std::size_t capacity, std::size_t& length, const char* piece, int n) {
    if (n <= 0 || length + 1 >= capacity) return;
    const std::size_t room = capacity - length - 1;
    const std::size_t count = static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room;
    std::memcpy(out + length, piece, count);
    length += count;
    out[length] = 0;
}

std::size_t formatOptionPieces(char* out, std::size_t capacity, const OackValues& values) {
    std::size_t length = 0;
    auto add = [&](const char* piece, int n) { appendPiece(out, capacity, length, piece, n); };
    if (capacity == 0) return 0;
    out[0] = 0;
    char piece[64];
    if (values.options & kOptBlksize) add(piece, std::snprintf(piece, sizeof piece, " blksize %u", values.blockSize));
    if (values.options & kOptTimeout) add(piece, std::snprintf(piece, sizeof piece, " timeout %u", values.timeout));
    if (values.options & kOptTsize)
        add(piece, std::snprintf(piece, sizeof piece, " tsize %llu", static_cast<unsigned long long>(values.tsize)));
    if (values.options & kOptMulticast) {
        add(piece, std::snprintf(piece, sizeof piece, " multicast %s,%u,%u", formatIpv4(values.group).c_str(),
                                 values.groupPort, values.master ? 1u : 0u));
    }
    if (values.options & kOptWindowsize)
        add(piece, std::snprintf(piece, sizeof piece, " windowsize %u", values.window));
    return length;
}

ReceivedPacket readPacket(std::span<const std::uint8_t> datagram) {
    ReceivedPacket packet;
    if (datagram.size() < kHeaderSize) return packet;
    packet.opcode = static_cast<std::uint16_t>(get16(datagram.data()));
    const auto second = static_cast<std::uint16_t>(get16(datagram.data() + 2));
    const std::span<const std::uint8_t> rest = datagram.subspan(kHeaderSize);
    switch (packet.opcode) {
        case kOpAck:
            packet.block = second;
            break;
        case kOpData:
            packet.block = second;
            packet.data = rest;
            break;
        case kOpError: {
            packet.errorCode = second;
            const char* text = reinterpret_cast<const char*>(rest.data());
            packet.errorMessage = std::string_view(text, strnlen(text, rest.size()));
            break;
        }
        default:
            break;
    }
    return packet;
}

}  // namespace tolmark::tftp
