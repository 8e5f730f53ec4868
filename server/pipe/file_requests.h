#pragma once
// Directory searches and files that a pipe client opens in the log directory. They belong to
// the connection that opened them and are closed when it ends, so a client that disappears
// leaves nothing open behind it.

#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/pipe_protocol.h"
#include "server/pipe/handle_table.h"

namespace tolmark {

// How many searches and files one connection may hold open at once.
inline constexpr std::size_t kMaxSearchesPerConnection = 16;
inline constexpr std::size_t kMaxFilesPerConnection = 16;

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

struct DirectorySearch {
    std::unique_ptr<DIR, DirCloser> dir;
    std::string pattern;  // the last part of the client's pattern
};

struct FileHandles {
    HandleTable<DirectorySearch, kMaxSearchesPerConnection> searches;
    HandleTable<std::unique_ptr<std::FILE, FileCloser>, kMaxFilesPerConnection> files;
};

// True for a relative name that stays inside the directory it is joined to: not empty, not
// beginning with "/", no part equal to "..", no empty part.
bool isConfinedName(std::string_view name);

// True for a name that ends in ".log" (any case): what a peer that may change nothing may open.
bool isLogFileName(std::string_view name);

FileSearchEntry fileSearchEntryFromStat(const struct stat& status, std::string_view name);

// Open flags for a C library mode text ("r", "w+", "ab", ...); nullopt for anything else.
std::optional<int> openFlagsForMode(std::string_view mode);

// Starts a search of directory + pattern: the next matching entry is returned by nextMatch.
std::optional<DirectorySearch> openSearch(const std::string& directory, std::string_view pattern);
std::optional<FileSearchEntry> nextMatch(DirectorySearch& search);

// Opens directory + name in the mode; only regular files are opened.
std::unique_ptr<std::FILE, FileCloser> openConfinedFile(const std::string& directory, std::string_view name,
                                                        std::string_view mode);

// One line of at most maxChars characters, up to and including its "\n"; empty at the end.
std::string readLinePiece(std::FILE* file, std::size_t maxChars);

}  // namespace tolmark
