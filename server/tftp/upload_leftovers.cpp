#include "server/tftp/upload_leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <memory>

#include "base/file_descriptor.h"

namespace tolmark::tftp {
namespace {

constexpr std::string_view kWorkingSuffix = ".upload";
// Directories remembered as swept; past this the memory starts over (a directory swept again
// costs one read of it, and a running upload's file is never taken for a leftover).
constexpr std::size_t kMaxSwept = 4096;
// File times come from a coarse clock: a file made just after the run started may look a little
// older than the start.
constexpr std::time_t kStartMargin = 2;
// Where a lock may not be seen, a working file that changed within this time may be another
// host's running upload, silent while it waits for its client.
constexpr std::time_t kUnheldStaleSeconds = 3600;

// File systems shared over the network, whose locks may stay on the host that took them
// (NFS mounted with nolock, CIFS with nobrl, 9p, FUSE).
bool locksMayStayOnOneHost(int directoryFd) {
    constexpr std::uint32_t kNetworkFileSystems[] = {0x6969, 0x517B, 0xFF534D42, 0xFE534D42, 0x01021997, 0x65735546};
    struct statfs info {};
    if (::fstatfs(directoryFd, &info) != 0) return true;
    const auto type = static_cast<std::uint32_t>(info.f_type);
    return std::find(std::begin(kNetworkFileSystems), std::end(kNetworkFileSystems), type) !=
           std::end(kNetworkFileSystems);
}

// Digits only, as a number that fits; nothing otherwise.
std::optional<std::uint64_t> number(std::string_view text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    return value;
}

std::string commandName(const std::string& procFile) {
    platform::FileDescriptor fd(::open(procFile.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    char text[64];
    const ssize_t n = ::read(fd.get(), text, sizeof text);
    if (n <= 0) return {};
    std::string name(text, static_cast<std::size_t>(n));
    if (name.back() == '\n') name.pop_back();
    return name;
}

bool sameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Removes a leftover unless an upload still holds it: true when removed. The file is opened
// without following a link or waiting on a FIFO and locked without waiting; the lock is held
// until it is gone, so that no upload can take the file meanwhile. NFS (version 4) lends an
// exclusive lock only to a descriptor open for writing, and a working file may have taken the
// mode of the file it replaces (without read access). Where the lock proves nothing (the file
// system has none, or another host's lock is not seen here), only a file that has not changed
// for long is taken.
bool removeUnheld(int directoryFd, const char* name, const struct stat& seen, bool locksSeen) {
    const int flags = O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
    platform::FileDescriptor fd(::openat(directoryFd, name, O_RDONLY | flags));
    int locked = fd ? ::flock(fd.get(), LOCK_EX | LOCK_NB) : -1;
    if ((!fd && errno == EACCES) || (fd && locked != 0 && errno == EBADF)) {
        fd = platform::FileDescriptor(::openat(directoryFd, name, O_WRONLY | flags));
        locked = fd ? ::flock(fd.get(), LOCK_EX | LOCK_NB) : -1;
    }
    if (!fd || (locked != 0 && errno == EWOULDBLOCK)) return false;
    struct stat opened {};
    if (::fstat(fd.get(), &opened) != 0 || !sameFile(opened, seen)) return false;
    if (locked != 0 || !locksSeen) {
        // Every block an upload stores changes the file's data.
        if (opened.st_mtim.tv_sec + kUnheldStaleSeconds > std::time(nullptr)) return false;
    }
    return ::unlinkat(directoryFd, name, 0) == 0;
}

struct DirectoryCloser {
    void operator()(DIR* directory) const { ::closedir(directory); }
};

}  // namespace

std::string uploadWorkingName(std::string_view leaf, pid_t pid, std::uint32_t counter) {
    char suffix[48];
    std::snprintf(suffix, sizeof suffix, ".%d.%u", static_cast<int>(pid), counter);
    std::string name = ".";
    name.append(leaf.substr(0, kWorkingLeafChars));
    name.append(suffix);
    name.append(kWorkingSuffix);
    return name;
}

std::optional<pid_t> uploadWorkingPid(std::string_view name) {
    if (name.size() < 2 || name.front() != '.' || !name.ends_with(kWorkingSuffix)) return std::nullopt;
    name.remove_suffix(kWorkingSuffix.size());
    const std::size_t counterDot = name.rfind('.');
    if (counterDot == std::string_view::npos || !number(name.substr(counterDot + 1))) return std::nullopt;
    name = name.substr(0, counterDot);
    const std::size_t pidDot = name.rfind('.');
    // At least one character of the target's name between the first dot and the process number.
    if (pidDot == std::string_view::npos || pidDot < 2) return std::nullopt;
    const std::optional<std::uint64_t> pid = number(name.substr(pidDot + 1));
    if (!pid || *pid == 0 || *pid > 0x7fffffff) return std::nullopt;
    return static_cast<pid_t>(*pid);
}

bool holdWorkingFile(int directoryFd, const std::string& name, int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return errno != EWOULDBLOCK;
    struct stat opened {};
    struct stat named {};
    return ::fstat(fd, &opened) == 0 && ::fstatat(directoryFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           sameFile(opened, named);
}

UploadLeftovers::UploadLeftovers(LogSink& log, WorkingFileLocks locks)
    : log_(log),
      locks_(locks),
      self_(::getpid()),
      program_(commandName("/proc/self/comm")),
      started_(std::time(nullptr)) {}

bool UploadLeftovers::sameProgramRuns(pid_t pid) const {
    const std::string process = "/proc/" + std::to_string(pid);
    if (::access(process.c_str(), F_OK) != 0) return errno != ENOENT;  // cannot tell: it may run
    const std::string name = commandName(process + "/comm");
    // A process whose name cannot be read may be one of this program's.
    return name.empty() || name == program_;
}

bool UploadLeftovers::leftOver(int directoryFd, const char* name, pid_t writer, struct stat& status) const {
    if (::fstatat(directoryFd, name, &status, AT_SYMLINK_NOFOLLOW) != 0) return false;
    if (!S_ISREG(status.st_mode) || status.st_uid != ::geteuid()) return false;
    if (writer == self_) return status.st_ctim.tv_sec + kStartMargin < started_;
    return !sameProgramRuns(writer);
}

void UploadLeftovers::sweepOnce(int directoryFd, const std::string& location) {
    struct stat status {};
    if (::fstat(directoryFd, &status) != 0) return;
    if (swept_.size() >= kMaxSwept) swept_.clear();
    if (!swept_.insert({status.st_dev, status.st_ino}).second) return;
    // A descriptor of its own to read the directory with: the one given may be a path only.
    const int readable = ::openat(directoryFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (readable < 0) return;
    const std::unique_ptr<DIR, DirectoryCloser> directory(::fdopendir(readable));
    if (!directory) {
        ::close(readable);
        return;
    }
    const bool locksSeen = locks_ == WorkingFileLocks::ByFileSystem && !locksMayStayOnOneHost(readable);
    while (const dirent* entry = ::readdir(directory.get())) {
        const std::optional<pid_t> writer = uploadWorkingPid(entry->d_name);
        struct stat seen {};
        if (!writer || !leftOver(readable, entry->d_name, *writer, seen)) continue;
        if (removeUnheld(readable, entry->d_name, seen, locksSeen))
            log_.line(1, false, "TFTP  Removed %s%s, left by an upload that never ended\n", location.c_str(),
                      entry->d_name);
    }
}

}  // namespace tolmark::tftp
