#pragma once
// The identity and address indexes of the static, dynamic and ignored lists: per list, the
// records of one identity (or address) in a chain through the records, in list order, so that
// the first match of a chain is the first of the list and "the next match after r" follows r's
// chain.
//
// Records that many share stay out of the chains, whose links and unlinks walk them: the
// address 0 (every ignored client, static entries known by name only) and the identity of
// freed records. Lookups of those walk the list instead.

#include <cstdint>

#include "server/leases/flat_heads.h"
#include "server/leases/list_links.h"

namespace tolmark {

class RecordChains {
public:
    RecordChains(RecordStore& store, ListLinks& lists) : store_(store), lists_(lists) {}

    // A record linked into (or about to leave) one of the three lists.
    void add(ClientRecord& record);
    void remove(ClientRecord& record);
    // The record's identity changes to `identity` (the field itself is set by the caller,
    // between the two calls).
    void identityLeaving(ClientRecord& record);
    void identityArrived(ClientRecord& record);

    // Room for this many records of the list; false when the memory is not there.
    bool reserve(ClientList list, std::size_t records);

    // The first record of the list after `after` (from the head when nullptr) with the
    // identity, or the address.
    ClientRecord* findIdentity(ClientList list, const Identity& identity, const ClientRecord* after);
    ClientRecord* findAddress(ClientList list, Ipv4 address, const ClientRecord* after);

private:
    // The identity's key in the chains; 0: not indexed.
    static std::uint64_t identityKey(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes);
    static std::uint64_t identityKey(const ClientRecord& record);
    void insert(std::uint32_t& head, std::uint32_t ClientRecord::*link, ClientRecord& record);
    template <class Key>
    void erase(FlatHeads<Key>& heads, Key key, std::uint32_t ClientRecord::*link, ClientRecord& record);
    template <class Match>
    ClientRecord* walk(ClientList list, const ClientRecord* after, Match&& match);

    RecordStore& store_;
    ListLinks& lists_;
    FlatHeads<std::uint64_t> identities_[3];
    FlatHeads<Ipv4> addresses_[3];
};

}  // namespace tolmark
