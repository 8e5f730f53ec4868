#include "server/leasedb/lease_row.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "common/text_forms.h"

namespace tolmark::leasedb {
namespace {

constexpr std::size_t kMaxIdentityBytes = 64;

std::optional<std::int64_t> parseInt64(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0') return std::nullopt;
    return static_cast<std::int64_t>(value);
}

// inet columns of host addresses print as the dotted form alone.
std::optional<Ipv4> parseAddress(const char* text) {
    if (text == nullptr) return std::nullopt;
    const std::string_view view(text);
    const ParsedIpv4 parsed = parseIpv4(view);
    if (!parsed.ok) return std::nullopt;
    const std::string_view rest = view.substr(parsed.end);
    if (!rest.empty() && rest != "/32") return std::nullopt;
    return parsed.address;
}

}  // namespace

std::optional<std::string> decodeBytea(const char* text) {
    if (text == nullptr || text[0] != '\\' || text[1] != 'x') return std::nullopt;
    const std::size_t digits = std::strlen(text + 2);
    if (digits % 2 != 0) return std::nullopt;
    std::string out;
    out.reserve(digits / 2);
    for (std::size_t i = 0; i < digits; i += 2) {
        const int high = hexDigitValue(text[2 + i]);
        const int low = hexDigitValue(text[3 + i]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
    }
    return out;
}

namespace {

// The columns that say whether and until when the address is taken, or nothing.
std::optional<LeaseRow> heldRow(const RowTexts& t) {
    const std::optional<Ipv4> address = parseAddress(t.address);
    const std::optional<std::int64_t> expiry = parseInt64(t.expiry);
    const std::optional<std::int64_t> seq = parseInt64(t.seq);
    if (!address || *address == 0 || *address == kBroadcastAll || !expiry || *expiry < 0 || !seq || *seq <= 0 ||
        t.removed == nullptr || std::strcmp(t.removed, "f") != 0)
        return std::nullopt;
    LeaseRow row;
    row.fields.address = *address;
    row.fields.expiry = *expiry;
    row.seq = *seq;
    if (t.origin != nullptr) row.origin = t.origin;
    return row;
}

DecodedRow decodeClient(const RowTexts& t);

}  // namespace

DecodedRow decodeRow(const RowTexts& t) {
    DecodedRow decoded = decodeClient(t);
    if (!decoded.row) decoded.held = heldRow(t);
    return decoded;
}

namespace {

DecodedRow decodeClient(const RowTexts& t) {
    LeaseRow row;
    ClientFields& f = row.fields;

    const std::optional<Ipv4> address = parseAddress(t.address);
    if (!address || *address == 0 || *address == kBroadcastAll) return {std::nullopt, "address"};
    f.address = *address;

    const std::optional<std::int64_t> kind = parseInt64(t.identityKind);
    if (!kind || *kind < kIdentityHardware || *kind > kIdentityClientId) return {std::nullopt, "identity kind"};
    const std::optional<std::string> identity = decodeBytea(t.identity);
    if (!identity || identity->size() > kMaxIdentityBytes) return {std::nullopt, "identity"};
    f.identity.kind = static_cast<std::uint8_t>(*kind);
    f.identity.length = static_cast<std::uint8_t>(identity->size());
    std::memcpy(f.identity.bytes.data(), identity->data(), identity->size());

    const std::optional<std::string> profile = decodeBytea(t.profile);
    if (!profile || profile->size() > kProfileNameField - 1 || profile->find('\0') != std::string::npos)
        return {std::nullopt, "profile"};
    f.profile = *profile;
    const std::optional<std::string> hostName = decodeBytea(t.hostName);
    if (!hostName || hostName->size() > kHostNameChars || hostName->find('\0') != std::string::npos)
        return {std::nullopt, "host name"};
    f.hostName = *hostName;
    const std::optional<std::string> remark = decodeBytea(t.remark);
    if (!remark || remark->size() > kRemarkChars || remark->find('\0') != std::string::npos)
        return {std::nullopt, "remark"};
    f.remark = *remark;

    if (t.seenVia != nullptr) {
        const std::optional<Ipv4> seenVia = parseAddress(t.seenVia);
        if (!seenVia) return {std::nullopt, "seen_via"};
        f.seenVia = *seenVia;
    }
    const std::optional<std::int64_t> lastAccess = parseInt64(t.lastAccess);
    if (!lastAccess || *lastAccess < 0) return {std::nullopt, "last_access"};
    f.lastAccess = *lastAccess;
    const std::optional<std::int64_t> expiry = parseInt64(t.expiry);
    // Any time to come: an infinite lease runs 2^32 - 1 seconds from when it was given, past the
    // reserved mark, and a client file may name the latest time there is.
    if (!expiry || *expiry < 0) return {std::nullopt, "expiry"};
    f.expiry = *expiry;

    if (t.removed == nullptr || (t.removed[0] != 't' && t.removed[0] != 'f') || t.removed[1] != '\0')
        return {std::nullopt, "removed"};
    row.removed = t.removed[0] == 't';
    const std::optional<std::int64_t> seq = parseInt64(t.seq);
    if (!seq || *seq <= 0) return {std::nullopt, "seq"};
    row.seq = *seq;
    if (t.origin != nullptr) row.origin = t.origin;
    return {std::move(row), nullptr};
}

}  // namespace

}  // namespace tolmark::leasedb
