#pragma once
// The unsaved-change counts of the client lists: one per list that has a file (static,
// dynamic, ignored). Every change that must reach a file adds to its list's count; the saver
// takes the count (resetting it) and gives it back when the save fails. Atomic, because the
// saver reads them without the engine lock.

#include <atomic>
#include <cstdint>

#include "server/leases/table_record.h"

namespace tolmark {

class ChangeCounts {
public:
    ChangeCounts() {
        for (auto& count : counts_) count.store(0);
    }
    // The list's count; the free list and None share one that no file reads.
    std::atomic<std::int32_t>& of(ClientList list) {
        const auto l = static_cast<std::size_t>(list);
        return l < std::size(counts_) ? counts_[l] : elsewhere_;
    }
    void mark(ClientList list) { of(list).fetch_add(1); }

private:
    std::atomic<std::int32_t> counts_[3];
    std::atomic<std::int32_t> elsewhere_{0};
};

}  // namespace tolmark
