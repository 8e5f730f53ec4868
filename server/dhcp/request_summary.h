#pragma once
// The parsed fields of one received DHCP or BOOTP message, zeroed before every datagram. The
// receive loop fills the interface and source addresses before the request processor runs and
// reads the relay address and the off-subnet flag afterwards to choose the reply's destination.

#include <array>
#include <cstdint>
#include <span>

#include "base/ipv4.h"

namespace tolmark {

// The receive loop's buffers: the largest datagram read, and room for the largest reply.
inline constexpr std::size_t kReceiveBufferSize = 1500;
inline constexpr std::size_t kReplyBufferSize = 1504;

// A length-prefixed value inside the received datagram (or inside the summary itself): at[0]
// is the length byte, the value follows. Parsing guarantees the value lies within its buffer.
struct ValueRef {
    const std::uint8_t* at = nullptr;
    explicit operator bool() const { return at != nullptr; }
    std::uint8_t length() const { return at == nullptr ? 0 : at[0]; }
    const std::uint8_t* data() const { return at + 1; }
    std::span<const std::uint8_t> value() const {
        return at == nullptr ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(at + 1, at[0]);
    }
};

// Not copyable: its value references point into the datagram (and its host-name user class)
// of the one request it was made from.
struct RequestSummary {
    RequestSummary() = default;
    RequestSummary(const RequestSummary&) = delete;
    RequestSummary& operator=(const RequestSummary&) = delete;

    int messageType = 0;  // option 53; 0 = BOOTP
    bool dhcp = false;    // option 53 was present
    Ipv4 sourceAddress = 0;
    Ipv4 ciaddr = 0;
    Ipv4 requestedAddress = 0;
    Ipv4 interfaceAddress = 0;
    Ipv4 relayAddress = 0;
    std::uint8_t flagsByte = 0;
    bool bareBootp = false;
    std::uint8_t autoConfigure = 0;
    Ipv4 serverIdentifier = 0;
    ValueRef hostName;
    ValueRef clientIdentifier;
    ValueRef vendorClass;
    ValueRef userClass;
    const std::uint8_t* hardwareAddress = nullptr;  // chaddr, 16 bytes
    ValueRef relayInformation;
    ValueRef circuitId;
    ValueRef remoteId;
    std::uint16_t hardwareLength = 0;
    std::uint16_t maxReplySize = 548;
    std::array<std::uint8_t, 256> parameterList{};  // ended by a 0 byte
    // A user class formed from the host name: total length, name length, name.
    std::array<std::uint8_t, 258> hostNameUserClass{};
};

}  // namespace tolmark
