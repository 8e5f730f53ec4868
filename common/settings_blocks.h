#pragma once
// The fixed settings blocks and the server status record that the control pipe moves whole.
// In memory they are plain structs with named fields; on the wire they are explicit
// little-endian byte images (addresses in network order), encoded and decoded field by field.

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "base/ipv4.h"

namespace tolmark {

inline constexpr std::size_t kGeneralSettingsSize = 152;
inline constexpr std::size_t kServerStatusSize = 832;
inline constexpr std::size_t kTftpSettingsSize = 1860;
inline constexpr std::size_t kMulticastSettingsSize = 16;
inline constexpr std::size_t kMaxInterfaces = 32;

// "MacRange" in its stored form: byte 0 = number of bytes that follow, then groups of a
// count byte k and k bytes of a hardware address prefix.
using MacRangeTable = std::array<std::uint8_t, 32>;

// General and DHCP settings, with the defaults a missing key has.
struct GeneralSettings {
    std::int32_t log = 1;
    std::int32_t createLog = 0;
    std::uint16_t port = 67;
    std::uint16_t idWildcard = 46;
    std::int32_t detect = 0;
    std::int32_t pausedState = 0;  // run-time state of backup-server detection, not a setting
    std::int32_t unicast = 0;
    std::int32_t bootp = 1;
    std::int32_t dhcp = 1;
    std::int32_t zeroTerminate = 1;
    std::int32_t autoExclude = 1;
    std::int32_t changeIp = 0;
    std::int32_t testIp = 0;
    std::int32_t netBc = 0;
    std::int32_t updateEthers = 3;
    std::int32_t profiles = 1;
    std::int32_t delay = 0;
    std::int32_t backup = 1;
    std::int32_t enableMac = 1;
    std::int32_t enableId = 0;
    std::int32_t enableRa = 0;
    std::int32_t name2Uc = 0;
    std::int32_t relayAgent = 3;
    std::int32_t regOnly = 0;
    std::int32_t lookup = 1;
    std::int32_t autoConfigure = 1;
    std::int32_t relaySrc = 0;
    std::int32_t relayLimit = 1;
    std::int32_t soleServer = 0;
    std::int32_t magicNumber = 1;
    std::int32_t selectionMode = 0;  // 1: "Include" names the served addresses; 0: "Exclude" names the others
    MacRangeTable macRange{};

    bool operator==(const GeneralSettings&) const = default;
};

// Interface table entry flag bits.
inline constexpr std::int32_t kIfPresent = 1;
inline constexpr std::int32_t kIfServed = 2;
inline constexpr std::int32_t kIfTrusted = 4;
// The socket field value of an entry without a socket.
inline constexpr std::uint64_t kNoSocketImage = ~std::uint64_t{0};

struct InterfaceEntryImage {
    std::int32_t ifIndex = 0;
    Ipv4 address = 0;
    Ipv4 mask = 0;
    std::uint64_t socket = kNoSocketImage;  // meaningless to pipe clients
    std::int32_t flags = 0;

    bool operator==(const InterfaceEntryImage&) const = default;
};

// Bits of the status record's StatusChanged word.
inline constexpr int kStatusClientData = 1;
inline constexpr int kStatusLoopEnded = 2;
// Bits of the status record's ReloadRequest word.
inline constexpr int kReloadInterfaces = 1;
inline constexpr int kReloadSockets = 2;

// The server's live state as GetStatus carries it.
struct ServerStatus {
    std::uint16_t port = 0;
    std::int32_t profileCount = 0;
    std::int32_t staticCount = 0;
    std::int32_t poolTotal = 0;
    std::int32_t staticUsed = 0;
    std::int32_t dynamicUsed = 0;
    std::int32_t ignoredUsed = 0;
    std::int32_t tftpTransfers = -1;
    std::int32_t staticChanges = 0;
    std::int32_t dynamicChanges = 0;
    std::int32_t ignoredChanges = 0;
    std::int32_t serverStopping = 0;
    std::int32_t statusChanged = 0;
    std::int32_t reloadRequest = 0;
    std::int32_t interfaceCount = 0;
    std::array<InterfaceEntryImage, kMaxInterfaces> interfaces{};

    bool operator==(const ServerStatus&) const = default;
};

// Bits of "TFTPMode": who may download what.
inline constexpr std::int32_t kTftpModeManagedAddress = 1;  // clients with an address the server manages
inline constexpr std::int32_t kTftpModeKnownClient = 2;     // clients with a static entry
inline constexpr std::int32_t kTftpModeBootFileClient = 4;  // clients with a configured boot file
inline constexpr std::int32_t kTftpModeBootFileOnly = 8;    // only the named boot file

struct TftpSettings {
    std::int32_t port = 69;
    std::int32_t dataPort = 0;
    std::int32_t timeout = 1;
    std::int32_t retransmit = 10;
    std::int32_t clients = 10;
    std::int32_t options = 7;
    std::int32_t unixStyle = 0;
    std::int32_t mmf = 1;
    std::int32_t mmfMax = 0x2000000;
    std::int32_t upload = 0;
    std::int32_t rootIpSpecific = 0;
    std::int32_t rootProfile = 0;
    std::int32_t windowSize = 0;
    std::int32_t largeFiles = 1;
    std::int32_t enable = 0;
    std::int32_t mode = 7;
    std::int32_t flags = 0;
    std::string prefix;                        // at most 767 characters
    std::string directory;                     // at most 895 characters; default: the data directory
    std::array<std::uint8_t, 128> reserved{};  // carried unchanged

    bool operator==(const TftpSettings&) const = default;
};

struct MulticastSettings {
    std::int32_t multicast = 0;
    Ipv4 address = makeIpv4(224, 0, 0, 1);
    std::uint16_t port = 1758;
    std::uint16_t last = 65535;
    std::int32_t ttl = 1;

    bool operator==(const MulticastSettings&) const = default;
};

// Encoders fill exactly the block's size; decoders accept exactly the block's size and return
// nothing for any other length.
std::array<std::uint8_t, kGeneralSettingsSize> encodeGeneralSettings(const GeneralSettings& settings);
std::optional<GeneralSettings> decodeGeneralSettings(std::span<const std::uint8_t> bytes);

std::array<std::uint8_t, kServerStatusSize> encodeServerStatus(const ServerStatus& status);
std::optional<ServerStatus> decodeServerStatus(std::span<const std::uint8_t> bytes);

std::array<std::uint8_t, kTftpSettingsSize> encodeTftpSettings(const TftpSettings& settings);
std::optional<TftpSettings> decodeTftpSettings(std::span<const std::uint8_t> bytes);

std::array<std::uint8_t, kMulticastSettingsSize> encodeMulticastSettings(const MulticastSettings& settings);
std::optional<MulticastSettings> decodeMulticastSettings(std::span<const std::uint8_t> bytes);

}  // namespace tolmark
