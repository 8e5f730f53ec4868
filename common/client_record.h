#pragma once
// One client of the client table and its 328-byte image, which the control pipe carries byte
// for byte (times little-endian, addresses in network order).

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/ipv4.h"
#include "common/text_forms.h"

namespace tolmark {

inline constexpr std::size_t kClientRecordSize = 328;
// Width of a profile name field, its NUL included, in records and in pipe requests.
inline constexpr std::size_t kProfileNameField = 24;
// The longest profile name, host name and remark a record keeps.
inline constexpr std::size_t kProfileNameChars = kProfileNameField - 1;
inline constexpr std::size_t kHostNameChars = 158;
inline constexpr std::size_t kRemarkChars = 31;
inline constexpr std::int64_t kExpiryReserved = 4294967295LL;
inline constexpr Ipv4 kNeverServe = 0xFFFFFFFFu;  // a static record's address that means: never serve

struct ClientFields {
    Ipv4 address = 0;
    Ipv4 seenVia = 0;
    std::int64_t lastAccess = 0;
    std::int64_t expiry = 0;
    Identity identity;     // kind, length, bytes
    std::string profile;   // at most 23 characters; empty = the first profile
    std::string hostName;  // at most 158 characters
    std::string remark;    // at most 31 characters

    bool operator==(const ClientFields&) const = default;
};

// The record image with its own handle and the handle of the next record in its list.
struct ClientRecordImage {
    std::uint64_t handle = 0;
    std::uint64_t nextHandle = 0;
    ClientFields fields;
    bool operator==(const ClientRecordImage&) const = default;
};

// Profile names are compared without case, as the configuration sections that hold them.
bool profileNameEquals(std::string_view a, std::string_view b);

std::array<std::uint8_t, kClientRecordSize> encodeClientRecord(const ClientRecordImage& image);
// Refuses anything but exactly 328 bytes, and an identity length above 64.
std::optional<ClientRecordImage> decodeClientRecord(std::span<const std::uint8_t> bytes);

}  // namespace tolmark
