#include "server/tftp/confined_path.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <optional>

namespace tolmark::tftp {
namespace {

// Links followed in one resolution before it is given up as a loop.
constexpr int kMaxLinks = 40;

void appendComponents(std::string_view text, std::deque<std::string>& out, bool front) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t slash = text.find('/', start);
        if (slash == std::string_view::npos) slash = text.size();
        const std::string_view part = text.substr(start, slash - start);
        if (!part.empty() && part != ".") parts.emplace_back(part);
        start = slash + 1;
    }
    if (front) {
        out.insert(out.begin(), parts.begin(), parts.end());
    } else {
        out.insert(out.end(), parts.begin(), parts.end());
    }
}

std::string withSlash(std::string text) {
    if (text.empty() || text.back() != '/') text += '/';
    return text;
}

// The rest of an absolute link target below the base, or nothing when it lies elsewhere.
std::optional<std::string> belowBase(const ConfinedBase& base, const std::string& target) {
    const std::string asDirectory = withSlash(target);
    for (const std::string& form : base.absoluteForms) {
        if (asDirectory.compare(0, form.size(), form) == 0) return asDirectory.substr(form.size());
    }
    return std::nullopt;
}

std::optional<std::string> readLink(int directory, const std::string& name) {
    char target[PATH_MAX];
    const ssize_t n = ::readlinkat(directory, name.c_str(), target, sizeof target);
    if (n <= 0 || static_cast<std::size_t>(n) >= sizeof target) return std::nullopt;
    return std::string(target, static_cast<std::size_t>(n));
}

// A name whose last part is empty or "." ("boot/", "a.bin/.") names a directory: it is never
// read or written as the file before its slash.
bool namesDirectory(std::string_view name) {
    const std::size_t slash = name.rfind('/');
    const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
    return last.empty() || last == ".";
}

ConfinedName failed(int error) {
    ConfinedName result;
    result.error = error;
    return result;
}

}  // namespace

ConfinedBase confinedBase(const std::string& directory) {
    ConfinedBase base;
    base.directory = withSlash(directory);
    base.absoluteForms.push_back(base.directory);
    char real[PATH_MAX];
    if (::realpath(base.directory.c_str(), real) != nullptr) {
        const std::string resolved = withSlash(real);
        if (resolved != base.directory) base.absoluteForms.push_back(resolved);
    }
    return base;
}

ConfinedName resolveBelow(const ConfinedBase& base, std::string_view name, bool parentOnly) {
    if (namesDirectory(name)) return failed(EISDIR);
    platform::FileDescriptor root(::open(base.directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!root) return failed(errno);
    // The directories walked into below the base, and their names.
    std::vector<platform::FileDescriptor> directories;
    std::vector<std::string> names;
    auto current = [&] { return directories.empty() ? root.get() : directories.back().get(); };

    std::deque<std::string> pending;
    appendComponents(name, pending, false);
    ConfinedName result;
    int links = 0;
    while (!pending.empty()) {
        std::string component = std::move(pending.front());
        pending.pop_front();
        if (component == "..") {
            // Only a link's target can say "..": up to the base, never above it.
            if (directories.empty()) return failed(EXDEV);
            directories.pop_back();
            names.pop_back();
            continue;
        }
        const bool last = pending.empty();
        if (last && parentOnly) {
            result.leaf = std::move(component);
            struct stat status {};
            if (::fstatat(current(), result.leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
                !S_ISLNK(status.st_mode)) {
                result.exists = true;
                result.leafStatus = status;
            }
            break;
        }
        platform::FileDescriptor fd(::openat(current(), component.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!fd) return failed(errno);
        struct stat status {};
        if (::fstat(fd.get(), &status) != 0) return failed(errno);
        if (S_ISLNK(status.st_mode)) {
            if (++links > kMaxLinks) return failed(ELOOP);
            const std::optional<std::string> target = readLink(current(), component);
            if (!target) return failed(ENOENT);
            std::string rest = *target;
            if (rest.front() == '/') {
                const std::optional<std::string> below = belowBase(base, rest);
                if (!below) return failed(EXDEV);
                directories.clear();
                names.clear();
                rest = *below;
            }
            appendComponents(rest, pending, true);
            if (pending.empty()) return failed(EISDIR);  // a link to the base itself
            continue;
        }
        if (S_ISDIR(status.st_mode)) {
            if (last) return failed(EISDIR);
            directories.push_back(std::move(fd));
            names.push_back(std::move(component));
            continue;
        }
        if (!last) return failed(ENOTDIR);
        result.leaf = std::move(component);
        result.exists = true;
        result.leafStatus = status;
    }
    if (result.leaf.empty()) return failed(EISDIR);
    result.location = base.directory;
    for (const std::string& n : names) result.location += n + "/";
    result.location += result.leaf;
    result.directory = directories.empty() ? std::move(root) : std::move(directories.back());
    return result;
}

int openResolvedForReading(const ConfinedName& resolved) {
    if (!resolved.exists || !S_ISREG(resolved.leafStatus.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    // Without blocking, whatever may have been put in the file's place since it was looked at;
    // what was opened must be the file that was resolved.
    platform::FileDescriptor fd(::openat(resolved.directory.get(), resolved.leaf.c_str(),
                                         O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!fd) return -1;
    struct stat status {};
    if (::fstat(fd.get(), &status) != 0) return -1;
    if (!S_ISREG(status.st_mode) || status.st_dev != resolved.leafStatus.st_dev ||
        status.st_ino != resolved.leafStatus.st_ino) {
        errno = EINVAL;
        return -1;
    }
    return fd.release();
}

}  // namespace tolmark::tftp
