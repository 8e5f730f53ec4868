#pragma once
// Where the client table's records live: in chunks of a fixed size, so that a record never
// moves once made and a million of them cost no more than their own bytes. Records are named
// inside the table by their link (index + 1; 0 is none) and outside it by their handle, which
// also carries the record's generation: a handle to a record that was freed names nothing.
// Generations start at a number drawn for each store, so that a handle a client kept from an
// earlier run of the server (a list read before a restart) names nothing either, rather than
// whichever record now stands at its place.

#include <cstdint>
#include <vector>

#include "server/leases/table_record.h"

namespace tolmark {

class RecordStore {
public:
    RecordStore();

    // 1023 records of 128 bytes and the allocator's few bytes stay just under 128 KiB: from the
    // heap, without a page per chunk lost to rounding.
    static constexpr std::uint32_t kChunkRecords = 1023;

    ClientRecord* at(std::uint32_t link) {
        return link == 0 || link > size_ ? nullptr : &chunks_[(link - 1) / kChunkRecords][(link - 1) % kChunkRecords];
    }
    const ClientRecord* at(std::uint32_t link) const { return const_cast<RecordStore*>(this)->at(link); }
    static std::uint32_t linkOf(const ClientRecord& record) { return record.index_ + 1; }
    // True when the record is one of this store's.
    bool owns(const ClientRecord& record) const { return at(record.index_ + 1) == &record; }
    std::uint32_t size() const { return size_; }

    // A new, empty record after the last; nullptr when no memory (or no link) is left.
    ClientRecord* append();
    // Room for this many records in all, made ahead so that appending them allocates nothing
    // more; false when the memory is not there.
    bool reserve(std::size_t records);

    // Handles: (generation << 32) | link.
    static RecordHandle handleOf(const ClientRecord& record) {
        return (static_cast<RecordHandle>(record.generation_) << 32) | linkOf(record);
    }
    // The record the handle names in its present life, or nullptr.
    ClientRecord* resolve(RecordHandle handle);
    // A record freed: handles to its present life no longer resolve.
    static void retire(ClientRecord& record) { ++record.generation_; }

private:
    std::vector<std::vector<ClientRecord>> chunks_;  // each of kChunkRecords, never resized
    std::uint32_t size_ = 0;
    std::uint32_t firstGeneration_;  // of every record this store makes
};

}  // namespace tolmark
