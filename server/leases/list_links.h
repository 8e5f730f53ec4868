#pragma once
// The four lists of the client table (static, dynamic, ignored, free) as links through the
// records, doubly linked so that any record leaves its list at once. Every record of a list
// also carries an order label that grows along the list: two records' positions compare
// without a walk, and the chains of the indexes keep list order by it.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "server/leases/record_store.h"

namespace tolmark {

class ListLinks {
public:
    explicit ListLinks(RecordStore& store) : store_(store) {}

    ClientRecord* first(ClientList list) const { return isList(list) ? store_.at(heads_[slot(list)]) : nullptr; }
    ClientRecord* last(ClientList list) const { return isList(list) ? store_.at(tails_[slot(list)]) : nullptr; }
    ClientRecord* next(const ClientRecord& record) const { return store_.at(record.next_); }
    ClientRecord* previous(const ClientRecord& record) const { return store_.at(record.previous_); }
    std::size_t size(ClientList list) const { return isList(list) ? sizes_[slot(list)].load() : 0; }
    // True when a comes before b in their list.
    static bool precedes(const ClientRecord& a, const ClientRecord& b) { return a.label_ < b.label_; }

    // Links the record (in no list) after `after`, or at the head when after is nullptr.
    void linkAfter(ClientList list, ClientRecord* after, ClientRecord& record);
    // Takes the record out of its list; it is then in none.
    void unlink(ClientRecord& record);

private:
    static bool isList(ClientList list) { return list != ClientList::None; }
    static std::size_t slot(ClientList list) { return static_cast<std::size_t>(list); }
    // Gives the record a label between its neighbours, spreading out the labels after
    // `previous` when there is no room left between them.
    void labelBetween(ClientList list, ClientRecord* previous, ClientRecord& record);

    RecordStore& store_;
    std::uint32_t heads_[4] = {0, 0, 0, 0};
    std::uint32_t tails_[4] = {0, 0, 0, 0};
    // Read without the engine lock by the saver and the status report.
    std::atomic<std::size_t> sizes_[4] = {0, 0, 0, 0};
};

}  // namespace tolmark
