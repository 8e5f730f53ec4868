#pragma once
// The own-server probe: a DISCOVER that every running server of this kind answers with an
// OFFER, so that a second server on the network can stay paused. Built by the backup probe,
// recognised by the engine; its layout lives here only.

#include <array>
#include <cstdint>
#include <span>

namespace tolmark::dhcp {

inline constexpr std::size_t kProbeSize = 300;

// op 1, htype 1, hlen 6, xid 61 68 65 68, secs 00 01, chaddr "_DHCP_", the cookie, option 53
// DISCOVER and option 60 "Tolmark Server" with its 0 byte, the end option.
std::array<std::uint8_t, kProbeSize> probeMessage();

// A message whose chaddr and option 60 carry the probe's marks.
bool isProbe(std::span<const std::uint8_t> message);

// The probe's options from offset 240 through the end option: option 53 with the message type
// given, option 60 with the marker. The answer carries them with OFFER whatever a message with
// the marks held around them, so that no bytes of the request past the marker go back out.
inline constexpr std::size_t kProbeOptionsSize = 3 + 2 + 15 + 1;
std::array<std::uint8_t, kProbeOptionsSize> probeOptions(std::uint8_t messageType);

}  // namespace tolmark::dhcp
