#pragma once
// The BOOTP and DHCP wire format: header offsets and widths, flags, option codes, message
// types and the sizes the server keeps to. Every other file names them from here.

#include <cstddef>
#include <cstdint>

namespace tolmark::dhcp {

inline constexpr std::size_t kOp = 0;
inline constexpr std::size_t kHtype = 1;
inline constexpr std::size_t kHlen = 2;
inline constexpr std::size_t kXid = 4;
inline constexpr std::size_t kSecs = 8;
inline constexpr std::size_t kFlags = 10;
inline constexpr std::size_t kCiaddr = 12;
inline constexpr std::size_t kYiaddr = 16;
inline constexpr std::size_t kSiaddr = 20;
inline constexpr std::size_t kGiaddr = 24;
inline constexpr std::size_t kChaddr = 28;
inline constexpr std::size_t kChaddrSize = 16;
inline constexpr std::size_t kSname = 44;
inline constexpr std::size_t kSnameSize = 64;
inline constexpr std::size_t kFile = 108;
inline constexpr std::size_t kFileSize = 128;
inline constexpr std::size_t kCookie = 236;
inline constexpr std::size_t kOptions = 240;
inline constexpr std::size_t kVendorAreaSize = 64;
inline constexpr std::uint8_t kCookieBytes[4] = {99, 130, 83, 99};

// op values, and the broadcast bit of the flags' first byte.
inline constexpr std::uint8_t kBootRequest = 1;
inline constexpr std::uint8_t kBootReply = 2;
inline constexpr std::uint8_t kBroadcastFlag = 0x80;

// A request shorter than the fixed header is refused.
inline constexpr std::size_t kMinRequestLength = 236;
inline constexpr std::size_t kMinimumReply = 548;
inline constexpr std::size_t kBootpReply = 300;
// Option writers that check their room never write at or beyond this offset.
inline constexpr std::size_t kHardLimit = 1468;

enum Option : std::uint8_t {
    kPad = 0,
    kSubnetMask = 1,
    kTimeOffset = 2,
    kRouter = 3,
    kTimeServer = 4,
    kDnsServer = 6,
    kHostName = 12,
    kBootSize = 13,
    kDomainName = 15,
    kRootPath = 17,
    kNtpServers = 42,
    kNetbiosNameServers = 44,
    kNetbiosNodeType = 46,
    kNetbiosScope = 47,
    kRequestedAddress = 50,
    kLeaseTime = 51,
    kOverload = 52,
    kMessageType = 53,
    kServerIdentifier = 54,
    kParameterList = 55,
    kMaxMessageSize = 57,
    kVendorClass = 60,
    kClientIdentifier = 61,
    kTftpServerName = 66,
    kBootFileName = 67,
    kUserClass = 77,
    kRelayInformation = 82,
    kAutoConfigure = 116,
    kEnd = 255,
};

enum MessageType : int {
    kBootp = 0,
    kDiscover = 1,
    kOffer = 2,
    kRequest = 3,
    kDecline = 4,
    kAck = 5,
    kNak = 6,
    kRelease = 7,
    kInform = 8,
};

// Name of a message type in log lines.
const char* messageTypeName(int type);

}  // namespace tolmark::dhcp
