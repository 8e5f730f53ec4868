#pragma once
// IPv4 addresses are 32-bit values kept in network byte order: the first number of the
// dotted form is the lowest byte in memory. Host order is used only for pool arithmetic.

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tolmark {

using Ipv4 = std::uint32_t;

inline constexpr Ipv4 kBroadcastAll = 0xFFFFFFFFu;

// Host order <-> network order, independent of the machine's byte order.
inline Ipv4 ipv4FromHostOrder(std::uint32_t host) {
    std::uint8_t b[4] = {static_cast<std::uint8_t>(host >> 24), static_cast<std::uint8_t>(host >> 16),
                         static_cast<std::uint8_t>(host >> 8), static_cast<std::uint8_t>(host)};
    Ipv4 value = 0;
    for (int i = 3; i >= 0; --i) value = (value << 8) | b[i];
    return value;
}
inline std::uint32_t ipv4ToHostOrder(Ipv4 address) {
    std::uint32_t host = 0;
    for (int i = 0; i < 4; ++i) host = (host << 8) | ((address >> (8 * i)) & 0xFF);
    return host;
}
inline Ipv4 makeIpv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d) {
    return ipv4FromHostOrder((std::uint32_t{a} << 24) | (std::uint32_t{b} << 16) | (std::uint32_t{c} << 8) | d);
}
// The n-th number (0..3) of the dotted form.
inline std::uint8_t ipv4Octet(Ipv4 address, int n) { return static_cast<std::uint8_t>(address >> (8 * n)); }
// Whether a client may be given the address: not one of "this network" (0.0.0.0/8), not a
// loopback address (a host's own name often resolves to 127.0.1.1), not multicast, reserved or
// the limited broadcast.
inline bool isClientAddress(Ipv4 address) {
    const std::uint8_t first = ipv4Octet(address, 0);
    return first != 0 && first != 127 && first < 224;
}

// "%u.%u.%u.%u" of the four bytes in memory order, in a buffer owned by the value.
struct AddressText {
    char text[16];
    const char* c_str() const { return text; }
};
AddressText formatIpv4(Ipv4 address);

// Parses "%u.%u.%u.%u%n": exactly four numbers, each at most 255, blanks before each number
// skipped. Text after the fourth number is left for the caller (end = its position).
struct ParsedIpv4 {
    bool ok = false;
    Ipv4 address = 0;
    std::size_t end = 0;
};
ParsedIpv4 parseIpv4(std::string_view text);
// The address, or 0 when the text does not parse.
inline Ipv4 ipv4OrZero(std::string_view text) { return parseIpv4(text).address; }

}  // namespace tolmark
