// Option lines ("code length value") as the manager writes them and the server stores them in a
// profile's option area.

#include <algorithm>
#include <array>
#include <climits>
#include <optional>

#include "common/text_forms.h"
#include "config/profiles.h"

namespace tolmark {

namespace {

// Codes the server fills in itself or that carry the exchange (lease time, message type, server
// identifier, parameter list, client identifier, user class, relay information, pad and end).
constexpr std::uint8_t kServerOwnedCodes[] = {0, 50, 51, 52, 53, 54, 55, 57, 61, 66, 67, 77, 82, 255};

// Numbers beyond this stop growing; every field they feed is far smaller.
constexpr unsigned kNumberCeiling = 1000000;

bool isBlank(char c) { return c == ' ' || c == '\t'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }

class Cursor {
public:
    explicit Cursor(std::string_view text) : text_(text) {}

    std::size_t pos() const { return pos_; }
    bool atEnd() const { return pos_ >= text_.size(); }
    char peek() const { return atEnd() ? '\0' : text_[pos_]; }
    void skip() { ++pos_; }
    void skipBlanks() {
        while (!atEnd() && isBlank(text_[pos_])) ++pos_;
    }
    // A run of decimal digits, or nothing when there is none.
    std::optional<unsigned> decimal() {
        if (!isDigit(peek())) return std::nullopt;
        unsigned value = 0;
        while (isDigit(peek())) {
            value = std::min(value * 10 + static_cast<unsigned>(peek() - '0'), kNumberCeiling);
            ++pos_;
        }
        return value;
    }
    // The next blank-separated item (empty at the end of the text).
    std::string_view item() {
        skipBlanks();
        const std::size_t start = pos_;
        while (!atEnd() && !isBlank(text_[pos_])) ++pos_;
        return text_.substr(start, pos_ - start);
    }
    std::string_view rest() const { return text_.substr(std::min(pos_, text_.size())); }
    void advance(std::size_t count) { pos_ = std::min(pos_ + count, text_.size()); }

private:
    std::string_view text_;
    std::size_t pos_ = 0;
};

// One byte item: decimal, "0x" and hexadecimal, or a single non-digit character as its code.
std::optional<std::uint8_t> byteItem(std::string_view item) {
    if (item.size() == 1 && !isDigit(item[0])) return static_cast<std::uint8_t>(item[0]);
    unsigned value = 0;
    if (item.size() > 2 && item[0] == '0' && (item[1] == 'x' || item[1] == 'X')) {
        for (char c : item.substr(2)) {
            const int digit = hexDigitValue(c);
            if (digit < 0) return std::nullopt;
            value = std::min(value * 16 + static_cast<unsigned>(digit), kNumberCeiling);
        }
    } else {
        if (item.empty()) return std::nullopt;
        for (char c : item) {
            if (!isDigit(c)) return std::nullopt;
            value = std::min(value * 10 + static_cast<unsigned>(c - '0'), kNumberCeiling);
        }
    }
    if (value > 255) return std::nullopt;
    return static_cast<std::uint8_t>(value);
}

std::optional<Ipv4> addressItem(std::string_view item) {
    const ParsedIpv4 parsed = parseIpv4(item);
    if (!parsed.ok || parsed.end != item.size()) return std::nullopt;
    return parsed.address;
}

struct ScannedLine {
    int result = 0;  // characters used, 0, or an error
    unsigned code = 0;
    std::uint8_t kind = 0;
    std::size_t length = 0;
    std::array<std::uint8_t, 255> value{};
};

// Reads the value in one of its three forms; returns the error or 1.
int scanValue(Cursor& cursor, ScannedLine& line) {
    cursor.skipBlanks();
    if (cursor.peek() == '"') {
        cursor.skip();
        const std::string_view text = cursor.rest();
        if (text.size() < line.length) return kOptionLineBadValue;
        std::copy_n(text.begin(), line.length, line.value.begin());
        cursor.advance(line.length);
        line.kind = kOptionText;
        return 1;
    }
    Cursor lookahead = cursor;
    if (parseIpv4(lookahead.item()).ok) {
        // Below one address there is nothing to store; a partial address would make the option
        // length disagree with the addresses stored.
        if (line.length < 4) return 0;
        if (line.length % 4 != 0) return kOptionLineBadValue;
        for (std::size_t i = 0; i < line.length; i += 4) {
            const std::optional<Ipv4> address = addressItem(cursor.item());
            if (!address) return kOptionLineBadValue;
            for (int n = 0; n < 4; ++n) line.value[i + static_cast<std::size_t>(n)] = ipv4Octet(*address, n);
        }
        line.kind = kOptionAddresses;
        return 1;
    }
    for (std::size_t i = 0; i < line.length; ++i) {
        const std::optional<std::uint8_t> byte = byteItem(cursor.item());
        if (!byte) return kOptionLineBadValue;
        line.value[i] = *byte;
    }
    line.kind = kOptionBytes;
    return 1;
}

// Reads a line without looking at refused codes when refusedWith is null.
ScannedLine scanOptionLine(std::string_view text, const OptionCodeList* refusedWith) {
    ScannedLine line;
    Cursor cursor(text);
    cursor.skipBlanks();
    if (cursor.atEnd()) return line;
    const std::optional<unsigned> code = cursor.decimal();
    if (!code || !isBlank(cursor.peek())) {
        line.result = kOptionLineNoNumbers;
        return line;
    }
    cursor.skipBlanks();
    const std::optional<unsigned> length = cursor.decimal();
    if (!length || !(cursor.atEnd() || isBlank(cursor.peek()) || cursor.peek() == '"')) {
        line.result = kOptionLineNoNumbers;
        return line;
    }
    line.code = *code;
    if (*code > 255 || (refusedWith != nullptr && isRefusedOptionCode(*code, *refusedWith))) {
        line.result = kOptionLineRefusedCode;
        return line;
    }
    if (*length >= 256) {
        line.result = kOptionLineTooLong;
        return line;
    }
    line.length = *length;
    const int value = scanValue(cursor, line);
    line.result = value <= 0 ? value : static_cast<int>(std::min<std::size_t>(cursor.pos(), INT_MAX));
    return line;
}

}  // namespace

bool isRefusedOptionCode(unsigned code, const OptionCodeList& defaultOptions) {
    if (code > 255) return true;
    if (std::find(std::begin(kServerOwnedCodes), std::end(kServerOwnedCodes), code) != std::end(kServerOwnedCodes))
        return true;
    const auto listed = defaultOptions.codes.begin() + static_cast<std::ptrdiff_t>(defaultOptions.size());
    return std::find(defaultOptions.codes.begin(), listed, code) != listed;
}

ParsedOptionLine parseOptionLine(std::string_view text, const OptionCodeList& defaultOptions,
                                 std::span<std::uint8_t> entry) {
    const ScannedLine line = scanOptionLine(text, &defaultOptions);
    if (line.result <= 0) return {line.result, 0};
    const std::size_t size = 3 + line.length;
    if (entry.empty()) return {line.result, 0};
    if (size > entry.size()) return {kOptionLineNoRoom, 0};
    entry[0] = line.kind;
    entry[1] = static_cast<std::uint8_t>(line.code);
    entry[2] = static_cast<std::uint8_t>(line.length);
    std::copy_n(line.value.begin(), line.length, entry.begin() + 3);
    return {line.result, size};
}

SplitOptionLines splitOptionLines(std::string_view text) {
    SplitOptionLines split;
    std::size_t pos = 0;
    while (true) {
        while (pos < text.size() && isBlank(text[pos])) ++pos;
        if (pos >= text.size()) break;
        const std::string_view remaining = text.substr(pos);
        // Codes the server refuses are still moved: the manager then shows them to be mended.
        const ScannedLine line = scanOptionLine(remaining, nullptr);
        if (line.result <= 0 || line.code == 0 || line.code == 255) {
            split.rest = std::string(remaining);
            break;
        }
        const auto used = static_cast<std::size_t>(line.result);
        split.lines.emplace_back(line.code, std::string(remaining.substr(0, used)));
        pos += used;
    }
    return split;
}

bool isValidOptionArea(std::span<const std::uint8_t> area) {
    std::size_t pos = 0;
    while (pos < area.size()) {
        const std::uint8_t kind = area[pos];
        if (kind == 0) return true;
        if (kind > kOptionAddresses || area.size() - pos < 3) return false;
        const std::size_t size = 3 + std::size_t{area[pos + 2]};
        if (size > area.size() - pos) return false;
        pos += size;
    }
    return false;
}

}  // namespace tolmark
