#include "server/tftp/file_mapping.h"

#include <sys/mman.h>

namespace tolmark::tftp {

std::shared_ptr<const FileMapping> FileMapping::map(int fd, std::size_t size) {
    if (size == 0) return nullptr;
    void* view = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (view == MAP_FAILED) return nullptr;
    // Blocks are read front to back.
    ::madvise(view, size, MADV_SEQUENTIAL);
    return std::make_shared<const FileMapping>(Key{}, static_cast<const std::uint8_t*>(view), size);
}

FileMapping::~FileMapping() { ::munmap(const_cast<std::uint8_t*>(data_), size_); }

}  // namespace tolmark::tftp
