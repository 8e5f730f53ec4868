#include "server/leases/record_store.h"

#include <limits>
#include <new>
#include <random>

namespace tolmark {

RecordStore::RecordStore() : firstGeneration_(std::random_device{}()) {}

ClientRecord* RecordStore::append() {
    // Links are 32-bit index + 1 values; the store cannot outgrow them.
    if (size_ >= std::numeric_limits<std::uint32_t>::max() - 1) return nullptr;
    if (size_ % kChunkRecords == 0 && !reserve(static_cast<std::size_t>(size_) + 1)) return nullptr;
    ClientRecord* record = &chunks_[size_ / kChunkRecords][size_ % kChunkRecords];
    record->index_ = size_++;
    record->generation_ = firstGeneration_;
    return record;
}

bool RecordStore::reserve(std::size_t records) {
    try {
        const std::size_t chunks = (records + kChunkRecords - 1) / kChunkRecords;
        if (chunks > chunks_.size()) chunks_.reserve(chunks);
        while (chunks_.size() < chunks) chunks_.emplace_back(kChunkRecords);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

ClientRecord* RecordStore::resolve(RecordHandle handle) {
    ClientRecord* record = at(static_cast<std::uint32_t>(handle & 0xFFFFFFFFu));
    if (record == nullptr || record->generation_ != static_cast<std::uint32_t>(handle >> 32)) return nullptr;
    return record;
}

}  // namespace tolmark
