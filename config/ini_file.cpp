#include "config/ini_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

#include "base/file_descriptor.h"
#include "platform/files.h"

namespace tolmark {

namespace {

using platform::FileDescriptor;

constexpr std::string_view kBlanks = " \t\r\v\f";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

bool isBlank(char c) { return kBlanks.find(c) != std::string_view::npos; }
bool isQuote(char c) { return c == '"' || c == '\''; }

// The private-profile read drops one pair of matching quotes around a value.
std::string decodeValue(std::string_view raw) {
    if (raw.size() >= 2 && isQuote(raw.front()) && raw.front() == raw.back()) {
        return std::string(raw.substr(1, raw.size() - 2));
    }
    return std::string(raw);
}

// Quotes a value that would not read back as itself: surrounding blanks are trimmed on reading
// and a pair of enclosing quotes is dropped.
std::string encodeValue(std::string_view value) {
    const bool needsQuotes =
        !value.empty() && (isBlank(value.front()) || isBlank(value.back()) ||
                           (value.size() >= 2 && isQuote(value.front()) && value.front() == value.back()));
    if (!needsQuotes) return std::string(value);
    std::string quoted;
    quoted.reserve(value.size() + 2);
    quoted += '"';
    quoted += value;
    quoted += '"';
    return quoted;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool hasLineBreakOrNul(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) != text.npos; }

}  // namespace

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

bool startsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equalsNoCase(text.substr(0, prefix.size()), prefix);
}

bool IniFile::validSection(std::string_view name) {
    return !name.empty() && trim(name) == name && name.find(']') == name.npos && !hasLineBreakOrNul(name);
}

bool IniFile::validKey(std::string_view key) {
    if (key.empty() || trim(key) != key || hasLineBreakOrNul(key)) return false;
    if (key.find('=') != key.npos) return false;
    // Such a line would read back as a comment or a section header.
    return key.front() != ';' && key.front() != '#' && key.front() != '[';
}

bool IniFile::validValue(std::string_view value) { return !hasLineBreakOrNul(value); }

IniFile::Line IniFile::parseLine(std::string_view text) {
    Line line;
    line.text = std::string(text);
    // A line ends at a NUL byte, as the C strings the values become do (a file padded with NULs
    // after a crash keeps its names).
    std::string_view body = trim(text.substr(0, text.find('\0')));
    if (body.empty() || body.front() == ';' || body.front() == '#') return line;
    if (body.front() == '[') {
        const auto close = body.find(']');
        line.kind = LineKind::kSection;
        line.unclosed = close == body.npos;
        line.name = std::string(trim(body.substr(1, line.unclosed ? body.npos : close - 1)));
        return line;
    }
    const auto equals = body.find('=');
    if (equals == body.npos) return line;
    std::string_view key = trim(body.substr(0, equals));
    if (key.empty()) return line;
    line.kind = LineKind::kKey;
    line.name = std::string(key);
    line.rawValue = std::string(trim(body.substr(equals + 1)));
    return line;
}

IniFile::Line IniFile::keyLine(std::string_view key, std::string_view encodedValue) {
    std::string text(key);
    text += '=';
    text += encodedValue;
    return parseLine(text);
}

IniFile::Line IniFile::sectionLine(std::string_view name) {
    std::string text = "[";
    text += name;
    text += ']';
    return parseLine(text);
}

IniFile IniFile::parse(std::string_view text) {
    IniFile file;
    std::size_t start = 0;
    while (start < text.size()) {
        // Lines end in LF, CR LF or a CR alone (a file from an old Mac editor would otherwise
        // be one line, every key in it lost). No value holds a CR: writes refuse one.
        auto end = text.find_first_of("\r\n", start);
        if (end == text.npos) end = text.size();
        std::string_view lineText = text.substr(start, end - start);
        if (end + 1 < text.size() && text[end] == '\r' && text[end + 1] == '\n') ++end;
        if (start == 0 && lineText.starts_with(kByteOrderMark)) {
            Line line = parseLine(lineText.substr(kByteOrderMark.size()));
            line.text = std::string(lineText);
            file.lines_.push_back(std::move(line));
        } else {
            file.lines_.push_back(parseLine(lineText));
        }
        start = end + 1;
    }
    return file;
}

std::string IniFile::text() const {
    std::string out;
    for (const Line& line : lines_) {
        out += line.text;
        out += '\n';
    }
    return out;
}

std::size_t IniFile::findSection(std::string_view section, std::size_t from) const {
    for (std::size_t i = from; i < lines_.size(); ++i) {
        if (lines_[i].kind == LineKind::kSection && equalsNoCase(lines_[i].name, section)) return i;
    }
    return std::string::npos;
}

std::size_t IniFile::sectionEnd(std::size_t header) const {
    std::size_t i = header + 1;
    while (i < lines_.size() && lines_[i].kind != LineKind::kSection) ++i;
    return i;
}

std::optional<std::string> IniFile::value(std::string_view section, std::string_view key) const {
    const std::size_t header = findSection(section);
    if (header == std::string::npos) return std::nullopt;
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::kKey && equalsNoCase(lines_[i].name, key)) {
            return decodeValue(lines_[i].rawValue);
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> IniFile::lineOf(std::string_view section, std::string_view key) const {
    const std::size_t header = findSection(section);
    if (header == std::string::npos) return std::nullopt;
    if (key.empty()) return header + 1;
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::kKey && equalsNoCase(lines_[i].name, key)) return i + 1;
    }
    return std::nullopt;
}

bool IniFile::hasSection(std::string_view section) const { return findSection(section) != std::string::npos; }

std::optional<std::vector<SectionEntry>> IniFile::entries(std::string_view section, std::size_t maxBytes) const {
    const std::size_t header = findSection(section);
    if (header == std::string::npos) return std::nullopt;
    std::vector<SectionEntry> result;
    std::size_t used = 1;  // the NUL that ends the list
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind != LineKind::kKey) continue;
        SectionEntry entry{lines_[i].name, decodeValue(lines_[i].rawValue)};
        const std::size_t cost = entry.key.size() + 1 + entry.value.size() + 1;
        if (used + cost > maxBytes) break;
        used += cost;
        result.push_back(std::move(entry));
    }
    return result;
}

std::vector<std::string> IniFile::rawEntryLines(std::string_view section) const {
    std::vector<std::string> result;
    const std::size_t header = findSection(section);
    if (header == std::string::npos) return result;
    const std::size_t end = sectionEnd(header);
    for (std::size_t i = header + 1; i < end; ++i) {
        if (lines_[i].kind == LineKind::kKey) result.push_back(lines_[i].name + "=" + lines_[i].rawValue);
    }
    return result;
}

std::vector<std::string> IniFile::sectionNames() const {
    std::vector<std::string> names;
    for (const Line& line : lines_) {
        if (line.kind == LineKind::kSection) names.push_back(line.name);
    }
    return names;
}

std::vector<IniFile::UnreadLine> IniFile::unreadLines() const {
    std::vector<UnreadLine> unread;
    std::size_t header = std::string::npos;
    bool repeated = false;
    std::size_t repeatedAt = 0;         // the entry of the repeated header
    std::vector<std::size_t> keysRead;  // line indexes of the keys of the current section
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        const Line& line = lines_[i];
        if (line.kind == LineKind::kSection) {
            header = i;
            keysRead.clear();
            const std::size_t first = findSection(line.name);
            repeated = first != i;
            if (repeated) {
                repeatedAt = unread.size();
                unread.push_back({i + 1, line.name, {}, first + 1, 0});
            }
        } else if (line.kind == LineKind::kOther) {
            std::string_view body = line.text;
            if (i == 0 && body.starts_with(kByteOrderMark)) body.remove_prefix(kByteOrderMark.size());
            body = trim(body.substr(0, body.find('\0')));
            if (!body.empty() && body.front() != ';' && body.front() != '#') {
                UnreadLine notKey{i + 1, header == std::string::npos ? std::string() : lines_[header].name, {}, 0, 0};
                notKey.notKey = true;
                unread.push_back(std::move(notKey));
            }
        } else if (line.kind == LineKind::kKey) {
            if (header == std::string::npos) {
                unread.push_back({i + 1, {}, line.name, 0, 0});
            } else if (repeated) {
                ++unread[repeatedAt].keysUnread;
            } else {
                const auto earlier = std::find_if(keysRead.begin(), keysRead.end(), [&](std::size_t k) {
                    return equalsNoCase(lines_[k].name, line.name);
                });
                if (earlier != keysRead.end())
                    unread.push_back({i + 1, lines_[header].name, line.name, *earlier + 1, 0});
                else
                    keysRead.push_back(i);
            }
        }
    }
    return unread;
}

std::vector<IniFile::UnclosedHeader> IniFile::unclosedHeaders() const {
    std::vector<UnclosedHeader> headers;
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].unclosed) headers.push_back({i + 1, lines_[i].name});
    }
    return headers;
}

void IniFile::appendSection(std::string_view section, const std::vector<Line>& body) {
    if (!lines_.empty() && !trim(lines_.back().text).empty()) lines_.push_back(parseLine(""));
    lines_.push_back(sectionLine(section));
    lines_.insert(lines_.end(), body.begin(), body.end());
}

bool IniFile::setValue(std::string_view section, std::string_view key, std::string_view value) {
    const std::string encoded = encodeValue(value);
    const std::size_t header = findSection(section);
    if (header == std::string::npos) {
        appendSection(section, {keyLine(key, encoded)});
        return true;
    }
    const std::size_t end = sectionEnd(header);
    std::size_t insertAt = header + 1;
    for (std::size_t i = header + 1; i < end; ++i) {
        Line& line = lines_[i];
        if (line.kind != LineKind::kKey) continue;
        if (equalsNoCase(line.name, key)) {
            if (line.rawValue == encoded) return false;
            line = keyLine(line.name, encoded);  // the stored spelling of the name stays
            return true;
        }
        insertAt = i + 1;
    }
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt), keyLine(key, encoded));
    return true;
}

bool IniFile::eraseKey(std::string_view section, std::string_view key) {
    const std::size_t header = findSection(section);
    if (header == std::string::npos) return false;
    const auto first = lines_.begin() + static_cast<std::ptrdiff_t>(header + 1);
    const auto last = lines_.begin() + static_cast<std::ptrdiff_t>(sectionEnd(header));
    const auto kept = std::remove_if(
        first, last, [&](const Line& line) { return line.kind == LineKind::kKey && equalsNoCase(line.name, key); });
    if (kept == last) return false;
    lines_.erase(kept, last);
    return true;
}

bool IniFile::eraseSection(std::string_view section) {
    bool changed = false;
    for (std::size_t header = findSection(section); header != std::string::npos; header = findSection(section)) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(sectionEnd(header)));
        changed = true;
    }
    return changed;
}

void IniFile::replaceSection(std::string_view section, const std::vector<std::string>& rawLines) {
    std::vector<Line> body;
    body.reserve(rawLines.size());
    for (const std::string& raw : rawLines) body.push_back(parseLine(raw));

    const std::size_t header = findSection(section);
    if (header == std::string::npos) {
        appendSection(section, body);
        return;
    }
    std::size_t end = sectionEnd(header);
    // Blank lines that separate the section from the next one stay.
    while (end > header + 1 && trim(lines_[end - 1].text).empty()) --end;
    lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(header + 1),
                 lines_.begin() + static_cast<std::ptrdiff_t>(end));
    lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(header + 1), body.begin(), body.end());

    // A later section of the same name would otherwise still hold old keys.
    const std::size_t next = header + 1 + body.size();
    for (std::size_t dup = findSection(section, next); dup != std::string::npos; dup = findSection(section, next)) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(dup),
                     lines_.begin() + static_cast<std::ptrdiff_t>(sectionEnd(dup)));
    }
}

bool IniFile::renameSection(std::string_view from, std::string_view to) {
    bool changed = false;
    for (Line& line : lines_) {
        if (line.kind == LineKind::kSection && equalsNoCase(line.name, from) && line.name != to) {
            line = sectionLine(to);
            changed = true;
        }
    }
    return changed;
}

std::optional<FileStamp> statFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return FileStamp{};
        return std::nullopt;
    }
    return FileStamp{true, st.st_dev, st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
}

LoadedIniFile loadIniFile(const std::string& path) {
    LoadedIniFile result;
    // Without O_NONBLOCK a FIFO put in the file's place would hold the reader until something
    // wrote to it; it is refused below as any other file that is not a regular one.
    FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    if (!fd) {
        if (errno == ENOENT) result.status = LoadStatus::kMissing;
        return result;
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return result;

    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return result;
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    result.file = IniFile::parse(text);
    result.stamp = FileStamp{true, st.st_dev, st.st_ino, st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_size};
    result.status = LoadStatus::kOk;
    return result;
}

namespace {

bool writeAll(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

bool writeTemporary(const std::string& tmpPath, const std::string& path, std::string_view data) {
    FileDescriptor fd = platform::createReplacement(tmpPath, path);
    if (!fd) return false;
    if (!writeAll(fd.get(), data) || ::fsync(fd.get()) != 0) return false;
    return ::close(fd.release()) == 0;
}

}  // namespace

bool saveIniFile(const std::string& givenPath, const IniFile& file, bool createDirectory) {
    const std::optional<std::string> target = platform::linkTarget(givenPath);
    if (!target) return false;
    const std::string& path = *target;
    std::filesystem::path directory = std::filesystem::path(path).parent_path();
    if (directory.empty()) directory = ".";
    if (createDirectory) {
        std::error_code error;
        std::filesystem::create_directories(directory, error);
        if (error) return false;
    }
    const std::string tmpPath = path + ".tmp";
    if (!writeTemporary(tmpPath, path, file.text()) || ::rename(tmpPath.c_str(), path.c_str()) != 0) {
        ::unlink(tmpPath.c_str());
        return false;
    }
    // The rename is only durable once the directory entry is on disk; the new file is in place
    // either way, so a failure here does not fail the write.
    FileDescriptor dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir) (void)::fsync(dir.get());
    return true;
}

}  // namespace tolmark
