// The 1816-byte profile record image that GetProfile carries: integers little-endian, addresses
// as stored (network order), texts NUL-terminated within their fields.

#include <algorithm>

#include "base/byte_io.h"
#include "config/profiles.h"

namespace tolmark {

namespace {

namespace at {
constexpr std::size_t kName = 0;
constexpr std::size_t kLease = 24;
constexpr std::size_t kNodeType = 28;
constexpr std::size_t kOffset = 32;
constexpr std::size_t kSelectorAddress = 36;
constexpr std::size_t kNextIp = 40;
constexpr std::size_t kBaseIp = 44;
constexpr std::size_t kRange = 48;
constexpr std::size_t kSubnetMask = 52;
constexpr std::size_t kDns = 56;
constexpr std::size_t kGateway = 72;
constexpr std::size_t kWins = 84;
constexpr std::size_t kTime = 92;
constexpr std::size_t kNtp = 100;
constexpr std::size_t kBootSize = 116;
constexpr std::size_t kBootSize2 = 120;
constexpr std::size_t kUseOpt = 124;
constexpr std::size_t kAlternate = 128;
constexpr std::size_t kSubstitution = 132;
constexpr std::size_t kScopeId = 136;
constexpr std::size_t kBootName = 200;
constexpr std::size_t kBootFile = 264;
constexpr std::size_t kBootFile2 = 392;
constexpr std::size_t kRootPath = 520;
constexpr std::size_t kOptions = 776;
constexpr std::size_t kDnsName = 1288;
constexpr std::size_t kDnsSend = 1544;
constexpr std::size_t kDnsAccept = 1545;
constexpr std::size_t kDnsUpdate = 1546;
constexpr std::size_t kDnsBaseOnly = 1547;
constexpr std::size_t kDnsBase = 1548;
constexpr std::size_t kSelectorKind = 1612;
constexpr std::size_t kSelectorForm = 1613;
constexpr std::size_t kRelayType = 1614;
constexpr std::size_t kSelectorValue = 1615;
constexpr std::size_t kVendorClassId = 1679;
constexpr std::size_t kSendOptions = 1743;
constexpr std::size_t kUnused = 1807;
constexpr std::size_t kLink = 1808;
}  // namespace at

// The selector value field: a length byte and 63 bytes.
constexpr std::size_t kSelectorValueBytes = 63;
constexpr std::size_t kSendOptionsField = 64;

template <std::size_t N>
void writeAddresses(ByteWriter& out, std::size_t offset, const std::array<Ipv4, N>& addresses) {
    for (std::size_t i = 0; i < N; ++i) out.ipv4(offset + 4 * i, addresses[i]);
}

template <std::size_t N>
void readAddresses(ByteReader& in, std::size_t offset, std::array<Ipv4, N>& addresses) {
    for (std::size_t i = 0; i < N; ++i) addresses[i] = in.ipv4(offset + 4 * i);
}

}  // namespace

std::array<std::uint8_t, kProfileRecordSize> encodeProfileRecord(const Profile& p) {
    std::array<std::uint8_t, kProfileRecordSize> image{};
    ByteWriter out(image);
    out.text(at::kName, kProfileNameField, p.name);
    out.i32le(at::kLease, p.lease);
    out.i32le(at::kNodeType, p.nodeType);
    out.i32le(at::kOffset, p.offset);
    out.ipv4(at::kSelectorAddress, p.selectorAddress);
    out.ipv4(at::kNextIp, p.nextIp);
    out.ipv4(at::kBaseIp, p.baseIp);
    out.i32le(at::kRange, p.range);
    out.ipv4(at::kSubnetMask, p.subnetMask);
    writeAddresses(out, at::kDns, p.dns);
    writeAddresses(out, at::kGateway, p.gateway);
    writeAddresses(out, at::kWins, p.wins);
    writeAddresses(out, at::kTime, p.time);
    writeAddresses(out, at::kNtp, p.ntp);
    out.i32le(at::kBootSize, p.bootSize);
    out.i32le(at::kBootSize2, p.bootSize2);
    out.i32le(at::kUseOpt, p.useOpt);
    out.i32le(at::kAlternate, p.alternate);
    out.i32le(at::kSubstitution, p.substitution);
    out.text(at::kScopeId, kShortTextField, p.scopeId);
    out.text(at::kBootName, kShortTextField, p.bootName);
    out.text(at::kBootFile, kBootFileField, p.bootFile);
    out.text(at::kBootFile2, kBootFileField, p.bootFile2);
    out.text(at::kRootPath, kLongTextField, p.rootPath);
    out.bytes(at::kOptions, p.options.data(), kOptionAreaSize);
    out.text(at::kDnsName, kLongTextField, p.dnsName);
    out.u8(at::kDnsSend, p.dnsSend);
    out.u8(at::kDnsAccept, p.dnsAccept);
    out.u8(at::kDnsUpdate, p.dnsUpdate);
    out.u8(at::kDnsBaseOnly, p.dnsBaseOnly);
    out.text(at::kDnsBase, kShortTextField, p.dnsBase);
    out.u8(at::kSelectorKind, static_cast<std::uint8_t>(p.selectorKind));
    out.u8(at::kSelectorForm, p.selectorForm);
    out.u8(at::kRelayType, static_cast<std::uint8_t>(p.relaySelectorType));
    out.u8(at::kSelectorValue,
           static_cast<std::uint8_t>(std::min<std::size_t>(p.selectorValue.length, kSelectorValueBytes)));
    out.bytes(at::kSelectorValue + 1, p.selectorValue.bytes.data(), kSelectorValueBytes);
    out.text(at::kVendorClassId, kShortTextField, p.vendorClassId);
    out.bytes(at::kSendOptions, p.sendOptions.codes.data(), kSendOptionsField);
    out.u8(at::kUnused, 0);
    out.u64le(at::kLink, p.link);
    return image;
}

// A selector value longer than its field, an unknown selector kind or relay type, and an option
// area whose entries run past its end are refused: the engine walks these without further
// checks. The option code list is closed at its last byte.
std::optional<Profile> decodeProfileRecord(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kProfileRecordSize) return std::nullopt;
    ByteReader in(bytes);
    Profile p;
    p.name = in.text(at::kName, kProfileNameField);
    p.lease = in.i32le(at::kLease);
    p.nodeType = in.i32le(at::kNodeType);
    p.offset = in.i32le(at::kOffset);
    p.selectorAddress = in.ipv4(at::kSelectorAddress);
    p.nextIp = in.ipv4(at::kNextIp);
    p.baseIp = in.ipv4(at::kBaseIp);
    p.range = in.i32le(at::kRange);
    p.subnetMask = in.ipv4(at::kSubnetMask);
    readAddresses(in, at::kDns, p.dns);
    readAddresses(in, at::kGateway, p.gateway);
    readAddresses(in, at::kWins, p.wins);
    readAddresses(in, at::kTime, p.time);
    readAddresses(in, at::kNtp, p.ntp);
    p.bootSize = in.i32le(at::kBootSize);
    p.bootSize2 = in.i32le(at::kBootSize2);
    p.useOpt = in.i32le(at::kUseOpt);
    p.alternate = in.i32le(at::kAlternate);
    p.substitution = in.i32le(at::kSubstitution);
    p.scopeId = in.text(at::kScopeId, kShortTextField);
    p.bootName = in.text(at::kBootName, kShortTextField);
    p.bootFile = in.text(at::kBootFile, kBootFileField);
    p.bootFile2 = in.text(at::kBootFile2, kBootFileField);
    p.rootPath = in.text(at::kRootPath, kLongTextField);
    in.bytes(at::kOptions, p.options.data(), kOptionAreaSize);
    p.dnsName = in.text(at::kDnsName, kLongTextField);
    p.dnsSend = in.u8(at::kDnsSend);
    p.dnsAccept = in.u8(at::kDnsAccept);
    p.dnsUpdate = in.u8(at::kDnsUpdate);
    p.dnsBaseOnly = in.u8(at::kDnsBaseOnly);
    p.dnsBase = in.text(at::kDnsBase, kShortTextField);
    const std::uint8_t kind = in.u8(at::kSelectorKind);
    p.selectorForm = in.u8(at::kSelectorForm);
    const std::uint8_t relayType = in.u8(at::kRelayType);
    p.selectorValue.length = in.u8(at::kSelectorValue);
    in.bytes(at::kSelectorValue + 1, p.selectorValue.bytes.data(), kSelectorValueBytes);
    p.vendorClassId = in.text(at::kVendorClassId, kShortTextField);
    in.bytes(at::kSendOptions, p.sendOptions.codes.data(), kSendOptionsField);
    p.sendOptions.codes.back() = 0;
    p.link = in.u64le(at::kLink);

    if (!in.ok()) return std::nullopt;
    if (kind > static_cast<std::uint8_t>(SelectorKind::ClientIdClass) ||
        relayType > static_cast<std::uint8_t>(RelaySelectorType::RemoteId))
        return std::nullopt;
    if (p.selectorValue.length > kSelectorValueBytes || !isValidOptionArea(p.options)) return std::nullopt;
    p.selectorKind = static_cast<SelectorKind>(kind);
    p.relaySelectorType = static_cast<RelaySelectorType>(relayType);
    return p;
}

}  // namespace tolmark
