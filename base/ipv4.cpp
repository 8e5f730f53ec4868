#include "base/ipv4.h"

#include <cctype>
#include <cstdio>

namespace tolmark {

AddressText formatIpv4(Ipv4 address) {
    AddressText out;
    std::snprintf(out.text, sizeof out.text, "%u.%u.%u.%u", ipv4Octet(address, 0), ipv4Octet(address, 1),
                  ipv4Octet(address, 2), ipv4Octet(address, 3));
    return out;
}

namespace {

// One "%u" conversion: blanks, an optional sign, at least one digit. A minus sign wraps the
// value as the C library does, so only "-0" stays in range.
bool scanUnsigned(std::string_view text, std::size_t& pos, std::uint64_t& value) {
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    std::size_t start = pos;
    std::uint64_t v = 0;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
        if (v < (1ull << 40)) v = v * 10 + static_cast<unsigned>(text[pos] - '0');
        ++pos;
    }
    if (pos == start) return false;
    value = negative ? (v == 0 ? 0 : (1ull << 32)) : v;
    return true;
}

}  // namespace

ParsedIpv4 parseIpv4(std::string_view text) {
    ParsedIpv4 result;
    std::size_t pos = 0;
    std::uint8_t parts[4];
    for (int i = 0; i < 4; ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != '.') return {};
            ++pos;
        }
        std::uint64_t value;
        if (!scanUnsigned(text, pos, value) || value > 255) return {};
        parts[i] = static_cast<std::uint8_t>(value);
    }
    result.ok = true;
    result.address = makeIpv4(parts[0], parts[1], parts[2], parts[3]);
    result.end = pos;
    return result;
}

}  // namespace tolmark
