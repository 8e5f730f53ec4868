#pragma once
// Opening the file of a request, confined to the root directory or the matching prefix (see
// confined_path.h), never one of the server's own files nor an upload's working file, and only a
// regular file, opened without blocking. Uploads are written to a working file beside their
// target and moved into place only once complete (see upload_leftovers.h). Also the block sources and sinks the engine reads from and writes to.

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "server/tftp/file_mapping.h"
#include "server/tftp/netascii.h"
#include "server/tftp/request_parser.h"
#include "server/tftp/server_files.h"
#include "server/tftp/transfer_engine.h"
#include "server/tftp/upload_leftovers.h"

namespace tolmark::tftp {

// Mappings of the files being read, by path; the listener shares them between transfers of the
// same file. Entries whose last user has gone are dropped.
class MappingCache {
public:
    // The mapping of the file at path while a transfer holds it and the file is still the one
    // mapped (the same file, size and modification time): a file replaced or rewritten since is
    // mapped anew, so that an updated boot image reaches the next client.
    std::shared_ptr<const FileMapping> find(const std::string& path, const struct stat& file);
    void remember(const std::string& path, const struct stat& file, std::shared_ptr<const FileMapping> mapping);
    std::size_t size() const { return entries_.size(); }

private:
    struct Entry {
        std::weak_ptr<const FileMapping> mapping;
        dev_t device = 0;
        ino_t inode = 0;
        off_t size = 0;
        struct timespec modified {};
    };
    std::map<std::string, Entry> entries_;
};

// An upload's file: a temporary file in the target's directory, moved into place by commit.
// Dropped without a commit (the upload failed or was abandoned), it is removed, and whatever
// had the target's name stays as it was.
class UploadFile {
public:
    UploadFile(platform::FileDescriptor directory, std::string leaf, std::string temporary,
               platform::FileDescriptor file, bool overwrite);
    ~UploadFile();
    UploadFile(const UploadFile&) = delete;
    UploadFile& operator=(const UploadFile&) = delete;

    int fd() const { return file_.get(); }
    // Stores the data and moves the file into place: over the old file when overwriting is
    // allowed, else only while the name is still free. False with errno when it could not be
    // (EEXIST: a file of that name appeared meanwhile).
    bool commit();

private:
    platform::FileDescriptor directory_;
    std::string leaf_;
    std::string temporary_;
    platform::FileDescriptor file_;
    bool overwrite_;
    bool committed_ = false;
};

struct OpenResult {
    bool ok = false;
    unsigned code = 0;
    ErrorText text = ErrorText::Unspecified;
    platform::FileDescriptor file;
    std::shared_ptr<const FileMapping> mapping;
    std::unique_ptr<UploadFile> upload;
    std::uint64_t size = 0;  // bytes the transfer moves (converted length in text mode)
};
OpenResult openFailed(unsigned code, ErrorText text);

struct ReadPolicy {
    bool textMode = false;  // netascii converted to and from the host's line ends
    bool wantMapping = false;
    std::uint32_t mappingMax = 0;
};

OpenResult openForReading(const ResolvedPath& path, const ReadPolicy& policy, MappingCache& mappings,
                          const ServerFileGuard& guard = {});

struct WritePolicy {
    bool overwrite = false;       // "TFTPUpload" value 2
    std::uint64_t announced = 0;  // the client's "tsize", 0 when not given
    // Sweeps the target's directory of what killed uploads left there; nullptr: not swept.
    UploadLeftovers* leftovers = nullptr;
};
// Starts an upload: an existing file is refused unless overwriting is allowed; a "tsize" over
// the free space of the file system is refused as a full disk. The file is replaced only when
// the upload completes (readers of the old one keep what they have).
OpenResult openForWriting(const ResolvedPath& path, const WritePolicy& policy, const ServerFileGuard& guard = {});

// Blocks of a shared mapping: the view itself goes to the socket, never copied here. So a file
// cut short under the mapping makes the send fail (the kernel reports a bad address) instead of
// a read fault in the server.
class MappedSource final : public BlockSource {
public:
    MappedSource(std::shared_ptr<const FileMapping> mapping, std::size_t blockSize);
    std::optional<std::span<const std::uint8_t>> block(std::uint64_t index) override;

private:
    std::shared_ptr<const FileMapping> mapping_;
    std::size_t blockSize_;
};

// Blocks read from the file (the buffers are allocated once; the constructor throws
// std::bad_alloc when they cannot be had). A binary file is read ahead in chunks of at least
// kReadAheadBytes with one read each, the chunk before the current one kept, so that a window's
// blocks and its retransmissions cost no read of their own. A netascii stream keeps the last
// `window` blocks in a ring.
class FileSource final : public BlockSource {
public:
    static constexpr std::size_t kReadAheadBytes = std::size_t{64} << 10;

    // size: the file's size when it was opened. A binary file that ends before it (it was
    // truncated or replaced in place meanwhile) is a failed read, not a short last block: the
    // client must not take what it got for the whole file.
    FileSource(platform::FileDescriptor file, std::size_t blockSize, std::size_t window, bool textMode,
               std::uint64_t size);
    // What the buffers of such a source hold.
    static std::size_t bufferBytes(std::size_t blockSize, std::size_t window, bool textMode);
    std::optional<std::span<const std::uint8_t>> block(std::uint64_t index) override;

private:
    static std::size_t chunkBlocks(std::size_t blockSize, std::size_t window);
    std::optional<std::span<const std::uint8_t>> fromChunk(std::uint64_t index);
    std::optional<std::span<const std::uint8_t>> fromText(std::uint64_t index);
    bool readText(std::uint64_t index, std::span<std::uint8_t> out, std::size_t& length);

    platform::FileDescriptor file_;
    int fd_;
    std::size_t blockSize_;
    std::size_t window_;
    bool textMode_;
    std::uint64_t size_;                // the file's size when it was opened
    std::size_t chunkBlocks_ = 0;       // blocks of a chunk (binary)
    std::vector<std::uint8_t> buffer_;  // two chunks (binary) or the ring (text)
    // Binary: the chunk number each half holds (~0 none) and the bytes read into it.
    std::array<std::uint64_t, 2> chunkNumber_{~std::uint64_t{0}, ~std::uint64_t{0}};
    std::array<std::size_t, 2> chunkLength_{};
    // Text: the block index each slot of the ring holds (0 none) and its length.
    std::vector<std::uint64_t> tags_;
    std::vector<std::size_t> lengths_;
    NetasciiFileReader text_;
    std::uint64_t nextText_ = 1;  // block the text reader delivers next
};

// Data appended to an upload's file, converted back from netascii in text mode; finish moves
// the file into place.
class FileSink final : public BlockSink {
public:
    FileSink(std::unique_ptr<UploadFile> upload, bool textMode);
    bool write(std::span<const std::uint8_t> data) override;
    bool finish() override;
    int lastError() const override { return error_; }

private:
    bool writeAll(std::span<const std::uint8_t> data);
    std::unique_ptr<UploadFile> upload_;
    int error_ = 0;
    bool textMode_;
    NetasciiDecoder decoder_;
    std::vector<std::uint8_t> converted_;
};

}  // namespace tolmark::tftp
