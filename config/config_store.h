#pragma once
// The configuration store: sections of keys with text values, kept either in the INI file of
// the data directory or in the registry stand-in file. A process points the store at its INI
// file once at start-up; before that (or when the path is too long) every operation goes to the
// registry. Both back ends follow private-profile semantics: section and key names compared
// without case, first match wins, "no key" deletes the section, "no text" deletes the key, writes
// keep every other line as it was, and a missing file reads as empty.

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config/config_findings.h"

namespace tolmark {

// Items of a list value: "," as the server writes it; ";" and blanks as one typed by hand may
// have them (interface address lists, option code lists).
inline constexpr std::string_view kListSeparators = ",; \t";

inline constexpr const char* kGeneralSection = "Dorvane";
inline constexpr const char* kRegistryKeyName = "Software\\Tolmark\\Dorvane";
inline constexpr std::size_t kMaxIniPath = 1023;

// One key=value line of a section as a whole-section read returns it.
struct SectionEntry {
    std::string key;
    std::string value;
};

class IniFile;

// Key changes that reach the file together, in one rewrite: either all of them or none.
class KeyChanges {
public:
    // No text (nullopt) erases the key.
    KeyChanges& text(std::string_view section, std::string_view key, std::optional<std::string_view> text);
    // A value equal to its default erases the key; otherwise it is written as "%d".
    KeyChanges& integer(std::string_view section, std::string_view key, std::int32_t value, std::int32_t defaultValue);
    bool empty() const { return changes_.empty(); }

private:
    friend class ConfigStore;
    struct Change {
        std::string section;
        std::string key;
        std::optional<std::string> text;
    };
    std::vector<Change> changes_;
};

class ConfigStore {
public:
    // registryFile: the machine-wide registry stand-in (an INI file whose section "Dorvane" is
    // the key "Software\Tolmark\Dorvane" itself and "Dorvane\NAME" its subkey NAME).
    explicit ConfigStore(std::string registryFile);

    // Sets the INI file to directory + baseName + ".ini". Returns false, leaving the path
    // unset, when the result would have 1024 characters or more.
    bool setIniPath(std::string_view directory, std::string_view baseName);
    // Sets the INI file to a path as it stands (the configuration check of a file given by name).
    bool setIniFile(std::string path) {
        if (path.empty() || path.size() > kMaxIniPath) return false;
        iniPath_ = std::move(path);
        return true;
    }
    const std::string& iniPath() const { return iniPath_; }
    bool usesIniFile() const { return !iniPath_.empty(); }

    // Text of the key, or the default when it is missing; cut to capacity - 1 characters
    // (capacity counts the terminating NUL of the original buffer).
    std::string readText(std::string_view section, std::string_view key, std::string_view defaultValue,
                         std::size_t capacity) const;
    // INI: leading decimal number ("12abc" gives 12), default when missing or not a number.
    // Registry: exactly one "%d" number read from the text, else the default.
    std::int32_t readInt(std::string_view section, std::string_view key, std::int32_t defaultValue) const;

    // No key (nullopt) deletes the whole section; no text (nullopt) deletes the key.
    bool writeText(std::string_view section, std::optional<std::string_view> key, std::optional<std::string_view> text);
    // A value equal to its default deletes the key; otherwise it is written as "%d".
    bool writeInt(std::string_view section, std::string_view key, std::int32_t value, std::int32_t defaultValue);
    bool deleteSection(std::string_view section);
    // Makes the changes in their order as one rewrite of the file. False, with the file as it
    // was, when a change names no valid section or key or has a value that cannot be stored
    // (a line break), or when the file cannot be read or saved.
    bool write(const KeyChanges& changes);

    // Whole section as entries in file order; nullopt when the section is missing or empty (INI,
    // at most 32768 bytes of "key=value" texts). A registry key that exists opens even when it
    // holds no values.
    std::optional<std::vector<SectionEntry>> openSection(std::string_view section) const;
    // Copies the source section to the target (replacing it), then deletes the source. The
    // source stays when the copy fails. In the registry the subkey tree moves along. The
    // changes given along are made in the same rewrite of the file, after the move: the file
    // takes both or neither.
    bool moveSection(std::string_view source, std::string_view target, const KeyChanges& along = KeyChanges());

    // Where readers report values that do not read as they should (nullptr: nobody, the
    // default). The store reports integers; the profile and settings readers report through it
    // too. Set by a single-threaded caller (the configuration check) before reading.
    void setFindings(FindingSink* sink) { findings_ = sink; }
    FindingSink* findings() const { return findings_; }
    // Reports a finding about the key in the file the store reads, with its line when known.
    void report(FindingLevel level, std::string_view section, std::string_view key, std::string problem,
                std::string startDoes) const;

private:
    // The file the current back end keeps its sections in.
    const std::string& storeFile() const { return usesIniFile() ? iniPath_ : registryFile_; }
    // The section of that file that holds the given section (registry: "Dorvane" or "Dorvane\NAME").
    std::string storeSection(std::string_view section) const;
    // Whether every change names a valid section and key and has a value that can be stored.
    static bool storable(const KeyChanges& changes);
    // Makes the changes in the file as held in memory; true when one of them changed it.
    bool applyTo(IniFile& file, const KeyChanges& changes) const;

    std::string iniPath_;
    std::string registryFile_;
    FindingSink* findings_ = nullptr;
};

}  // namespace tolmark
