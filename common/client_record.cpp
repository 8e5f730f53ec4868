#include "common/client_record.h"

#include <algorithm>

#include "base/byte_io.h"

namespace tolmark {

namespace {

constexpr std::size_t kHandleAt = 0;
constexpr std::size_t kAddressAt = 8;
constexpr std::size_t kSeenViaAt = 12;
constexpr std::size_t kLastAccessAt = 16;
constexpr std::size_t kExpiryAt = 24;
constexpr std::size_t kKindAt = 32;
constexpr std::size_t kLengthAt = 33;
constexpr std::size_t kIdentityAt = 34;
constexpr std::size_t kIdentityWidth = 64;
constexpr std::size_t kProfileAt = 98;
constexpr std::size_t kHostNameAt = 122;
constexpr std::size_t kHostNameWidth = 159;
constexpr std::size_t kRemarkAt = 281;
constexpr std::size_t kRemarkWidth = 32;
constexpr std::size_t kReservedAt = 313;
constexpr std::size_t kReservedWidth = 7;
constexpr std::size_t kNextHandleAt = 320;

}  // namespace

bool profileNameEquals(std::string_view a, std::string_view b) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::array<std::uint8_t, kClientRecordSize> encodeClientRecord(const ClientRecordImage& image) {
    std::array<std::uint8_t, kClientRecordSize> bytes{};
    ByteWriter out(bytes);
    const ClientFields& f = image.fields;
    out.u64le(kHandleAt, image.handle);
    out.ipv4(kAddressAt, f.address);
    out.ipv4(kSeenViaAt, f.seenVia);
    out.i64le(kLastAccessAt, f.lastAccess);
    out.i64le(kExpiryAt, f.expiry);
    out.u8(kKindAt, f.identity.kind);
    out.u8(kLengthAt, f.identity.length);
    out.bytes(kIdentityAt, f.identity.bytes.data(), kIdentityWidth);
    out.text(kProfileAt, kProfileNameField, f.profile);
    out.text(kHostNameAt, kHostNameWidth, f.hostName);
    out.text(kRemarkAt, kRemarkWidth, f.remark);
    out.fill(kReservedAt, 0, kReservedWidth);
    out.u64le(kNextHandleAt, image.nextHandle);
    return bytes;
}

std::optional<ClientRecordImage> decodeClientRecord(std::span<const std::uint8_t> bytes) {
    if (bytes.size() != kClientRecordSize) return std::nullopt;
    ByteReader in(bytes);
    ClientRecordImage image;
    ClientFields& f = image.fields;
    image.handle = in.u64le(kHandleAt);
    f.address = in.ipv4(kAddressAt);
    f.seenVia = in.ipv4(kSeenViaAt);
    f.lastAccess = in.i64le(kLastAccessAt);
    f.expiry = in.i64le(kExpiryAt);
    f.identity.kind = in.u8(kKindAt);
    f.identity.length = in.u8(kLengthAt);
    in.bytes(kIdentityAt, f.identity.bytes.data(), kIdentityWidth);
    f.profile = in.text(kProfileAt, kProfileNameField);
    f.hostName = in.text(kHostNameAt, kHostNameWidth);
    f.remark = in.text(kRemarkAt, kRemarkWidth);
    image.nextHandle = in.u64le(kNextHandleAt);
    if (!in.ok() || f.identity.length > kIdentityWidth) return std::nullopt;
    return image;
}

}  // namespace tolmark
