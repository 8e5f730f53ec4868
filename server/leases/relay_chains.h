#pragma once
// The dynamic records by the relay (or interface) they were last seen through, for the
// per-relay lease limit. Each relay's chain is doubly linked and unordered: a relay may front
// every client of a network, so neither linking nor unlinking walks its chain. A record's
// seen-via address changes only while it is out of its chain.

#include <cstdint>

#include "server/leases/flat_heads.h"
#include "server/leases/record_store.h"

namespace tolmark {

class RelayChains {
public:
    explicit RelayChains(RecordStore& store) : store_(store) {}

    void add(ClientRecord& record);
    void remove(ClientRecord& record);
    ClientRecord* first(Ipv4 seenVia);
    ClientRecord* next(const ClientRecord& record) { return store_.at(record.sameRelay_); }

private:
    RecordStore& store_;
    FlatHeads<Ipv4> heads_;
};

}  // namespace tolmark
