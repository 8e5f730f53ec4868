#include "server/tftp/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "platform/files.h"

namespace tolmark::tftp {
namespace {

constexpr unsigned kCodeNotFound = 1;
constexpr unsigned kCodeAccess = 2;
constexpr unsigned kCodeDiskFull = 3;
constexpr unsigned kCodeExists = 6;

OpenResult failure(unsigned code, ErrorText text) {
    OpenResult result;
    result.code = code;
    result.text = text;
    return result;
}

// A refusal for an errno of an open: a missing file, or one that leads out of its place.
OpenResult openFailure(int error) {
    if (error == EXDEV || error == ELOOP || error == EACCES || error == EPERM)
        return failure(kCodeAccess, ErrorText::AccessDenied);
    return failure(kCodeNotFound, ErrorText::FileNotFound);
}

// The directory a path is opened below and the name below it. A prefix item may end in the
// middle of a name ("/srv/boot" matches "/srv/bootfiles/x"), so its own directory is the base.
std::pair<std::string, std::string> baseAndName(const ResolvedPath& path) {
    if (!path.underPrefix) return {path.root, path.relative};
    const std::size_t slash = path.root.rfind('/');
    const std::string base = path.root.substr(0, slash + 1);
    return {base, path.full.substr(base.size())};
}

// What was opened below a prefix must lie under that prefix once every link is resolved.
bool withinPrefix(int fd, const std::string& item) {
    const std::string resolved = platform::resolvedPath(fd);
    if (resolved.empty()) return false;
    // Names match an item as text, so the resolved path may too; or it lies below the item's
    // own resolved directory.
    if (resolved.compare(0, item.size(), item) == 0) return true;
    char real[PATH_MAX];
    if (::realpath(item.c_str(), real) == nullptr) return false;
    const std::string realItem(real);
    return resolved.compare(0, realItem.size(), realItem) == 0 &&
           (resolved.size() == realItem.size() || resolved[realItem.size()] == '/');
}

int openConfined(const ResolvedPath& path, const std::string& name, int flags) {
    const auto [base, unused] = baseAndName(path);
    (void)unused;
    platform::FileDescriptor fd(platform::openBelow(base, name, flags));
    if (!fd.valid()) return -1;
    if (path.underPrefix && !withinPrefix(fd.get(), path.root)) {
        errno = EACCES;
        return -1;
    }
    return fd.release();
}

}  // namespace

std::shared_ptr<const FileMapping> MappingCache::find(const std::string& path) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.expired()) {
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    const auto it = entries_.find(path);
    return it == entries_.end() ? nullptr : it->second.lock();
}

void MappingCache::remember(const std::string& path, std::shared_ptr<const FileMapping> mapping) {
    entries_[path] = mapping;
}

OpenResult openForReading(const ResolvedPath& path, const ReadPolicy& policy, MappingCache& mappings) {
    if (policy.wantMapping && !policy.textMode) {
        if (std::shared_ptr<const FileMapping> shared = mappings.find(path.full)) {
            OpenResult result;
            result.ok = true;
            result.size = shared->size();
            result.mapping = std::move(shared);
            return result;
        }
    }
    const std::string name = baseAndName(path).second;
    platform::FileDescriptor fd(openConfined(path, name, O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return openFailure(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return failure(kCodeNotFound, ErrorText::FileNotFound);

    OpenResult result;
    result.ok = true;
    result.size = static_cast<std::uint64_t>(st.st_size);
    if (policy.wantMapping && !policy.textMode && result.size != 0 && result.size <= policy.mappingMax) {
        if (std::shared_ptr<const FileMapping> mapping = FileMapping::map(fd.get(), result.size)) {
            mappings.remember(path.full, mapping);
            result.mapping = std::move(mapping);
            return result;  // the mapping keeps the file's pages; the descriptor is not needed
        }
    }
    if (policy.textMode) {
        NetasciiFileReader reader(fd.get());
        const long long converted = reader.convertedSize();
        if (converted < 0) return failure(kCodeNotFound, ErrorText::FileNotFound);
        result.size = static_cast<std::uint64_t>(converted);
    }
    result.file = std::move(fd);
    return result;
}

OpenResult openForWriting(const ResolvedPath& path, bool overwrite) {
    const std::string name = baseAndName(path).second;
    const std::size_t slash = name.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : name.substr(0, slash + 1);
    const std::string leaf = slash == std::string::npos ? name : name.substr(slash + 1);
    if (leaf.empty()) return failure(kCodeDiskFull, ErrorText::CreateFailed);
    platform::FileDescriptor dir(openConfined(path, directory, O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return errno == ENOENT ? failure(kCodeDiskFull, ErrorText::CreateFailed) : openFailure(errno);
    // Replacing unlinks the old file first: a transfer still reading it through a mapping keeps
    // its pages instead of seeing the file cut short under it.
    if (overwrite) ::unlinkat(dir.get(), leaf.c_str(), 0);
    platform::FileDescriptor fd(
        platform::openBelowAt(dir.get(), leaf, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC));
    if (!fd.valid()) {
        if (errno == EEXIST) return failure(kCodeExists, ErrorText::FileExists);
        return failure(kCodeDiskFull, ErrorText::CreateFailed);
    }
    OpenResult result;
    result.ok = true;
    result.file = std::move(fd);
    return result;
}

MappedSource::MappedSource(std::shared_ptr<const FileMapping> mapping, std::size_t blockSize)
    : mapping_(std::move(mapping)), blockSize_(blockSize) {}

std::optional<std::span<const std::uint8_t>> MappedSource::block(std::uint64_t index) {
    const std::span<const std::uint8_t> bytes = mapping_->bytes();
    const std::uint64_t start = (index - 1) * blockSize_;
    if (start >= bytes.size()) return std::span<const std::uint8_t>();
    const std::uint64_t length = std::min<std::uint64_t>(blockSize_, bytes.size() - start);
    return bytes.subspan(start, length);
}

FileSource::FileSource(int fd, std::size_t blockSize, std::size_t window, bool textMode)
    : fd_(fd),
      blockSize_(blockSize),
      window_(window == 0 ? 1 : window),
      textMode_(textMode),
      ring_(blockSize_ * window_),
      tags_(window_, 0),
      lengths_(window_, 0),
      text_(fd) {}

bool FileSource::readText(std::uint64_t index, std::span<std::uint8_t> out, std::size_t& length) {
    // The converted stream can only be read front to back: going back means reading it again.
    if (index < nextText_) {
        text_.rewind();
        nextText_ = 1;
    }
    for (;;) {
        const long n = text_.read(out);
        if (n < 0) return false;
        if (nextText_++ == index) {
            length = static_cast<std::size_t>(n);
            return true;
        }
    }
}

std::optional<std::span<const std::uint8_t>> FileSource::block(std::uint64_t index) {
    const std::size_t slot = index % window_;
    std::uint8_t* data = ring_.data() + slot * blockSize_;
    if (tags_[slot] == index) return std::span<const std::uint8_t>(data, lengths_[slot]);
    std::size_t length = 0;
    if (textMode_) {
        if (!readText(index, std::span<std::uint8_t>(data, blockSize_), length)) return std::nullopt;
    } else {
        const off_t offset = static_cast<off_t>((index - 1) * blockSize_);
        while (length < blockSize_) {
            const ssize_t n = ::pread(fd_, data + length, blockSize_ - length, offset + static_cast<off_t>(length));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) return std::nullopt;
            if (n == 0) break;
            length += static_cast<std::size_t>(n);
        }
    }
    tags_[slot] = index;
    lengths_[slot] = length;
    return std::span<const std::uint8_t>(data, length);
}

FileSink::FileSink(int fd, bool textMode) : fd_(fd), textMode_(textMode) {}

bool FileSink::writeAll(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(fd_, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool FileSink::write(std::span<const std::uint8_t> data) {
    if (!textMode_) return writeAll(data);
    decoder_.convert(data, converted_);
    return writeAll(converted_);
}

bool FileSink::finish() {
    if (textMode_) {
        decoder_.finish(converted_);
        if (!writeAll(converted_)) return false;
    }
    return true;
}

}  // namespace tolmark::tftp
