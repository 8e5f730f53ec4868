#pragma once
// A read-only shared mapping of a whole file. Transfers of the same path share one mapping
// through a shared_ptr; the last user's release unmaps it.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tolmark::tftp {

class FileMapping {
public:
    // Maps the open file (size bytes, more than 0). Nothing when the mapping fails.
    static std::shared_ptr<const FileMapping> map(int fd, std::size_t size);

    struct Key {
        explicit Key() = default;
    };
    FileMapping(Key, const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    ~FileMapping();
    FileMapping(const FileMapping&) = delete;
    FileMapping& operator=(const FileMapping&) = delete;

    std::span<const std::uint8_t> bytes() const { return {data_, size_}; }
    std::size_t size() const { return size_; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace tolmark::tftp
