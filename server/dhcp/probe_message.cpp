#include "server/dhcp/probe_message.h"

#include <cstring>

#include "base/byte_io.h"
#include "server/dhcp/dhcp_protocol.h"

namespace tolmark::dhcp {
namespace {

constexpr char kProbeHardware[] = "_DHCP_";
constexpr char kProbeMarker[] = "Tolmark Server";  // sent with its 0 byte
constexpr std::uint8_t kProbeXid[4] = {0x61, 0x68, 0x65, 0x68};
constexpr std::size_t kTypeOption = kOptions;
constexpr std::size_t kMarkerOption = kTypeOption + 3;
constexpr std::size_t kMarkerAt = kMarkerOption + 2;
constexpr std::size_t kEndAt = kMarkerAt + sizeof kProbeMarker;

}  // namespace

std::array<std::uint8_t, kProbeSize> probeMessage() {
    std::array<std::uint8_t, kProbeSize> m{};
    ByteWriter out(m);
    out.u8(kOp, kBootRequest);
    out.u8(kHtype, 1);
    out.u8(kHlen, 6);
    out.bytes(kXid, kProbeXid, sizeof kProbeXid);
    out.u16be(kSecs, 1);
    out.bytes(kChaddr, kProbeHardware, 6);
    out.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
    const auto options = probeOptions(kDiscover);
    out.bytes(kOptions, options.data(), options.size());
    return m;
}

std::array<std::uint8_t, kProbeOptionsSize> probeOptions(std::uint8_t messageType) {
    static_assert(kEndAt + 1 - kOptions == kProbeOptionsSize);
    std::array<std::uint8_t, kProbeOptionsSize> o{};
    ByteWriter out(o);
    const std::uint8_t type[3] = {kMessageType, 1, messageType};
    out.bytes(kTypeOption - kOptions, type, sizeof type);
    out.u8(kMarkerOption - kOptions, kVendorClass);
    out.u8(kMarkerOption + 1 - kOptions, sizeof kProbeMarker);
    out.bytes(kMarkerAt - kOptions, kProbeMarker, sizeof kProbeMarker);
    out.u8(kEndAt - kOptions, kEnd);
    return o;
}

bool isProbe(std::span<const std::uint8_t> message) {
    return message.size() >= kEndAt && std::memcmp(message.data() + kChaddr, kProbeHardware, 6) == 0 &&
           std::memcmp(message.data() + kMarkerAt, kProbeMarker, sizeof kProbeMarker) == 0;
}

}  // namespace tolmark::dhcp
