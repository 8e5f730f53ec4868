#pragma once
// The changes of the dynamic list since they were last taken: which records were added or
// changed (their identity, address, profile or expiry) and which left the list, each with the
// address and identity it had before. A server that shares its leases through a database
// writes these out; without one the table keeps no journal.
//
// Kept by the client table under the engine lock; one entry per record however often it
// changed, so that the journal stays as small as the set of records touched.

#include <cstdint>
#include <vector>

#include "common/text_forms.h"

namespace tolmark {

struct ClientRecord;

struct JournalChange {
    const ClientRecord* record = nullptr;  // in the dynamic list now: its state; nullptr: it left
    Ipv4 previousAddress = 0;              // the address before the first change (0: none)
    Identity previousIdentity;             // the identity before the first change
    std::int64_t previousExpiry = 0;       // the expiry before the first change
};

class LeaseJournal {
public:
    // Before a dynamic record changes, joins or leaves the list.
    void touched(const ClientRecord& record);
    // Before a record is freed: whatever it held leaves the list for good, and a record made
    // later in its place is another one.
    void freed(const ClientRecord& record);
    // The record's changes so far are written another way (a claim): the journal leaves them
    // out; later changes are journalled again.
    void forget(const ClientRecord& record);
    // Hands out what changed since the last call, in the order first touched. `inDynamic` tells
    // whether a touched record is in the dynamic list now.
    template <class InDynamic>
    void take(std::vector<JournalChange>& out, InDynamic&& inDynamic);
    bool empty() const { return entries_.empty(); }

private:
    struct Entry {
        const ClientRecord* record = nullptr;  // nullptr once freed
        std::uint32_t index = 0;
        bool forgotten = false;
        Ipv4 previousAddress = 0;
        Identity previousIdentity;
        std::int64_t previousExpiry = 0;
    };

    std::vector<Entry> entries_;
    std::vector<std::uint32_t> positions_;  // by record index: its entry's position + 1, or 0
};

template <class InDynamic>
void LeaseJournal::take(std::vector<JournalChange>& out, InDynamic&& inDynamic) {
    for (const Entry& e : entries_) {
        if (e.forgotten) continue;
        const bool kept = e.record != nullptr && inDynamic(*e.record);
        if (e.record != nullptr) positions_[e.index] = 0;
        out.push_back(
            JournalChange{kept ? e.record : nullptr, e.previousAddress, e.previousIdentity, e.previousExpiry});
    }
    entries_.clear();
}

}  // namespace tolmark
