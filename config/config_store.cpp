#include "config/config_store.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>
#include <memory>

#include "config/ini_file.h"

namespace tolmark {

namespace {

// One file as this process last read or wrote it; the mutex serialises every access to it.
struct CachedFile {
    std::mutex mutex;
    bool loaded = false;
    FileStamp stamp;
    IniFile file;
};

struct FileCache {
    std::mutex mutex;
    std::map<std::string, std::unique_ptr<CachedFile>> files;
};

// The cache lives as long as the process: built in place and never destroyed, so that a use
// late in the exit (a static's destructor, a thread of a program that does not stop its threads)
// never meets a destroyed cache.
FileCache& fileCache() {
    alignas(FileCache) static unsigned char storage[sizeof(FileCache)];
    static FileCache* cache = std::construct_at(reinterpret_cast<FileCache*>(storage));
    return *cache;
}

CachedFile& cachedFile(const std::string& path) {
    FileCache& cache = fileCache();
    std::lock_guard lock(cache.mutex);
    std::unique_ptr<CachedFile>& slot = cache.files[path];
    if (!slot) slot = std::make_unique<CachedFile>();
    return *slot;
}

// Re-reads the file when it changed on disk. False when it exists but cannot be read.
bool refresh(CachedFile& cached, const std::string& path) {
    const std::optional<FileStamp> stamp = statFile(path);
    if (cached.loaded && stamp && *stamp == cached.stamp) return true;
    LoadedIniFile loaded = loadIniFile(path);
    if (loaded.status == LoadStatus::kError) {
        cached.loaded = false;
        return false;
    }
    cached.file = std::move(loaded.file);
    cached.stamp = loaded.stamp;
    cached.loaded = true;
    return true;
}

template <typename Read>
auto readFile(const std::string& path, Read&& read) {
    CachedFile& cached = cachedFile(path);
    std::lock_guard lock(cached.mutex);
    if (!refresh(cached, path)) return read(IniFile{});  // an unreadable file reads as empty
    return read(cached.file);
}

enum class Edit { kUnchanged, kChanged, kFailed };

// Applies edit to a copy of the file and writes it back only when it changed; the cache takes
// the copy only once it is safely on disk.
template <typename EditFn>
bool editFile(const std::string& path, bool createDirectory, EditFn&& edit) {
    CachedFile& cached = cachedFile(path);
    std::lock_guard lock(cached.mutex);
    // Writing over a file we could not read would lose its contents.
    if (!refresh(cached, path)) return false;
    IniFile edited = cached.file;
    const Edit result = edit(edited);
    if (result != Edit::kChanged) return result == Edit::kUnchanged;
    if (!saveIniFile(path, edited, createDirectory)) return false;
    const std::optional<FileStamp> stamp = statFile(path);
    cached.loaded = stamp.has_value();
    if (stamp) {
        cached.file = std::move(edited);
        cached.stamp = *stamp;
    }
    return true;
}

// sscanf "%d"-like: blanks, an optional sign and at least one digit. A number of up to 32 bits
// without sign keeps its bits (4294967295 is -1, as the settings that hold unsigned values, the
// lease time above all, mean it); one beyond that is clamped to the 32-bit limit of its sign.
struct LeadingNumber {
    std::int32_t value = 0;
    bool beyond32Bits = false;
};
std::optional<LeadingNumber> leadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    if (i == text.size() || text[i] < '0' || text[i] > '9') return std::nullopt;
    constexpr std::int64_t kUnsignedLimit = std::int64_t{std::numeric_limits<std::uint32_t>::max()};
    std::int64_t magnitude = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        magnitude = std::min(magnitude * 10 + (text[i] - '0'), kUnsignedLimit + 1);
    }
    constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
    if (negative) {
        if (-magnitude < kMin) return LeadingNumber{static_cast<std::int32_t>(kMin), true};
        return LeadingNumber{static_cast<std::int32_t>(-magnitude), false};
    }
    if (magnitude > kUnsignedLimit) return LeadingNumber{static_cast<std::int32_t>(kMax), true};
    return LeadingNumber{static_cast<std::int32_t>(static_cast<std::uint32_t>(magnitude)), false};
}

// Registry keys of the stand-in: a key is its section plus every section below it.
bool inTree(std::string_view name, std::string_view root) {
    return equalsNoCase(name, root) ||
           (startsWithNoCase(name, root) && name.size() > root.size() && name[root.size()] == '\\');
}

bool keyExists(const IniFile& file, std::string_view key) {
    for (const std::string& name : file.sectionNames()) {
        if (inTree(name, key)) return true;
    }
    return false;
}

bool eraseTree(IniFile& file, std::string_view key) {
    bool changed = false;
    for (const std::string& name : file.sectionNames()) {
        if (inTree(name, key)) changed = file.eraseSection(name) || changed;
    }
    return changed;
}

struct CopiedKey {
    std::string suffix;  // path below the moved key, "" for the key itself
    std::vector<std::string> lines;
};

Edit moveRegistryTree(IniFile& file, std::string_view source, std::string_view target) {
    if (!keyExists(file, source)) return Edit::kFailed;
    if (equalsNoCase(source, target)) {
        bool changed = false;
        for (const std::string& name : file.sectionNames()) {
            if (inTree(name, source)) {
                changed = file.renameSection(name, std::string(target) + name.substr(source.size())) || changed;
            }
        }
        return changed ? Edit::kChanged : Edit::kUnchanged;
    }
    // Deleting the source would take the copy with it.
    if (inTree(target, source)) return Edit::kFailed;

    std::vector<CopiedKey> copies;
    for (const std::string& name : file.sectionNames()) {
        if (!inTree(name, source)) continue;
        const std::string suffix = name.substr(source.size());
        bool seen = false;
        for (const CopiedKey& copy : copies) seen = seen || equalsNoCase(copy.suffix, suffix);
        if (!seen) copies.push_back({suffix, file.rawEntryLines(name)});
    }
    eraseTree(file, source);
    eraseTree(file, target);
    for (const CopiedKey& copy : copies) file.replaceSection(std::string(target) + copy.suffix, copy.lines);
    return Edit::kChanged;
}

}  // namespace

ConfigStore::ConfigStore(std::string registryFile) : registryFile_(std::move(registryFile)) {}

bool ConfigStore::setIniPath(std::string_view directory, std::string_view baseName) {
    std::string path;
    path.reserve(directory.size() + baseName.size() + 4);
    path.append(directory).append(baseName).append(".ini");
    if (path.size() > kMaxIniPath) return false;
    iniPath_ = std::move(path);
    return true;
}

std::string ConfigStore::storeSection(std::string_view section) const {
    if (usesIniFile()) return std::string(section);
    if (equalsNoCase(section, kGeneralSection)) return kGeneralSection;
    std::string name = kGeneralSection;
    name += '\\';
    name += section;
    return name;
}

std::string ConfigStore::readText(std::string_view section, std::string_view key, std::string_view defaultValue,
                                  std::size_t capacity) const {
    std::string text(defaultValue);
    bool stored = false;
    if (IniFile::validSection(section) && IniFile::validKey(key)) {
        const std::string name = storeSection(section);
        std::optional<std::string> value =
            readFile(storeFile(), [&](const IniFile& file) { return file.value(name, key); });
        stored = value.has_value();
        if (value) text = std::move(*value);
    }
    // A value longer than its setting may be is cut: the check says so, since what is left may
    // name another file, profile or database.
    const std::size_t room = capacity == 0 ? 0 : capacity - 1;
    if (stored && text.size() > room && findings_ != nullptr && capacity != std::numeric_limits<std::size_t>::max()) {
        report(FindingLevel::Warning, section, key,
               "is " + std::to_string(text.size()) + " characters long, more than the " + std::to_string(room) +
                   " it may have",
               "the start reads only the first " + std::to_string(room));
    }
    text.resize(std::min(text.size(), room));
    return text;
}

std::int32_t ConfigStore::readInt(std::string_view section, std::string_view key, std::int32_t defaultValue) const {
    // The registry reader goes through a 64-byte text buffer.
    const std::size_t capacity = usesIniFile() ? std::numeric_limits<std::size_t>::max() : 64;
    const std::string text = readText(section, key, "", capacity);
    const std::optional<LeadingNumber> number = leadingNumber(text);
    if (findings_ != nullptr && text.find_first_not_of(" \t") != std::string::npos) {
        char does[96];
        if (!number) {
            std::snprintf(does, sizeof does, "the start uses the default %d", defaultValue);
            report(FindingLevel::Warning, section, key, "\"" + text + "\" is not a number", does);
        } else if (text.find_first_not_of(" \t0123456789+-") != std::string::npos) {
            std::snprintf(does, sizeof does, "the start reads it as %d", number->value);
            report(FindingLevel::Warning, section, key, "\"" + text + "\" is a number followed by other text", does);
        } else if (number->beyond32Bits) {
            std::snprintf(does, sizeof does, "the start reads it as %d", number->value);
            report(FindingLevel::Warning, section, key, "\"" + text + "\" does not fit in 32 bits", does);
        }
    }
    return number ? number->value : defaultValue;
}

void ConfigStore::report(FindingLevel level, std::string_view section, std::string_view key, std::string problem,
                         std::string startDoes) const {
    if (findings_ == nullptr) return;
    Finding finding{
        level, storeFile(), 0, std::string(section), std::string(key), std::move(problem), std::move(startDoes)};
    const std::string name = storeSection(section);
    finding.line = static_cast<unsigned>(
        readFile(storeFile(), [&](const IniFile& file) { return file.lineOf(name, key); }).value_or(0));
    findings_->report(finding);
}

KeyChanges& KeyChanges::text(std::string_view section, std::string_view key, std::optional<std::string_view> text) {
    changes_.push_back(
        {std::string(section), std::string(key), text ? std::optional<std::string>(std::string(*text)) : std::nullopt});
    return *this;
}

KeyChanges& KeyChanges::integer(std::string_view section, std::string_view key, std::int32_t value,
                                std::int32_t defaultValue) {
    if (value == defaultValue) return text(section, key, std::nullopt);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%d", value);
    return text(section, key, std::string_view(digits));
}

bool ConfigStore::storable(const KeyChanges& changes) {
    for (const KeyChanges::Change& change : changes.changes_) {
        if (!IniFile::validSection(change.section) || !IniFile::validKey(change.key)) return false;
        if (change.text && !IniFile::validValue(*change.text)) return false;
    }
    return true;
}

bool ConfigStore::applyTo(IniFile& file, const KeyChanges& changes) const {
    bool changed = false;
    for (const KeyChanges::Change& change : changes.changes_) {
        const std::string name = storeSection(change.section);
        changed =
            (change.text ? file.setValue(name, change.key, *change.text) : file.eraseKey(name, change.key)) || changed;
    }
    return changed;
}

bool ConfigStore::write(const KeyChanges& changes) {
    if (!storable(changes)) return false;
    return editFile(storeFile(), !usesIniFile(),
                    [&](IniFile& file) { return applyTo(file, changes) ? Edit::kChanged : Edit::kUnchanged; });
}

bool ConfigStore::writeText(std::string_view section, std::optional<std::string_view> key,
                            std::optional<std::string_view> text) {
    if (!key) return deleteSection(section);
    return write(KeyChanges().text(section, *key, text));
}

bool ConfigStore::writeInt(std::string_view section, std::string_view key, std::int32_t value,
                           std::int32_t defaultValue) {
    return write(KeyChanges().integer(section, key, value, defaultValue));
}

bool ConfigStore::deleteSection(std::string_view section) {
    if (!IniFile::validSection(section)) return false;
    const std::string name = storeSection(section);
    const bool registry = !usesIniFile();
    return editFile(storeFile(), registry, [&](IniFile& file) {
        const bool changed = registry ? eraseTree(file, name) : file.eraseSection(name);
        return changed ? Edit::kChanged : Edit::kUnchanged;
    });
}

std::optional<std::vector<SectionEntry>> ConfigStore::openSection(std::string_view section) const {
    if (!IniFile::validSection(section)) return std::nullopt;
    const std::string name = storeSection(section);
    const bool registry = !usesIniFile();
    return readFile(storeFile(), [&](const IniFile& file) -> std::optional<std::vector<SectionEntry>> {
        if (registry) {
            if (!keyExists(file, name)) return std::nullopt;
            return file.entries(name).value_or(std::vector<SectionEntry>{});
        }
        std::optional<std::vector<SectionEntry>> entries = file.entries(name, kMaxSectionBytes);
        if (!entries || entries->empty()) return std::nullopt;
        return entries;
    });
}

bool ConfigStore::moveSection(std::string_view source, std::string_view target, const KeyChanges& along) {
    if (!IniFile::validSection(source) || !IniFile::validSection(target) || !storable(along)) return false;
    const std::string from = storeSection(source);
    const std::string to = storeSection(target);
    const bool registry = !usesIniFile();
    return editFile(storeFile(), registry, [&](IniFile& file) {
        Edit moved = Edit::kChanged;
        if (registry) {
            moved = moveRegistryTree(file, from, to);
        } else {
            // The whole section moves, not only what a 32768-byte section read would hold.
            std::vector<std::string> lines = file.rawEntryLines(from);
            if (lines.empty()) {
                moved = Edit::kFailed;
            } else if (equalsNoCase(from, to)) {
                moved = file.renameSection(from, to) ? Edit::kChanged : Edit::kUnchanged;
            } else {
                file.eraseSection(from);
                file.replaceSection(to, lines);
            }
        }
        if (moved == Edit::kFailed) return moved;
        return applyTo(file, along) ? Edit::kChanged : moved;
    });
}

}  // namespace tolmark
