#pragma once
// An INI file held as its lines, so that an edit rewrites only the lines it concerns and every
// comment and unknown line survives. Section and key names are compared without case; the first
// matching section and, inside it, the first matching key are the ones read and written.

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_store.h"

namespace tolmark {

// Limit of a whole-section read: "key=value" texts each ended by a NUL, plus the final NUL.
inline constexpr std::size_t kMaxSectionBytes = 32768;

class IniFile {
public:
    static IniFile parse(std::string_view text);
    // The file's text with "\n" line ends.
    std::string text() const;

    // Value of the key in the first matching section, trimmed and without enclosing quotes.
    std::optional<std::string> value(std::string_view section, std::string_view key) const;
    bool hasSection(std::string_view section) const;
    // The line (counted from 1) of the key that value() reads, or of the section's header when
    // key is empty; nothing when there is none.
    std::optional<std::size_t> lineOf(std::string_view section, std::string_view key) const;
    // key=value lines of the first matching section in file order, values as value() gives them;
    // entries that would pass maxBytes are left out. Nothing when the section is missing.
    std::optional<std::vector<SectionEntry>> entries(std::string_view section, std::size_t maxBytes = SIZE_MAX) const;
    // Section names in file order as written in their headers.
    std::vector<std::string> sectionNames() const;

    // A line whose key no reader sees, since the first match wins: a section header that repeats
    // an earlier one (none of its keys is read), a key that repeats an earlier one of its
    // section, or a key before the first section. Also a line that is no key at all: neither a
    // comment nor a section header, and without a name before an '=' ("Port 68").
    struct UnreadLine {
        std::size_t line = 0;        // counted from 1
        std::string section;         // the section it stands in
        std::string key;             // empty: a repeated section header
        std::size_t readLine = 0;    // the line read instead (the first header or key); 0: the key
                                     // stands before the first section
        std::size_t keysUnread = 0;  // a repeated section header: the key lines below it
        bool notKey = false;         // a line that is no key: no name before an '='
    };
    std::vector<UnreadLine> unreadLines() const;

    // Edits return whether the file changed. Names must pass validName()/validKey() and values
    // validValue(); the caller checks.
    bool setValue(std::string_view section, std::string_view key, std::string_view value);
    // Deletes every line of the key in the first matching section, so no older copy shows through.
    bool eraseKey(std::string_view section, std::string_view key);
    // Deletes every section of that name with all its lines.
    bool eraseSection(std::string_view section);
    // The section afterwards holds exactly the given raw lines, in place of its old lines (or at
    // the end of the file when it was missing).
    void replaceSection(std::string_view section, const std::vector<std::string>& rawLines);
    // Section headers without their closing "]" ("[Lab"): each is read as the header of the
    // section named by the rest of its line. The line (counted from 1) and that name.
    struct UnclosedHeader {
        std::size_t line = 0;
        std::string section;
    };
    std::vector<UnclosedHeader> unclosedHeaders() const;
    // key=value lines of the first matching section exactly as stored (quotes kept), for copying.
    std::vector<std::string> rawEntryLines(std::string_view section) const;
    // Renames the headers of every section of that name.
    bool renameSection(std::string_view from, std::string_view to);

    static bool validSection(std::string_view name);
    static bool validKey(std::string_view key);
    static bool validValue(std::string_view value);

private:
    enum class LineKind { kOther, kSection, kKey };
    struct Line {
        std::string text;
        LineKind kind = LineKind::kOther;
        std::string name;       // section or key name, trimmed
        std::string rawValue;   // key lines: the value trimmed, quotes kept
        bool unclosed = false;  // a section header without its "]"
    };
    static Line parseLine(std::string_view text);
    static Line keyLine(std::string_view key, std::string_view encodedValue);
    static Line sectionLine(std::string_view name);

    // Header index of the first matching section, or npos.
    std::size_t findSection(std::string_view section, std::size_t from = 0) const;
    // One past the last line of the section whose header is at index header.
    std::size_t sectionEnd(std::size_t header) const;
    void appendSection(std::string_view section, const std::vector<Line>& body);

    std::vector<Line> lines_;
};

bool equalsNoCase(std::string_view a, std::string_view b);
bool startsWithNoCase(std::string_view text, std::string_view prefix);

// What identifies one state of a file on disk, to tell when a cached copy is stale.
struct FileStamp {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::int64_t mtimeSec = 0;
    std::int64_t mtimeNsec = 0;
    off_t size = 0;
    bool operator==(const FileStamp&) const = default;
};

enum class LoadStatus { kOk, kMissing, kError };
struct LoadedIniFile {
    LoadStatus status = LoadStatus::kError;
    IniFile file;
    FileStamp stamp;
};
// A missing file loads as an empty one with status kMissing.
LoadedIniFile loadIniFile(const std::string& path);
std::optional<FileStamp> statFile(const std::string& path);
// Writes path + ".tmp", syncs it, renames it over path and syncs the directory. On failure the
// old file is left whole. createDirectory: create missing parent directories first. A path that
// is a symbolic link writes the file it links to; the file keeps its owner and mode.
bool saveIniFile(const std::string& path, const IniFile& file, bool createDirectory);

}  // namespace tolmark
