#pragma once
// The parsed fields of one received DHCP or BOOTP message, zeroed before every datagram. The
// receive loop fills the interface and source addresses before the request processor runs and
// reads the relay address and the off-subnet flag afterwards to choose the reply's destination.

#include <array>
#include <cstdint>

#include "common/ipv4.h"

namespace tolmark {

inline constexpr std::size_t kReceiveBufferSize = 1500;
inline constexpr std::size_t kReplyBufferSize = 1504;
inline constexpr std::size_t kMinRequestLength = 236;
inline constexpr std::uint8_t kBootRequest = 1;
inline constexpr std::uint8_t kBroadcastFlag = 0x80;  // in byte 10 of the header

struct RequestSummary {
    int messageType = 0;  // option 53; 0 = BOOTP
    int replyType = 0;    // 2 OFFER, 5 ACK, 6 NAK, 0 no DHCP reply
    Ipv4 sourceAddress = 0;
    Ipv4 ciaddr = 0;
    Ipv4 requestedAddress = 0;
    Ipv4 interfaceAddress = 0;
    Ipv4 relayAddress = 0;
    std::uint8_t flagsByte = 0;
    bool bareBootp = false;
    std::uint8_t autoConfigure = 0;
    bool fixedAddress = false;
    bool offSubnet = false;
    Ipv4 serverIdentifier = 0;
    // Option references point at the option's length byte inside the received datagram.
    const std::uint8_t* hostName = nullptr;
    const std::uint8_t* clientIdentifier = nullptr;
    const std::uint8_t* vendorClass = nullptr;
    const std::uint8_t* userClass = nullptr;
    const std::uint8_t* hardwareAddress = nullptr;
    const std::uint8_t* relayInformation = nullptr;
    const std::uint8_t* circuitId = nullptr;
    const std::uint8_t* remoteId = nullptr;
    std::uint16_t hardwareLength = 0;
    std::uint16_t maxReplySize = 548;
    std::array<std::uint8_t, 256> parameterList{};
};

}  // namespace tolmark
