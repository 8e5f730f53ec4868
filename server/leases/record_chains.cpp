#include "server/leases/record_chains.h"

#include <algorithm>
#include <new>

namespace tolmark {

namespace {

std::size_t slot(ClientList list) { return static_cast<std::size_t>(list); }
bool chained(ClientList list) { return list != ClientList::None && list != ClientList::Free; }

}  // namespace

std::uint64_t RecordChains::identityKey(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes) {
    if (kind == kIdentityFree) return 0;
    const std::uint64_t hash = identityHash(kind, length, bytes);
    return hash == 0 ? 1 : hash;
}

std::uint64_t RecordChains::identityKey(const ClientRecord& record) {
    const StoredIdentity& identity = record.identity;
    return identityKey(identity.kind(), identity.length(), identity.data());
}

void RecordChains::insert(std::uint32_t& head, Link link, ClientRecord& record) {
    // Chains keep list order, so that the first match of a chain is the first of the list.
    std::uint32_t* position = &head;
    while (ClientRecord* r = store_.at(*position)) {
        if (!ListLinks::precedes(*r, record)) break;
        position = &(r->*link);
    }
    record.*link = *position;
    *position = RecordStore::linkOf(record);
}

bool RecordChains::erase(std::uint32_t& head, Link link, ClientRecord& record) {
    for (std::uint32_t* position = &head; ClientRecord* r = store_.at(*position); position = &(r->*link)) {
        if (r == &record) {
            *position = record.*link;
            record.*link = 0;
            return true;
        }
    }
    return false;
}

void RecordChains::counted(ClientList list, bool added) {
    Buckets& buckets = buckets_[slot(list)];
    if (!added) return;
    // Half as many records again as buckets: twice the buckets (longer chains while the memory
    // is not there). Chains then hold 0.75 to 1.5 records on average, and a table grown to a
    // power of two by a load has room to take in half as many clients again.
    const std::size_t size = buckets.address.size();
    if (++buckets.records > size + size / 2) grow(list, size * 2);
}

bool RecordChains::grow(ClientList list, std::size_t records) {
    Buckets& buckets = buckets_[slot(list)];
    std::size_t size = 16;
    int shift = 60;
    while (size < records) size *= 2, --shift;
    if (size <= buckets.address.size()) return true;
    Buckets spread;
    try {
        spread.identity.assign(2 * size, 0);
        spread.address.assign(size, 0);
    } catch (const std::bad_alloc&) {
        return false;
    }
    spread.shift = shift;
    // From the list's end to its head, each record pushed on the front of its chains: they come
    // out in list order. One walk for both keys.
    std::size_t identities = 0, addresses = 0;
    for (ClientRecord* r = lists_.last(list); r != nullptr; r = lists_.previous(*r)) {
        const std::uint32_t link = RecordStore::linkOf(*r);
        if (const std::uint64_t k = identityKey(*r); k != 0) {
            std::uint32_t& head = spread.identity[spread.ofIdentity(k)];
            r->sameIdentity_ = head;
            head = link;
            ++identities;
        }
        if (const std::uint64_t k = addressKey(r->address); k != 0) {
            std::uint32_t& head = spread.address[spread.ofAddress(k)];
            r->sameAddress_ = head;
            head = link;
            ++addresses;
        }
    }
    spread.records = std::max(identities, addresses);
    buckets = std::move(spread);
    return true;
}

void RecordChains::add(ClientRecord& record) {
    if (!chained(record.list_)) return;
    Buckets& buckets = buckets_[slot(record.list_)];
    // The first buckets are made from the list, which the record is in already.
    if (buckets.address.empty()) {
        grow(record.list_, 16);
        return;
    }
    const std::uint64_t identity = identityKey(record), address = addressKey(record.address);
    if (identity != 0) insert(buckets.identity[buckets.ofIdentity(identity)], &ClientRecord::sameIdentity_, record);
    if (address != 0) insert(buckets.address[buckets.ofAddress(address)], &ClientRecord::sameAddress_, record);
    counted(record.list_, identity != 0 || address != 0);
}

void RecordChains::remove(ClientRecord& record) {
    if (!chained(record.list_)) return;
    Buckets& buckets = buckets_[slot(record.list_)];
    if (buckets.address.empty()) return;
    const std::uint64_t identity = identityKey(record), address = addressKey(record.address);
    bool found = false;
    if (identity != 0)
        found |= erase(buckets.identity[buckets.ofIdentity(identity)], &ClientRecord::sameIdentity_, record);
    if (address != 0) found |= erase(buckets.address[buckets.ofAddress(address)], &ClientRecord::sameAddress_, record);
    if (found && buckets.records != 0) --buckets.records;
}

void RecordChains::identityLeaving(ClientRecord& record) {
    if (!chained(record.list_)) return;
    Buckets& buckets = buckets_[slot(record.list_)];
    const std::uint64_t identity = identityKey(record);
    if (identity != 0 && !buckets.address.empty())
        erase(buckets.identity[buckets.ofIdentity(identity)], &ClientRecord::sameIdentity_, record);
}

void RecordChains::identityArrived(ClientRecord& record) {
    if (!chained(record.list_)) return;
    Buckets& buckets = buckets_[slot(record.list_)];
    if (buckets.address.empty()) {
        grow(record.list_, 16);
        return;
    }
    if (const std::uint64_t identity = identityKey(record); identity != 0)
        insert(buckets.identity[buckets.ofIdentity(identity)], &ClientRecord::sameIdentity_, record);
}

bool RecordChains::reserve(ClientList list, std::size_t records) { return !chained(list) || grow(list, records); }

template <class Match>
ClientRecord* RecordChains::walk(ClientList list, const ClientRecord* after, Match&& match) {
    for (ClientRecord* r = after == nullptr ? lists_.first(list) : lists_.next(*after); r != nullptr;
         r = lists_.next(*r)) {
        if (match(*r)) return r;
    }
    return nullptr;
}

ClientRecord* RecordChains::findIdentity(ClientList list, const Identity& identity, const ClientRecord* after) {
    if (!chained(list)) return nullptr;
    const std::uint64_t key = identityKey(identity.kind, identity.length, identity.bytes.data());
    const Buckets& buckets = buckets_[slot(list)];
    // Freed identities, and a list without buckets (no memory for them yet): the list answers.
    if (key == 0 || buckets.address.empty())
        return walk(list, after, [&](const ClientRecord& r) { return identityEquals(r.identity, identity); });
    for (ClientRecord* r = store_.at(buckets.identity[buckets.ofIdentity(key)]); r != nullptr;
         r = store_.at(r->sameIdentity_)) {
        if ((after == nullptr || ListLinks::precedes(*after, *r)) && identityEquals(r->identity, identity)) return r;
    }
    return nullptr;
}

ClientRecord* RecordChains::findAddress(ClientList list, Ipv4 address, const ClientRecord* after) {
    if (!chained(list)) return nullptr;
    const Buckets& buckets = buckets_[slot(list)];
    if (address == 0 || buckets.address.empty())
        return walk(list, after, [&](const ClientRecord& r) { return r.address == address; });
    for (ClientRecord* r = store_.at(buckets.address[buckets.ofAddress(addressKey(address))]); r != nullptr;
         r = store_.at(r->sameAddress_)) {
        if (r->address == address && (after == nullptr || ListLinks::precedes(*after, *r))) return r;
    }
    return nullptr;
}

}  // namespace tolmark
