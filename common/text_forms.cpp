#include "common/text_forms.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <limits>

namespace tolmark {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

namespace {

bool isBlank(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// One "%x" conversion as the C library performs it: blanks, an optional sign, an optional 0x
// (a lone "0x" reads as 0 with the x consumed), then hex digits. A minus sign negates, a value
// beyond 64 bits saturates; only the lowest byte survives either way.
std::optional<std::uint8_t> scanHexByte(std::string_view text, std::size_t& pos) {
    while (pos < text.size() && isBlank(text[pos])) ++pos;
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    bool digits = false;
    if (pos < text.size() && text[pos] == '0') {
        digits = true;
        ++pos;
        if (pos < text.size() && (text[pos] == 'x' || text[pos] == 'X')) ++pos;
    }
    std::uint64_t value = 0;
    bool overflow = false;
    for (; pos < text.size() && hexDigitValue(text[pos]) >= 0; ++pos) {
        digits = true;
        if (value > (std::numeric_limits<std::uint64_t>::max() >> 4)) overflow = true;
        value = (value << 4) | static_cast<std::uint64_t>(hexDigitValue(text[pos]));
    }
    if (!digits) return std::nullopt;
    if (overflow) return std::uint8_t{0xFF};
    if (negative) value = ~value + 1;
    return static_cast<std::uint8_t>(value);
}

std::optional<HardwareAddress> scanHardwareAddress(std::string_view text, char separator) {
    HardwareAddress address{};
    std::size_t pos = 0;
    for (std::size_t i = 0; i < address.size(); ++i) {
        if (i > 0) {
            if (pos >= text.size() || text[pos] != separator) return std::nullopt;
            ++pos;
        }
        auto byte = scanHexByte(text, pos);
        if (!byte) return std::nullopt;
        address[i] = *byte;
    }
    return address;
}

// Hardware addresses of other lengths than 6 (2 to 16 bytes: the length a request's header
// can give) are written as that many hex pairs, so that they read back whole.
bool isOtherHardwareLength(std::size_t length) { return length >= 2 && length <= 16 && length != 6; }

// "aa:bb:cc:dd" (or with "-"): two hex digits per byte, a separator between bytes, nothing else.
bool otherLengthHardwareAddress(std::string_view text, Identity& identity) {
    if (text.size() < 5 || (text[2] != ':' && text[2] != '-') || (text.size() + 1) % 3 != 0) return false;
    const std::size_t length = (text.size() + 1) / 3;
    if (!isOtherHardwareLength(length)) return false;
    Identity read;
    for (std::size_t i = 0; i < length; ++i) {
        const int high = hexDigitValue(text[3 * i]);
        const int low = hexDigitValue(text[3 * i + 1]);
        if (high < 0 || low < 0 || (i + 1 < length && text[3 * i + 2] != text[2])) return false;
        read.bytes[i] = static_cast<std::uint8_t>(high * 16 + low);
    }
    identity = read;
    identity.kind = kIdentityHardware;
    identity.length = static_cast<std::uint8_t>(length);
    return true;
}

// Bytes a counted value of this capacity may hold, bounded by the buffer behind it.
std::size_t valueRoom(std::size_t capacity, std::size_t buffer) {
    return capacity == 0 ? 0 : std::min(capacity - 1, buffer);
}

// Appends "%2.2x" pairs; the caller sized the buffer for them.
char* writeHexPairs(char* out, std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    for (std::uint8_t b : bytes) {
        *out++ = kDigits[b >> 4];
        *out++ = kDigits[b & 0x0F];
    }
    return out;
}

char identityLetter(std::uint8_t kind) {
    switch (kind) {
        case kIdentityCircuit:
            return 'C';
        case kIdentityRemote:
            return 'R';
        case kIdentityCircuitRemote:
            return '+';
        default:
            return '\0';
    }
}

}  // namespace

HardwareAddressText formatHardwareAddress(const std::uint8_t* six, char separator) {
    HardwareAddressText out;
    std::snprintf(out.text, sizeof out.text, "%2.2x%c%2.2x%c%2.2x%c%2.2x%c%2.2x%c%2.2x", six[0], separator, six[1],
                  separator, six[2], separator, six[3], separator, six[4], separator, six[5]);
    return out;
}

std::optional<HardwareAddress> parseHardwareAddress(std::string_view text) {
    // The C scan sees the text only up to its terminator.
    text = text.substr(0, text.find('\0'));
    if (auto colon = scanHardwareAddress(text, ':')) return colon;
    return scanHardwareAddress(text, '-');
}

CountedValue parseCountedValue(std::string_view text, std::size_t capacity, int* formFlag) {
    CountedValue value;
    const std::size_t room = valueRoom(capacity, value.bytes.size());
    if (!text.empty() && text.front() == '"') {
        if (formFlag) *formFlag = kValueFormText;
        // Everything after the quote is the value, a second quote included.
        const std::size_t length = std::min(text.size() - 1, room);
        std::copy_n(text.begin() + 1, length, value.bytes.begin());
        value.length = static_cast<std::uint8_t>(length);
        return value;
    }
    if (formFlag) *formFlag = kValueFormHex;
    if (text.starts_with("0x")) text.remove_prefix(2);
    std::size_t digits = 0;
    for (char c : text) {
        const int digit = hexDigitValue(c);
        if (digit < 0) return CountedValue{};
        // Digits past the room are still checked, so one bad character anywhere refuses the value.
        if (digits / 2 < room) {
            auto& byte = value.bytes[digits / 2];
            byte = static_cast<std::uint8_t>(digits % 2 == 0 ? digit << 4 : byte | digit);
        }
        ++digits;
    }
    value.length = static_cast<std::uint8_t>(std::min((digits + 1) / 2, room));
    return value;
}

CountedValue parseByteList(std::string_view text, std::size_t capacity) {
    CountedValue list;
    const std::size_t room = valueRoom(capacity, list.bytes.size());
    std::size_t pos = 0;
    while (pos < text.size() && list.length < room) {
        std::size_t numberEnd = pos;
        auto byte = scanHexByte(text, numberEnd);
        if (!byte) {
            ++pos;
            continue;
        }
        list.bytes[list.length++] = *byte;
        // Whatever follows the number up to its separator belongs to it.
        pos = text.find_first_of("-:", numberEnd);
        if (pos == std::string_view::npos) break;
        ++pos;
    }
    return list;
}

IdentityText formatIdentity(const Identity& identity, bool dash, bool textForm) {
    IdentityText out;
    if (identity.kind == kIdentityHardware && isOtherHardwareLength(identity.length)) {
        char* end = out.text;
        for (std::size_t i = 0; i < identity.length; ++i) {
            if (i > 0) *end++ = dash ? '-' : ':';
            end = writeHexPairs(end, std::span<const std::uint8_t>(&identity.bytes[i], 1));
        }
        *end = '\0';
        return out;
    }
    if (identity.kind == kIdentityHardware) {
        auto hw = formatHardwareAddress(identity.bytes.data(), dash ? '-' : ':');
        std::copy(std::begin(hw.text), std::end(hw.text), out.text);
        return out;
    }
    const std::span<const std::uint8_t> value(identity.bytes.data(),
                                              std::min<std::size_t>(identity.length, identity.bytes.size()));
    char* end = out.text;
    if (const char letter = identityLetter(identity.kind)) *end++ = letter;
    const bool printable =
        !value.empty() && std::all_of(value.begin(), value.end(), [](std::uint8_t b) { return b >= 32 && b <= 126; });
    if (textForm && printable) {
        *end++ = '"';
        end = std::copy(value.begin(), value.end(), end);
    } else {
        end = writeHexPairs(end, value);
    }
    *end = '\0';
    return out;
}

bool hardwareAddressReadsBack(std::size_t length) { return length == 6 || isOtherHardwareLength(length); }

std::optional<std::size_t> hexBytesJoined(std::string_view text, std::string_view separators) {
    std::size_t bytes = 0;
    for (std::size_t start = 0; start <= text.size(); ++bytes) {
        const std::size_t end = std::min(text.find_first_of(separators, start), text.size());
        const std::string_view byte = text.substr(start, end - start);
        if (byte.empty() || byte.size() > 2 ||
            !std::all_of(byte.begin(), byte.end(), [](char c) { return hexDigitValue(c) >= 0; }))
            return std::nullopt;
        start = end + 1;
    }
    return bytes;
}

std::optional<Identity> parseIdentity(std::string_view text) {
    Identity identity;
    if (otherLengthHardwareAddress(text, identity)) return identity;
    if (auto hw = parseHardwareAddress(text)) {
        identity.kind = kIdentityHardware;
        identity.length = static_cast<std::uint8_t>(hw->size());
        std::copy(hw->begin(), hw->end(), identity.bytes.begin());
        return identity;
    }
    identity.kind = kIdentityClientId;
    if (!text.empty()) {
        switch (text.front()) {
            case 'C':
                identity.kind = kIdentityCircuit;
                break;
            case 'R':
                identity.kind = kIdentityRemote;
                break;
            case '+':
                identity.kind = kIdentityCircuitRemote;
                break;
        }
        if (identity.kind != kIdentityClientId) text.remove_prefix(1);
    }
    // Identities hold up to 64 bytes: capacity 65 with the length byte.
    const CountedValue value = parseCountedValue(text, identity.bytes.size() + 1);
    if (value.length == 0) return std::nullopt;
    identity.length = value.length;
    identity.bytes = value.bytes;
    return identity;
}

const char* typedIdentityProblem(std::string_view text) {
    Identity identity;
    if (otherLengthHardwareAddress(text, identity)) return nullptr;
    if (const auto hw = parseHardwareAddress(text)) {
        // Six numbers of one or two hexadecimal digits, one separator kind, nothing more.
        const char separator[] = {scanHardwareAddress(text, ':') ? ':' : '-', '\0'};
        return hexBytesJoined(text, separator) == hw->size()
                   ? nullptr
                   : "a MAC address is six numbers of one or two hexadecimal digits";
    }
    std::string_view value = text;
    if (value.starts_with('C') || value.starts_with('R') || value.starts_with('+')) value.remove_prefix(1);
    if (value.starts_with('"')) {
        value.remove_prefix(1);
        for (std::size_t i = 0; i < value.size(); ++i) {
            const auto byte = static_cast<unsigned char>(value[i]);
            if (byte < 0x20 || byte == 0x7f) return "a quoted identifier holds no tab or other control character";
            if (value[i] == '#' && i > 0 && isBlank(value[i - 1]))
                return "a blank before '#' in a quoted identifier would start a remark";
        }
        return value.size() > kIdentityBytes ? "an identifier has at most 64 bytes" : nullptr;
    }
    if (value.starts_with("0x")) value.remove_prefix(2);
    return value.size() > 2 * kIdentityBytes ? "an identifier has at most 64 bytes" : nullptr;
}

MacRangeTable parseMacRange(std::string_view text) {
    MacRangeTable table{};
    if (text.empty()) return table;
    std::size_t fill = 1;
    std::size_t countAt = 0;
    unsigned number = 0;
    bool inNumber = false;
    // A number ends at a separator, a comma or the end; returns false once the table is full.
    auto endNumber = [&]() {
        if (!inNumber) return true;
        inNumber = false;
        if (fill >= table.size()) return false;
        table[fill++] = static_cast<std::uint8_t>(number);
        ++table[countAt];
        return true;
    };
    auto openGroup = [&]() {
        if (fill >= table.size()) return false;
        countAt = fill++;
        number = 0;
        return true;
    };
    bool room = openGroup();
    for (std::size_t pos = 0; room && pos < text.size(); ++pos) {
        const char c = text[pos];
        if (const int digit = hexDigitValue(c); digit >= 0) {
            number = ((number << 4) | static_cast<unsigned>(digit)) & 0xFF;
            inNumber = true;
        } else if (c == ':' || c == '-') {
            room = endNumber();
            number = 0;
        } else if (c == ',') {
            room = endNumber() && openGroup();
        }
    }
    if (room) endNumber();
    table[0] = static_cast<std::uint8_t>(fill - 1);
    return table;
}

bool macRangeReadsAsTyped(std::string_view text) {
    std::size_t used = 1;  // the table's length byte
    for (std::size_t start = 0; start <= text.size();) {
        const std::size_t end = std::min(text.find(',', start), text.size());
        const std::optional<std::size_t> bytes = hexBytesJoined(text.substr(start, end - start), ":-");
        if (!bytes || *bytes > 6) return false;
        used += 1 + *bytes;
        start = end + 1;
    }
    return used <= sizeof(MacRangeTable);
}

std::optional<std::string> formatMacRange(const MacRangeTable& table) {
    if (table[0] == 0) return std::nullopt;
    // A table from the pipe may claim more than it holds; read only what is there.
    const std::size_t end = std::min<std::size_t>(std::size_t{1} + table[0], table.size());
    std::string text;
    char number[4];
    for (std::size_t pos = 1; pos < end;) {
        const std::size_t count = table[pos++];
        if (count == 0) break;
        if (!text.empty()) text += ',';
        for (std::size_t i = 0; i < count && pos < end; ++i, ++pos) {
            if (i > 0) text += ':';
            std::snprintf(number, sizeof number, "%x", table[pos]);
            text += number;
        }
    }
    return text;
}

ShownValue showValue(std::span<const std::uint8_t> value) {
    static constexpr std::size_t kMaxHexBytes = 130;
    ShownValue out;
    const bool binary = std::any_of(value.begin(), value.end(), [](std::uint8_t b) { return b < 32 || b > 127; });
    char* end = out.text;
    if (binary) {
        end = writeHexPairs(end, value.first(std::min(value.size(), kMaxHexBytes)));
    } else {
        // Room for both quotes and the terminator.
        const std::size_t length = std::min(value.size(), sizeof out.text - 3);
        *end++ = '"';
        end = std::copy_n(value.begin(), length, end);
        *end++ = '"';
    }
    *end = '\0';
    return out;
}

}  // namespace tolmark
