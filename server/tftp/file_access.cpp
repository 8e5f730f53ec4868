#include "server/tftp/file_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/files.h"
#include "server/tftp/confined_path.h"

namespace tolmark::tftp {
namespace {

constexpr unsigned kCodeNotFound = 1;
constexpr unsigned kCodeAccess = 2;
constexpr unsigned kCodeDiskFull = 3;
constexpr unsigned kCodeExists = 6;

bool permissionError(int error) { return error == EACCES || error == EPERM || error == EROFS; }

// A refusal for the errno of a resolution or an open: a missing file (or one that is no regular
// file), or a name that leads out of its place or that the server may not read. A file that is
// there but not readable by the server's user is an access violation, not a missing file, so
// that the log tells the administrator to look at its permissions.
OpenResult resolveFailure(int error) {
    if (error == EXDEV || error == ELOOP || permissionError(error))
        return openFailed(kCodeAccess, ErrorText::AccessDenied);
    return openFailed(kCodeNotFound, ErrorText::FileNotFound);
}

// The directory a path is resolved below and the name below it. A prefix item may end in the
// middle of a name ("/srv/boot" matches "/srv/bootfiles/x"), so its own directory is the base,
// and what the name leads to must still begin with the item.
std::pair<std::string, std::string> baseAndName(const ResolvedPath& path) {
    if (!path.underPrefix) return {path.root, path.relative};
    const std::size_t slash = path.root.rfind('/');
    const std::string base = path.root.substr(0, slash + 1);
    return {base, path.full.substr(base.size())};
}

// The name resolved below its base; refusals as open results.
std::optional<OpenResult> resolveConfined(const ResolvedPath& path, bool parentOnly, const ServerFileGuard& guard,
                                          ConfinedName& resolved) {
    const auto [base, name] = baseAndName(path);
    resolved = resolveBelow(confinedBase(base), name, parentOnly);
    if (resolved.error != 0) return resolveFailure(resolved.error);
    if (path.underPrefix && resolved.location.compare(0, path.root.size(), path.root) != 0)
        return openFailed(kCodeAccess, ErrorText::AccessDenied);
    if (guard.protects(resolved.directory.get(), resolved.leaf, resolved.exists ? &resolved.leafStatus : nullptr) ||
        uploadWorkingPid(resolved.leaf))
        return openFailed(kCodeAccess, ErrorText::AccessDenied);
    return std::nullopt;
}

// A new file of a name nobody else uses, beside the target, locked for the upload (a server in
// another container on the same directory may carry the same process number).
platform::FileDescriptor createTemporary(int directory, const std::string& leaf, std::string& name) {
    static std::atomic<std::uint32_t> counter{0};
    for (int attempt = 0; attempt < 100; ++attempt) {
        name = uploadWorkingName(leaf, ::getpid(), counter.fetch_add(1));
        platform::FileDescriptor fd(
            ::openat(directory, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        if (!fd && errno != EEXIST) return fd;
        if (fd && holdWorkingFile(directory, name, fd.get())) return fd;
    }
    errno = EEXIST;
    return {};
}

// A new file may be read by those who may reach it through its directory: in a root open to all,
// as the boot files beside it are, by everyone (so that another service that serves the root
// can); in one open to the group only by the server's group; in a closed one by the server alone.
// The server's mask keeps its own files closed. A default ACL of the directory decides instead,
// as the system applied it at the creation.
void openLikeDirectory(int directory, int file) {
    struct stat status {};
    if (::fstat(directory, &status) != 0) return;
    const std::string path = "/proc/self/fd/" + std::to_string(directory);
    if (::getxattr(path.c_str(), "system.posix_acl_default", nullptr, 0) >= 0) return;
    if (errno != ENODATA && errno != EOPNOTSUPP) return;  // cannot tell: left as created
    ::fchmod(file, 0600 | ((status.st_mode & 0011) << 2));
}

}  // namespace

OpenResult openFailed(unsigned code, ErrorText text) {
    OpenResult result;
    result.code = code;
    result.text = text;
    return result;
}

std::shared_ptr<const FileMapping> MappingCache::find(const std::string& path, const struct stat& file) {
    for (auto it = entries_.begin(); it != entries_.end();) {
        if (it->second.mapping.expired()) {
            it = entries_.erase(it);
        } else {
            ++it;
        }
    }
    const auto it = entries_.find(path);
    if (it == entries_.end()) return nullptr;
    const Entry& e = it->second;
    if (e.device != file.st_dev || e.inode != file.st_ino || e.size != file.st_size ||
        e.modified.tv_sec != file.st_mtim.tv_sec || e.modified.tv_nsec != file.st_mtim.tv_nsec)
        return nullptr;
    return e.mapping.lock();
}

void MappingCache::remember(const std::string& path, const struct stat& file,
                            std::shared_ptr<const FileMapping> mapping) {
    entries_[path] = Entry{mapping, file.st_dev, file.st_ino, file.st_size, file.st_mtim};
}

OpenResult openForReading(const ResolvedPath& path, const ReadPolicy& policy, MappingCache& mappings,
                          const ServerFileGuard& guard) {
    // The name is resolved (and checked) for every request, also when a transfer of the same file
    // runs: the file may have been removed, protected or replaced since.
    ConfinedName resolved;
    if (std::optional<OpenResult> refused = resolveConfined(path, false, guard, resolved)) return std::move(*refused);
    if (policy.wantMapping && !policy.textMode) {
        if (std::shared_ptr<const FileMapping> shared = mappings.find(path.full, resolved.leafStatus)) {
            OpenResult result;
            result.ok = true;
            result.size = shared->size();
            result.mapping = std::move(shared);
            return result;
        }
    }
    // Only regular files are served: a FIFO or a device is never opened.
    platform::FileDescriptor fd(openResolvedForReading(resolved));
    if (!fd.valid()) return resolveFailure(errno);

    OpenResult result;
    result.ok = true;
    result.size = static_cast<std::uint64_t>(resolved.leafStatus.st_size);
    if (policy.wantMapping && !policy.textMode && result.size != 0 && result.size <= policy.mappingMax) {
        if (std::shared_ptr<const FileMapping> mapping = FileMapping::map(fd.get(), result.size)) {
            mappings.remember(path.full, resolved.leafStatus, mapping);
            result.mapping = std::move(mapping);
            return result;  // the mapping keeps the file's pages; the descriptor is not needed
        }
    }
    if (policy.textMode) {
        NetasciiFileReader reader(fd.get());
        const long long converted = reader.convertedSize();
        if (converted < 0) return openFailed(kCodeNotFound, ErrorText::FileNotFound);
        result.size = static_cast<std::uint64_t>(converted);
    }
    result.file = std::move(fd);
    return result;
}

OpenResult openForWriting(const ResolvedPath& path, const WritePolicy& policy, const ServerFileGuard& guard) {
    ConfinedName resolved;
    if (std::optional<OpenResult> refused = resolveConfined(path, true, guard, resolved)) {
        // A directory that is not there cannot take the file.
        if (refused->code == kCodeNotFound) return openFailed(kCodeDiskFull, ErrorText::CreateFailed);
        return std::move(*refused);
    }
    struct stat existing {};
    const bool exists = ::fstatat(resolved.directory.get(), resolved.leaf.c_str(), &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && !policy.overwrite) return openFailed(kCodeExists, ErrorText::FileExists);
    if (exists && S_ISDIR(existing.st_mode)) return openFailed(kCodeDiskFull, ErrorText::CreateFailed);
    struct statvfs space {};
    if (policy.announced != 0 && ::fstatvfs(resolved.directory.get(), &space) == 0 &&
        policy.announced > static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize) {
        return openFailed(kCodeDiskFull, ErrorText::DiskFull);
    }
    if (policy.leftovers != nullptr)
        policy.leftovers->sweepOnce(resolved.directory.get(),
                                    resolved.location.substr(0, resolved.location.size() - resolved.leaf.size()));
    std::string temporary;
    platform::FileDescriptor file = createTemporary(resolved.directory.get(), resolved.leaf, temporary);
    // A directory the server's user may not write to is no full disk.
    if (!file) {
        if (permissionError(errno)) return openFailed(kCodeAccess, ErrorText::AccessDenied);
        return openFailed(kCodeDiskFull, ErrorText::CreateFailed);
    }
    // The replacement keeps the owner, group and mode of the file it replaces, so that what else
    // reads that file still can; never a set-id bit for data that came from the network.
    if (exists && S_ISREG(existing.st_mode)) {
        platform::takeOwnerAndMode(file.get(), existing, 0777);
    } else {
        openLikeDirectory(resolved.directory.get(), file.get());
    }
    OpenResult result;
    result.ok = true;
    result.upload = std::make_unique<UploadFile>(std::move(resolved.directory), resolved.leaf, std::move(temporary),
                                                 std::move(file), policy.overwrite);
    return result;
}

UploadFile::UploadFile(platform::FileDescriptor directory, std::string leaf, std::string temporary,
                       platform::FileDescriptor file, bool overwrite)
    : directory_(std::move(directory)),
      leaf_(std::move(leaf)),
      temporary_(std::move(temporary)),
      file_(std::move(file)),
      overwrite_(overwrite) {}

UploadFile::~UploadFile() {
    if (!committed_) ::unlinkat(directory_.get(), temporary_.c_str(), 0);
}

bool UploadFile::commit() {
    if (committed_) return true;
    if (::fsync(file_.get()) != 0) return false;
    if (overwrite_) {
        if (::renameat(directory_.get(), temporary_.c_str(), directory_.get(), leaf_.c_str()) != 0) return false;
    } else if (::renameat2(directory_.get(), temporary_.c_str(), directory_.get(), leaf_.c_str(), RENAME_NOREPLACE) !=
               0) {
        // File systems without the flag: a hard link also refuses a name that is taken.
        if (errno != EINVAL && errno != ENOSYS) return false;
        if (::linkat(directory_.get(), temporary_.c_str(), directory_.get(), leaf_.c_str(), 0) != 0) return false;
        ::unlinkat(directory_.get(), temporary_.c_str(), 0);
    }
    committed_ = true;
    // The new name lasts through a crash as well.
    platform::FileDescriptor directory(::openat(directory_.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (directory) ::fsync(directory.get());
    return true;
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

std::size_t FileSource::chunkBlocks(std::size_t blockSize, std::size_t window) {
    const std::size_t blocks = (kReadAheadBytes + blockSize - 1) / blockSize;
    return std::max(blocks, window == 0 ? std::size_t{1} : window);
}

std::size_t FileSource::bufferBytes(std::size_t blockSize, std::size_t window, bool textMode) {
    if (textMode) return blockSize * std::max<std::size_t>(window, 1);
    return 2 * chunkBlocks(blockSize, window) * blockSize;
}

FileSource::FileSource(platform::FileDescriptor file, std::size_t blockSize, std::size_t window, bool textMode,
                       std::uint64_t size)
    : file_(std::move(file)),
      fd_(file_.get()),
      blockSize_(blockSize),
      window_(window == 0 ? 1 : window),
      textMode_(textMode),
      size_(size),
      buffer_(bufferBytes(blockSize, window_, textMode)),
      text_(fd_) {
    if (textMode_) {
        tags_.assign(window_, 0);
        lengths_.assign(window_, 0);
    } else {
        chunkBlocks_ = chunkBlocks(blockSize_, window_);
    }
}

std::optional<std::span<const std::uint8_t>> FileSource::block(std::uint64_t index) {
    return textMode_ ? fromText(index) : fromChunk(index);
}

std::optional<std::span<const std::uint8_t>> FileSource::fromChunk(std::uint64_t index) {
    const std::uint64_t chunk = (index - 1) / chunkBlocks_;
    const std::size_t half = chunk % 2;
    const std::size_t chunkBytes = chunkBlocks_ * blockSize_;
    std::uint8_t* data = buffer_.data() + half * chunkBytes;
    if (chunkNumber_[half] != chunk) {
        // The whole chunk with one read (more only when the system returns less), up to the
        // size the file had when the transfer began: what it has grown by since is not sent.
        const off_t offset = static_cast<off_t>(chunk * chunkBytes);
        const std::uint64_t expected =
            offset < 0 || static_cast<std::uint64_t>(offset) >= size_
                ? 0
                : std::min<std::uint64_t>(chunkBytes, size_ - static_cast<std::uint64_t>(offset));
        std::size_t length = 0;
        while (length < expected) {
            const ssize_t n = ::pread(fd_, data + length, expected - length, offset + static_cast<off_t>(length));
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                chunkNumber_[half] = ~std::uint64_t{0};
                return std::nullopt;
            }
            if (n == 0) break;
            length += static_cast<std::size_t>(n);
        }
        // Shorter than the file was: it was cut (or is being rewritten) under the transfer.
        if (length < expected) {
            chunkNumber_[half] = ~std::uint64_t{0};
            return std::nullopt;
        }
        chunkNumber_[half] = chunk;
        chunkLength_[half] = length;
    }
    // At exactly the end of the file the block is empty.
    const std::size_t start = static_cast<std::size_t>((index - 1) % chunkBlocks_) * blockSize_;
    if (start >= chunkLength_[half]) return std::span<const std::uint8_t>();
    return std::span<const std::uint8_t>(data + start, std::min(blockSize_, chunkLength_[half] - start));
}

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

std::optional<std::span<const std::uint8_t>> FileSource::fromText(std::uint64_t index) {
    const std::size_t slot = index % window_;
    std::uint8_t* data = buffer_.data() + slot * blockSize_;
    if (tags_[slot] == index) return std::span<const std::uint8_t>(data, lengths_[slot]);
    std::size_t length = 0;
    if (!readText(index, std::span<std::uint8_t>(data, blockSize_), length)) return std::nullopt;
    // As for a binary file: cut under the transfer, the read failed; grown, the converted size
    // counted when it began still ends it.
    const std::uint64_t start = (index - 1) * blockSize_;
    const std::size_t expected =
        start >= size_ ? 0 : static_cast<std::size_t>(std::min<std::uint64_t>(blockSize_, size_ - start));
    if (length < expected) return std::nullopt;
    length = expected;
    tags_[slot] = index;
    lengths_[slot] = length;
    return std::span<const std::uint8_t>(data, length);
}

FileSink::FileSink(std::unique_ptr<UploadFile> upload, bool textMode)
    : upload_(std::move(upload)), textMode_(textMode) {}

bool FileSink::writeAll(std::span<const std::uint8_t> data) {
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(upload_->fd(), data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error_ = n < 0 ? errno : ENOSPC;
            return false;
        }
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
    if (upload_->commit()) return true;
    error_ = errno;
    return false;
}

}  // namespace tolmark::tftp
