#pragma once
// Opening the file of a request, confined to the root directory or the matching prefix: the
// file is opened first and what was opened is checked, so a symbolic link cannot lead out and
// nothing can be swapped in between. Also the block sources and sinks the engine reads from
// and writes to.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "base/file_descriptor.h"
#include "server/tftp/file_mapping.h"
#include "server/tftp/netascii.h"
#include "server/tftp/request_parser.h"
#include "server/tftp/transfer_engine.h"

namespace tolmark::tftp {

// Mappings of the files being read, by path; the listener shares them between transfers of the
// same file. Entries whose last user has gone are dropped.
class MappingCache {
public:
    std::shared_ptr<const FileMapping> find(const std::string& path);
    void remember(const std::string& path, std::shared_ptr<const FileMapping> mapping);
    std::size_t size() const { return entries_.size(); }

private:
    std::map<std::string, std::weak_ptr<const FileMapping>> entries_;
};

struct OpenResult {
    bool ok = false;
    unsigned code = 0;
    ErrorText text = ErrorText::Unspecified;
    platform::FileDescriptor file;
    std::shared_ptr<const FileMapping> mapping;
    std::uint64_t size = 0;  // bytes the transfer moves (converted length in text mode)
};

struct ReadPolicy {
    bool textMode = false;  // netascii converted to and from the host's line ends
    bool wantMapping = false;
    std::uint32_t mappingMax = 0;
};

OpenResult openForReading(const ResolvedPath& path, const ReadPolicy& policy, MappingCache& mappings);
// Creates the file; an existing one is refused unless overwrite is allowed, in which case it is
// replaced by a new file (readers of the old one keep what they have).
OpenResult openForWriting(const ResolvedPath& path, bool overwrite);

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

// Blocks read from the file, the last `window` kept in a ring of buffers allocated once.
class FileSource final : public BlockSource {
public:
    FileSource(int fd, std::size_t blockSize, std::size_t window, bool textMode);
    std::optional<std::span<const std::uint8_t>> block(std::uint64_t index) override;

private:
    bool readText(std::uint64_t index, std::span<std::uint8_t> out, std::size_t& length);

    int fd_;
    std::size_t blockSize_;
    std::size_t window_;
    bool textMode_;
    std::vector<std::uint8_t> ring_;
    std::vector<std::uint64_t> tags_;  // block index held by each slot (0 none)
    std::vector<std::size_t> lengths_;
    NetasciiFileReader text_;
    std::uint64_t nextText_ = 1;  // block the text reader delivers next
};

// Data appended to the file, converted back from netascii in text mode.
class FileSink final : public BlockSink {
public:
    FileSink(int fd, bool textMode);
    bool write(std::span<const std::uint8_t> data) override;
    bool finish() override;

private:
    bool writeAll(std::span<const std::uint8_t> data);
    int fd_;
    bool textMode_;
    NetasciiDecoder decoder_;
    std::vector<std::uint8_t> converted_;
};

}  // namespace tolmark::tftp
