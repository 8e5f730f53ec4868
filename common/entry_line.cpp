#include "common/entry_line.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <string>

namespace tolmark {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// Walks the tab-separated fields of the data part of a line.
class FieldReader {
public:
    explicit FieldReader(std::string_view data) : data_(data) {}

    std::string_view first(bool blankEnds) {
        std::size_t end = 0;
        while (end < data_.size() && data_[end] != '\t' && !(blankEnds && data_[end] == ' ')) ++end;
        const std::string_view field = data_.substr(0, end);
        pos_ = end;
        while (pos_ < data_.size() && (data_[pos_] == '\t' || (blankEnds && data_[pos_] == ' '))) ++pos_;
        return field;
    }

    // The next non-empty field, or nothing at the end of the data.
    std::optional<std::string_view> next() {
        while (pos_ < data_.size() && data_[pos_] == '\t') ++pos_;
        if (pos_ >= data_.size()) return std::nullopt;
        const std::size_t start = pos_;
        while (pos_ < data_.size() && data_[pos_] != '\t') ++pos_;
        return data_.substr(start, pos_ - start);
    }

private:
    std::string_view data_;
    std::size_t pos_ = 0;
};

std::string_view cut(std::string_view text, std::size_t maxChars) {
    return text.substr(0, std::min(text.size(), maxChars));
}

// ":" and a decimal number; a value too large for the signed 64-bit field stays at the largest
// one (cast, it would be a time long past). Without digits the time is left as it was.
std::optional<std::int64_t> parseTime(std::string_view digits) {
    if (digits.empty() || digits.front() < '0' || digits.front() > '9') return std::nullopt;
    std::uint64_t value = 0;
    constexpr std::uint64_t kMax = std::numeric_limits<std::int64_t>::max();
    for (char c : digits) {
        if (c < '0' || c > '9') break;
        const unsigned digit = static_cast<unsigned>(c - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return static_cast<std::int64_t>(value);
}

// Appends to a fixed line buffer; text that would not fit is dropped.
class LineWriter {
public:
    explicit LineWriter(EntryLineText& out) : out_(out) { out_.length = 0; }

    void text(std::string_view s) {
        for (char c : s) put(c);
    }
    // Control characters would split the line or its fields when read back.
    void cleanText(std::string_view s) {
        for (char c : s) put(entryLineChar(c));
    }
    // A time field: a tab, ':' and the seconds.
    void timeField(std::uint64_t value) {
        char buffer[32];
        const int n = std::snprintf(buffer, sizeof buffer, "\t:%" PRIu64, value);
        if (n > 0)
            text(std::string_view(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), sizeof buffer - 1)));
    }
    void finish() { out_.text[out_.length] = '\0'; }

private:
    void put(char c) {
        if (out_.length < kMaxEntryLine) out_.text[out_.length++] = c;
    }
    EntryLineText& out_;
};

bool hasControlCharacter(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7f;
    });
}

// A host name written between the identity and the address must come back as the host name:
// not taken for the address, not starting a remark, not split into fields.
bool hostNameReadsBack(std::string_view host) {
    if (host.empty() || hasControlCharacter(host) || isBlank(host.front()) || host.front() == '#') return false;
    if (parseIpv4(host).ok) return false;
    for (std::size_t i = 1; i < host.size(); ++i) {
        if (host[i] == '#' && isBlank(host[i - 1])) return false;
    }
    return true;
}

// The text of the identity field, or nothing when the identity has none.
std::optional<IdentityText> identityField(const Identity& identity) {
    if (identity.kind == kIdentityHardware) return formatIdentity(identity);
    if (identity.kind == kIdentityFree) return formatIdentity(Identity{});
    if (identity.kind > kIdentityClientId || identity.length == 0 || identity.length > identity.bytes.size())
        return std::nullopt;
    return formatIdentity(identity);
}

// host: a dynamic line's host name, written after the profile as "@name". The profile is then
// written also when it is the default, so that a reader that knows no host name field takes the
// name for no profile (it ignores the fields after the profile).
void writeProfileAndRemark(LineWriter& out, const ClientFields& record, std::string_view host = {}) {
    std::string_view profile = cut(record.profile, kEntryProfileChars);
    if (!host.empty() && profile.empty()) profile = kDefaultProfileName;
    if (!profile.empty() && (profile != kDefaultProfileName || !host.empty())) {
        out.text("\t");
        out.cleanText(profile);
    }
    if (!host.empty()) {
        out.text("\t@");
        out.text(host);
    }
    if (!record.remark.empty()) {
        out.text("\t#");
        out.cleanText(cut(record.remark, kEntryRemarkChars));
    }
}

}  // namespace

EntryParts splitRemark(std::string_view line) {
    for (std::size_t i = 1; i < line.size(); ++i) {
        if (line[i] == '#' && isBlank(line[i - 1])) return {line.substr(0, i), line.substr(i + 1)};
    }
    return {line, {}};
}

std::optional<ClientFields> parseEntryData(std::string_view data, bool blankEndsFirstField) {
    data = cut(data, kMaxEntryLine);
    FieldReader fields(data);
    const std::optional<Identity> identity = parseIdentity(fields.first(blankEndsFirstField));
    if (!identity) return std::nullopt;

    ClientFields record;
    record.identity = *identity;
    bool haveProfile = false;
    const auto take = [&](std::string_view field) {
        if (field.front() == ':') {
            if (auto time = parseTime(field.substr(1))) {
                record.lastAccess = *time;
                record.expiry = *time;
            }
        } else if (field.front() == '=') {
            record.seenVia = ipv4OrZero(field.substr(1));
        } else if (!haveProfile) {
            // "Lab # desk": the blank before a remark ends the name.
            std::string_view name = cut(field, kEntryProfileChars);
            while (name.size() > 1 && name.back() == ' ') name.remove_suffix(1);
            record.profile = std::string(name);
            haveProfile = true;
        } else if (field.front() == '@' && record.hostName.empty()) {
            // A lease's host name, which the dynamic file keeps after the profile.
            record.hostName = std::string(cut(field.substr(1), kEntryHostNameChars));
        }
    };
    if (auto second = fields.next()) {
        if (const ParsedIpv4 address = parseIpv4(*second); address.ok) {
            record.address = address.address;
            // "00:11:22:33:44:55 10.0.0.5 Lab", written by hand with blanks: the server never
            // writes text after an address in its field, so what follows it is the line's further
            // fields, separated by blanks, rather than text to drop (the profile was lost).
            std::string_view rest = blankEndsFirstField ? second->substr(address.end) : std::string_view{};
            if (!rest.empty() && isBlank(rest.front())) {
                while (!rest.empty()) {
                    const std::size_t start = std::min(rest.find_first_not_of(" \t"), rest.size());
                    rest.remove_prefix(start);
                    const std::size_t end = std::min(rest.find_first_of(" \t"), rest.size());
                    if (end != 0) take(rest.substr(0, end));
                    rest.remove_prefix(end);
                }
            }
        } else {
            record.hostName = std::string(cut(*second, kEntryHostNameChars));
            if (auto third = fields.next()) record.address = ipv4OrZero(*third);
        }
    }
    while (auto field = fields.next()) take(*field);
    if (!haveProfile) record.profile = kDefaultProfileName;
    return record;
}

bool hostNameBeforeAddress(std::string_view data) {
    FieldReader fields(cut(data, kMaxEntryLine));
    fields.first(true);
    const std::optional<std::string_view> second = fields.next();
    return second && !parseIpv4(*second).ok;
}

std::optional<ClientFields> parseEntryLine(std::string_view line, bool blankEndsFirstField) {
    const EntryParts parts = splitRemark(cut(line, kMaxEntryLine));
    std::optional<ClientFields> record = parseEntryData(parts.data, blankEndsFirstField);
    if (record) record->remark = std::string(cut(parts.remark, kEntryRemarkChars));
    return record;
}

bool entryLineHoldsProfile(std::string_view name) {
    std::string line = "00:00:00:00:00:01\t0.0.0.0\t";
    line += name;
    const std::optional<ClientFields> back = parseEntryLine(line, true);
    return !name.empty() && back && back->profile == name;
}

std::optional<std::string> typedEntryProblem(std::string_view line) {
    const std::string_view identity = line.substr(0, line.find('\t'));
    if (const char* problem = typedIdentityProblem(identity)) return std::string(identity) + ": " + problem;
    // The blank before a remark's '#' stays at the end of the data.
    const auto trimmed = [](std::string_view field) {
        while (!field.empty() && field.back() == ' ') field.remove_suffix(1);
        return field;
    };
    const auto notAddress = [](std::string_view field) { return std::string(field) + ": not an IPv4 address"; };
    FieldReader fields(splitRemark(cut(line, kMaxEntryLine)).data);
    fields.first(false);
    const std::optional<std::string_view> second = fields.next();
    if (!second) return std::nullopt;
    std::string_view address = trimmed(*second);
    if (!parseIpv4(address).ok) {
        // A host name, then the address; digits with dots between them are an address mistyped
        // (a host name of digits alone is written by the server and reads back).
        if (address.find_first_not_of("0123456789.") == std::string_view::npos &&
            address.find('.') != std::string_view::npos)
            return notAddress(address);
        if (address.size() > kEntryHostNameChars)
            return std::string(address.substr(0, 16)) + "...: a host name has at most 158 characters";
        const std::optional<std::string_view> third = fields.next();
        if (!third) return std::string(address) + ": no IPv4 address after the host name";
        address = trimmed(*third);
    }
    if (const ParsedIpv4 parsed = parseIpv4(address); !parsed.ok || parsed.end != address.size())
        return notAddress(address);
    while (const std::optional<std::string_view> field = fields.next()) {
        if (field->front() == ':' || field->front() == '=') continue;
        const std::string_view profile = trimmed(*field);
        if (profile.size() > kEntryProfileChars)
            return std::string(profile) + ": a profile name has at most " + std::to_string(kEntryProfileChars) +
                   " characters";
        break;
    }
    return std::nullopt;
}

std::optional<EntryLineText> formatEntryLine(const ClientFields& record, EntryFormat format, int updateEthers) {
    const std::optional<IdentityText> identity = identityField(record.identity);
    if (!identity) return std::nullopt;
    EntryLineText line;
    LineWriter out(line);
    out.text(identity->c_str());
    const std::string_view host = cut(record.hostName, kEntryHostNameChars);
    const bool hostWritten = hostNameReadsBack(host);
    if (format == EntryFormat::Dynamic) {
        out.text("\t");
        out.text(formatIpv4(record.address).c_str());
        out.timeField(static_cast<std::uint64_t>(record.expiry));
        if (record.seenVia != 0) {
            out.text("\t=");
            out.text(formatIpv4(record.seenVia).c_str());
        }
        // The name the client gave, which its DNS records carry: after a restart the lease's
        // records are removed under that name when it ends.
        writeProfileAndRemark(out, record, hostWritten ? host : std::string_view{});
    } else {
        if ((updateEthers & kUpdateEthersHostNames) != 0 && hostWritten) {
            out.text("\t");
            out.text(host);
        }
        out.text("\t");
        out.text(formatIpv4(record.address).c_str());
        if (record.lastAccess != 0) out.timeField(static_cast<std::uint64_t>(record.lastAccess));
        writeProfileAndRemark(out, record);
    }
    out.finish();
    return line;
}

}  // namespace tolmark
