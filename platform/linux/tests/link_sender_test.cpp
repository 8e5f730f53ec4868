// The headers of a datagram sent straight to a hardware address, pinned byte by byte.

#include "platform/link_sender.h"

#include <gtest/gtest.h>

namespace tolmark::platform {
namespace {

TEST(LinkSender, HeadersCarryAddressesPortsLengthsAndChecksums) {
    const std::uint8_t payload[3] = {2, 1, 6};  // odd: the last byte is the high half of a word
    const auto header = ipv4UdpHeader(makeIpv4(10, 77, 0, 1), 67, makeIpv4(10, 77, 0, 100), 68, payload);
    const std::array<std::uint8_t, kIpv4UdpHeaderSize> expected = {
        0x45, 0x00,              // version 4, 5 words; type of service
        0x00, 0x1F,              // total length 20 + 8 + 3
        0x00, 0x00, 0x40, 0x00,  // identification; don't fragment
        64,   17,                // time to live; UDP
        0x25, 0xD0,              // header checksum
        10,   77,   0,    1,     // source
        10,   77,   0,    100,   // destination
        0x00, 67,   0x00, 68,    // ports
        0x00, 0x0B,              // UDP length 8 + 3
        0xE2, 0x51,              // UDP checksum over the pseudo header, header and payload
    };
    EXPECT_EQ(header, expected);
}

}  // namespace
}  // namespace tolmark::platform
