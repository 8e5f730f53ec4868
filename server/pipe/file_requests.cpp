// Listing, reading and writing files of the log directory for the manager's log viewer.
// Names are joined to the log directory only when they stay inside it; a name that would lead
// out is answered as a file that does not exist.

#include "server/pipe/file_requests.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cstring>

#include "base/file_descriptor.h"
#include "common/pipe_requests.h"
#include "config/ini_file.h"
#include "platform/files.h"
#include "platform/paths.h"
#include "server/pipe/request_parts.h"

namespace tolmark {

bool isConfinedName(std::string_view name) {
    if (name.empty() || name.front() == '/') return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t end = std::min(name.find('/', start), name.size());
        const std::string_view part = name.substr(start, end - start);
        if (part.empty() || part == "..") return false;
        start = end + 1;
    }
    return true;
}

FileSearchEntry fileSearchEntryFromStat(const struct stat& status, std::string_view name) {
    FileSearchEntry entry;
    entry.attributes = S_ISDIR(status.st_mode) ? kFileAttributeDirectory : kFileAttributeNormal;
    // Linux keeps no creation time in stat; the last status change stands in for it.
    entry.creationTime = fileTimeFromUnix(status.st_ctim.tv_sec, status.st_ctim.tv_nsec);
    entry.lastAccessTime = fileTimeFromUnix(status.st_atim.tv_sec, status.st_atim.tv_nsec);
    entry.lastWriteTime = fileTimeFromUnix(status.st_mtim.tv_sec, status.st_mtim.tv_nsec);
    entry.size = static_cast<std::uint64_t>(status.st_size);
    entry.name = std::string(name);
    return entry;
}

std::optional<int> openFlagsForMode(std::string_view mode) {
    if (mode.empty()) return std::nullopt;
    bool plus = false;
    for (char c : mode.substr(1)) {
        if (c == '+')
            plus = true;
        else if (c != 'b' && c != 't')
            return std::nullopt;
    }
    switch (mode.front()) {
        case 'r':
            return plus ? O_RDWR : O_RDONLY;
        case 'w':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_TRUNC;
        case 'a':
            return (plus ? O_RDWR : O_WRONLY) | O_CREAT | O_APPEND;
        default:
            return std::nullopt;
    }
}

std::optional<DirectorySearch> openSearch(const std::string& directory, std::string_view pattern) {
    if (directory.empty() || !isConfinedName(pattern)) return std::nullopt;
    const std::size_t slash = pattern.rfind('/');
    const std::string_view subdirectory =
        slash == std::string_view::npos ? std::string_view() : pattern.substr(0, slash + 1);
    std::string last(slash == std::string_view::npos ? pattern : pattern.substr(slash + 1));
    // "*.*" matches every name, with or without a dot, as the log viewer expects.
    if (last == "*.*") last = "*";
    // The directory is opened the way files are: below the log directory, through no
    // symbolic link that leads out of it.
    platform::FileDescriptor fd(platform::openBelow(
        directory, subdirectory.empty() ? std::string_view(".") : subdirectory, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    DirectorySearch search;
    search.dir.reset(::fdopendir(fd.get()));
    if (!search.dir) return std::nullopt;
    fd.release();
    search.pattern = std::move(last);
    return search;
}

std::optional<FileSearchEntry> nextMatch(DirectorySearch& search) {
    while (const dirent* entry = ::readdir(search.dir.get())) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
        if (::fnmatch(search.pattern.c_str(), name, FNM_NOESCAPE) != 0) continue;
        struct stat status {};
        // A symbolic link is listed as itself: what it points to may lie outside.
        if (::fstatat(::dirfd(search.dir.get()), name, &status, AT_SYMLINK_NOFOLLOW) != 0) continue;
        return fileSearchEntryFromStat(status, name);
    }
    return std::nullopt;
}

std::unique_ptr<std::FILE, FileCloser> openConfinedFile(const std::string& directory, std::string_view name,
                                                        std::string_view mode) {
    const std::optional<int> flags = openFlagsForMode(mode);
    if (directory.empty() || !flags || !isConfinedName(name)) return nullptr;
    // Opened without blocking and checked after the open, on the open file: a FIFO or device
    // put in the log directory can neither hang the pipe nor be read through it.
    platform::FileDescriptor fd(platform::openBelow(directory, name, *flags | O_CLOEXEC | O_NOCTTY | O_NONBLOCK));
    if (!fd.valid()) return nullptr;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0 || !S_ISREG(status.st_mode)) return nullptr;
    ::fcntl(fd.get(), F_SETFL, *flags & O_APPEND);
    const std::string cMode = std::string(1, mode.front()) + ((*flags & O_RDWR) != 0 ? "+" : "");
    std::FILE* file = ::fdopen(fd.get(), cMode.c_str());
    if (file == nullptr) return nullptr;
    fd.release();
    return std::unique_ptr<std::FILE, FileCloser>(file);
}

std::string readLinePiece(std::FILE* file, std::size_t maxChars) {
    std::string line;
    while (line.size() < maxChars) {
        const int c = std::fgetc(file);
        if (c == EOF) break;
        line.push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return line;
}

bool isLogFileName(std::string_view name) {
    constexpr std::string_view kSuffix = ".log";
    return name.size() > kSuffix.size() && equalsNoCase(name.substr(name.size() - kSuffix.size()), kSuffix);
}

namespace pipe_requests {

namespace {

std::string logDirectory(FileAccess& context) {
    return platform::directoryWithSeparator(context.logDirectory ? context.logDirectory() : std::string());
}

}  // namespace

PipeMessage fileFindFirst(FileRequest& request) {
    const std::optional<std::string_view> pattern = decodeFileFindFirst(request.bytes);
    if (!pattern) return sizeCheckFailed(request);
    std::optional<DirectorySearch> search = openSearch(logDirectory(request.context), *pattern);
    if (!search) return valueReply(0);
    const std::optional<FileSearchEntry> first = nextMatch(*search);
    if (!first) return valueReply(0);
    const PipeHandle handle = request.session.addSearch(std::move(*search));
    if (handle == 0) return valueReply(0);
    return encodeSearchReply(1, handle, *first);
}

PipeMessage fileFindNext(FileRequest& request) {
    const std::optional<PipeHandle> handle = decodeRequestHandle(request.bytes);
    if (!handle) return sizeCheckFailed(request);
    DirectorySearch* search = request.session.handles.searches.find(*handle);
    if (search == nullptr) return valueReply(0);
    const std::optional<FileSearchEntry> next = nextMatch(*search);
    if (!next) return valueReply(0);
    return encodeSearchReply(1, *handle, *next);
}

PipeMessage fileFindClose(FileRequest& request) {
    const std::optional<PipeHandle> handle = decodeRequestHandle(request.bytes);
    if (!handle) return sizeCheckFailed(request);
    return valueReply(request.session.closeSearch(*handle) ? 1 : 0);
}

PipeMessage fileOpen(FileRequest& request) {
    const std::optional<FileOpenRequest> open = decodeFileOpen(request.bytes);
    if (!open) return sizeCheckFailed(request);
    const std::string_view name = open->name;
    const std::string_view mode = open->mode;
    // Reading only: "r+" opens the file for writing as well.
    if ((mode.empty() || mode.front() != 'r' || mode.find('+') != std::string_view::npos) && !request.session.mayWrite)
        return statusReply(kPipeRefused);
    // A peer that may change nothing (another local user, a remote peer) reads log files only:
    // the log directory is the data directory unless set otherwise, and the configuration there
    // (the lease database's connection string may hold a password) and the client files are
    // kept from other users.
    if (!request.session.mayWrite && !isLogFileName(name)) return statusReply(kPipeRefused);
    FileAccess& context = request.context;
    // A reader of the log file sees every line written so far.
    if (context.flushLog) context.flushLog();
    auto file = openConfinedFile(logDirectory(context), name, mode);
    if (!file) return encodeHandleReply(0);
    return encodeHandleReply(request.session.addFile(std::move(file)));
}

PipeMessage fileClose(FileRequest& request) {
    const std::optional<PipeHandle> handle = decodeRequestHandle(request.bytes);
    if (!handle) return sizeCheckFailed(request);
    // Value 0 is success here, and also what a handle that names nothing gets.
    request.session.closeFile(*handle);
    return valueReply(0);
}

PipeMessage fileReadLine(FileRequest& request) {
    const std::optional<PipeHandle> handle = decodeRequestHandle(request.bytes);
    if (!handle) return sizeCheckFailed(request);
    auto* file = request.session.handles.files.find(*handle);
    if (file == nullptr) return valueReply(0);
    // The end of a log file is only where the server has written to so far: a reader that
    // comes back after more lines were written gets them (the C library keeps the end once
    // seen until it is cleared).
    std::clearerr(file->get());
    const std::string line = readLinePiece(file->get(), kPipeLineMax);
    if (line.empty()) return valueReply(0);
    return encodeLineReply(line);
}

PipeMessage fileWrite(FileRequest& request) {
    const std::optional<FileWriteRequest> write = decodeFileWrite(request.bytes);
    if (!write) return sizeCheckFailed(request);
    auto* file = request.session.handles.files.find(write->handle);
    if (file == nullptr) return valueReply(0);
    std::size_t written = std::fwrite(write->data.data(), 1, write->data.size(), file->get());
    // Bytes that stayed in the library's buffer were not written: how many of them reached the
    // file is not known, so the write counts as failed.
    if (std::fflush(file->get()) != 0) written = 0;
    return valueReply(static_cast<std::int32_t>(written));
}

}  // namespace pipe_requests

}  // namespace tolmark
