#pragma once
// One received DHCP or BOOTP message: the summary of what the client sent, and the view of it
// that the engine's policy reads.

#include <array>
#include <cstdint>
#include <span>

#include "base/ipv4.h"

namespace tolmark {

// The receive loop's buffers: the largest datagram read, and room for the largest reply.
inline constexpr std::size_t kReceiveBufferSize = 1500;
inline constexpr std::size_t kReplyBufferSize = 1504;

// A length-prefixed value inside the received datagram (or inside the view's own user class):
// at[0] is the length byte, the value follows. Parsing guarantees the value lies within its
// buffer.
struct ValueRef {
    const std::uint8_t* at = nullptr;
    explicit operator bool() const { return at != nullptr; }
    std::uint8_t length() const { return at == nullptr ? 0 : at[0]; }
    const std::uint8_t* data() const { return at + 1; }
    std::span<const std::uint8_t> value() const {
        return at == nullptr ? std::span<const std::uint8_t>() : std::span<const std::uint8_t>(at + 1, at[0]);
    }
};

// What the client sent: the header fields and options of one datagram as received, with no
// setting applied. The parser makes it and nothing changes it afterwards. Not copyable: its
// value references point into the datagram of the one request it was made from.
struct RequestSummary {
    RequestSummary() = default;
    RequestSummary(const RequestSummary&) = delete;
    RequestSummary& operator=(const RequestSummary&) = delete;

    Ipv4 interfaceAddress = 0;  // where it arrived, from the receive loop
    Ipv4 sourceAddress = 0;
    std::uint8_t flagsByte = 0;
    Ipv4 ciaddr = 0;
    Ipv4 giaddr = 0;
    const std::uint8_t* hardwareAddress = nullptr;  // chaddr, 16 bytes
    std::uint16_t hardwareLength = 0;               // hlen, at most 16
    bool cookie = false;                            // the options were there to read
    int messageType = 0;                            // option 53; 0 = BOOTP
    bool dhcp = false;                              // option 53 was present
    Ipv4 requestedAddress = 0;
    Ipv4 serverIdentifier = 0;
    std::uint16_t maxReplySize = 548;
    std::array<std::uint8_t, 256> parameterList{};  // ended by a 0 byte
    std::uint8_t autoConfigure = 0;
    ValueRef hostName;         // option 12
    ValueRef clientIdOption;   // option 61
    bool clientIdCut = false;  // its parts held more than one value can: it is cut
    ValueRef vendorClass;
    ValueRef userClassOption;         // option 77
    ValueRef relayInformationOption;  // option 82
    ValueRef circuitIdOption;         // its sub-option 1, the last found
    ValueRef remoteIdOption;          // its sub-option 2, the last found
    // A value sent in several options of one code is their values joined in order (RFC 3396),
    // held here once a second part comes: a length byte and at most 255 bytes, the most one
    // value holds.
    using JoinedValue = std::array<std::uint8_t, 256>;
    JoinedValue joinedHostName{}, joinedClientId{}, joinedVendorClass{}, joinedUserClass{};
};

// The request as the engine's policy reads it: the summary with the settings applied (which
// option identifies the client, whether relay information counts, where a relayed reply goes).
// Made per request from the summary; what processing drops from it (a remote ID that does not
// key the client) changes the view, never the summary. Not copyable: it may hold the user
// class made of the host name, which its userClass then points into.
struct RequestView {
    RequestView() = default;
    RequestView(const RequestView&) = delete;
    RequestView& operator=(const RequestView&) = delete;

    int messageType = 0;  // option 53; 0 = BOOTP
    bool dhcp = false;    // option 53 was present
    Ipv4 sourceAddress = 0;
    Ipv4 ciaddr = 0;
    Ipv4 requestedAddress = 0;
    Ipv4 interfaceAddress = 0;
    Ipv4 relayAddress = 0;  // giaddr, or the source address under "RelaySrc"
    std::uint8_t flagsByte = 0;
    bool bareBootp = false;
    std::uint8_t autoConfigure = 0;
    Ipv4 serverIdentifier = 0;
    ValueRef hostName;
    ValueRef clientIdentifier;
    // Option 61 as sent, identifying or not, for every DHCP reply to echo; none when it was cut.
    ValueRef clientIdOption;
    ValueRef vendorClass;
    ValueRef userClass;
    const std::uint8_t* hardwareAddress = nullptr;  // chaddr, 16 bytes
    ValueRef relayInformation;
    ValueRef circuitId;
    ValueRef remoteId;
    std::uint16_t hardwareLength = 0;
    std::uint16_t maxReplySize = 548;
    const std::uint8_t* parameterList = nullptr;  // the summary's list, ended by a 0 byte
    std::size_t parameterListSize = 0;
    // A user class formed from the host name: total length, name length, name.
    std::array<std::uint8_t, 258> hostNameUserClass{};
};

}  // namespace tolmark
