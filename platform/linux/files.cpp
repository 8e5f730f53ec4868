#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <filesystem>

#include "base/file_descriptor.h"
#include "platform/files.h"

namespace tolmark::platform {

int openBelow(const std::string& directory, std::string_view name, int flags) {
    FileDescriptor dir(::open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return -1;
    return openBelowAt(dir.get(), name, flags);
}

int openBelowAt(int directoryFd, std::string_view name, int flags) {
    const std::string relative(name);
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags);
    how.mode = (flags & O_CREAT) != 0 ? 0644 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, directoryFd, relative.c_str(), &how, sizeof how);
    // Kernels older than 5.6 have no openat2: a final symbolic link is still refused there.
    if (fd < 0 && errno == ENOSYS) fd = ::openat(directoryFd, relative.c_str(), flags | O_NOFOLLOW, 0644);
    return static_cast<int>(fd);
}

std::string resolvedPath(int fd) {
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    const ssize_t n = ::readlink(link, target, sizeof target - 1);
    if (n <= 0) return {};
    return std::string(target, static_cast<std::size_t>(n));
}

bool directoryWritable(const std::string& directory) {
    return ::faccessat(AT_FDCWD, directory.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool readableOrMissing(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), R_OK, AT_EACCESS) == 0 || errno == ENOENT;
}

FileDescriptor createReplacement(const std::string& temporary, const std::string& path) {
    ::unlink(temporary.c_str());
    FileDescriptor fd(::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
    struct stat old {};
    if (fd && ::stat(path.c_str(), &old) == 0) takeOwnerAndMode(fd.get(), old, 07777);
    return fd;
}

void takeOwnerAndMode(int fd, const struct stat& old, mode_t modeBits) {
    // Where the owner cannot be kept (a writer that is not root), the group still may be.
    if ((old.st_uid != ::geteuid() || old.st_gid != ::getegid()) && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    (void)::fchmod(fd, old.st_mode & modeBits);
}

std::optional<std::string> linkTarget(const std::string& path) {
    namespace fs = std::filesystem;
    fs::path target = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code error;
        struct stat info {};
        if (::lstat(target.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return target.string();
        if (info.st_uid != 0 && info.st_uid != ::geteuid()) return target.string();
        const fs::path link = fs::read_symlink(target, error);
        if (error) {
            errno = error.value();
            return std::nullopt;
        }
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    errno = ELOOP;
    return std::nullopt;
}

void raiseOpenFileLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace tolmark::platform
