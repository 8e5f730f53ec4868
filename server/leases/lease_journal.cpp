#include "server/leases/lease_journal.h"

#include "server/leases/client_table.h"

namespace tolmark {

void LeaseJournal::touched(const ClientRecord& record) {
    const std::uint32_t index = record.index();
    if (index >= positions_.size()) positions_.resize(static_cast<std::size_t>(index) + 1024, 0);
    if (positions_[index] != 0) return;
    entries_.push_back(Entry{&record, index, false, record.address, record.identity, record.expiry});
    positions_[index] = static_cast<std::uint32_t>(entries_.size());
}

void LeaseJournal::forget(const ClientRecord& record) {
    const std::uint32_t index = record.index();
    if (index >= positions_.size() || positions_[index] == 0) return;
    entries_[positions_[index] - 1].forgotten = true;
    positions_[index] = 0;
}

void LeaseJournal::freed(const ClientRecord& record) {
    const std::uint32_t index = record.index();
    if (index >= positions_.size() || positions_[index] == 0) return;
    entries_[positions_[index] - 1].record = nullptr;
    positions_[index] = 0;
}

}  // namespace tolmark
