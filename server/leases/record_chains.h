#pragma once
// The identity and address indexes of the static, dynamic and ignored lists. Per list and key,
// an array of bucket heads (a power of two, at least as many as the records in it), and from
// each head a chain through the records whose key falls in that bucket, in list order: the
// first match of a chain is the first of the list, and "the next match after r" is found from
// r's label. A chain is about one record long, and the heads cost 4 bytes a record: a million
// leases need 8 MB for both indexes, where maps of keys needed 40.
//
// Records that many share stay out of the chains, whose links and unlinks walk them: the
// address 0 (every ignored client, static entries known by name only) and the identity of
// freed records. Lookups of those walk the list instead.

#include <cstdint>
#include <vector>

#include "server/leases/list_links.h"

namespace tolmark {

class RecordChains {
public:
    RecordChains(RecordStore& store, ListLinks& lists) : store_(store), lists_(lists) {}

    // A record linked into one of the three lists, or about to leave it.
    void add(ClientRecord& record);
    void remove(ClientRecord& record);
    // Around a change of the record's identity.
    void identityLeaving(ClientRecord& record);
    void identityArrived(ClientRecord& record);
    // Room for this many records of the list; false when the memory is not there.
    bool reserve(ClientList list, std::size_t records);

    // The first record of the list after `after` (from the head when nullptr) with the
    // identity, or the address.
    ClientRecord* findIdentity(ClientList list, const Identity& identity, const ClientRecord* after);
    ClientRecord* findAddress(ClientList list, Ipv4 address, const ClientRecord* after);

private:
    // The buckets of one list: both keys' heads, of one size, spread again together.
    // Identities have twice the buckets: a client that is not in the list yet (every new one)
    // is then told so by an empty bucket most of the time, without a look at any record.
    struct Buckets {
        std::vector<std::uint32_t> identity;  // record links; empty until the first record
        std::vector<std::uint32_t> address;
        int shift = 64;           // an address's bucket: the top bits of key * 2^64/golden ratio
        std::size_t records = 0;  // in the larger of the two
        std::size_t ofAddress(std::uint64_t key) const { return spread(key) >> shift; }
        std::size_t ofIdentity(std::uint64_t key) const { return spread(key) >> (shift - 1); }
        static std::uint64_t spread(std::uint64_t key) { return key * 0x9E3779B97F4A7C15ull; }
    };
    using Link = std::uint32_t ClientRecord::*;

    // The identity's key; 0: not chained.
    static std::uint64_t identityKey(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes);
    static std::uint64_t identityKey(const ClientRecord& record);
    // In host order: the addresses of a pool then run on one by one, which the buckets spread
    // best.
    static std::uint64_t addressKey(Ipv4 address) { return ipv4ToHostOrder(address); }

    // Into (out of) the chain from head; erase: false when the record was not in it.
    void insert(std::uint32_t& head, Link link, ClientRecord& record);
    bool erase(std::uint32_t& head, Link link, ClientRecord& record);
    // Spreads the list's chains over at least `records` buckets, in list order; keeps them as
    // they are when the memory is not there.
    bool grow(ClientList list, std::size_t records);
    void counted(ClientList list, bool added);
    template <class Match>
    ClientRecord* walk(ClientList list, const ClientRecord* after, Match&& match);

    RecordStore& store_;
    ListLinks& lists_;
    Buckets buckets_[3];
};

}  // namespace tolmark
