#include "server/leases/record_chains.h"

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

void RecordChains::insert(std::uint32_t& head, std::uint32_t ClientRecord::*link, ClientRecord& record) {
    // Chains keep list order, so that the first match of a chain is the first of the list.
    std::uint32_t* position = &head;
    while (ClientRecord* r = store_.at(*position)) {
        if (!ListLinks::precedes(*r, record)) break;
        position = &(r->*link);
    }
    record.*link = *position;
    *position = RecordStore::linkOf(record);
}

template <class Key>
void RecordChains::erase(FlatHeads<Key>& heads, Key key, std::uint32_t ClientRecord::*link, ClientRecord& record) {
    std::uint32_t* head = heads.find(key);
    if (head == nullptr) return;
    // The map keeps no empty chains: the key goes with the chain's last record.
    std::uint32_t first = *head;
    std::uint32_t* position = &first;
    while (ClientRecord* r = store_.at(*position)) {
        if (r == &record) {
            *position = record.*link;
            break;
        }
        position = &(r->*link);
    }
    record.*link = 0;
    if (first == 0)
        heads.erase(key);
    else
        *head = first;
}

void RecordChains::add(ClientRecord& record) {
    if (!chained(record.list_)) return;
    const std::size_t l = slot(record.list_);
    record.identityKey_ = identityKey(record);
    record.addressKey_ = record.address;
    if (record.identityKey_ != 0)
        insert(identities_[l].slot(record.identityKey_), &ClientRecord::sameIdentity_, record);
    if (record.addressKey_ != 0) insert(addresses_[l].slot(record.addressKey_), &ClientRecord::sameAddress_, record);
}

void RecordChains::remove(ClientRecord& record) {
    if (!chained(record.list_)) return;
    const std::size_t l = slot(record.list_);
    if (record.identityKey_ != 0) erase(identities_[l], record.identityKey_, &ClientRecord::sameIdentity_, record);
    if (record.addressKey_ != 0) erase(addresses_[l], record.addressKey_, &ClientRecord::sameAddress_, record);
}

void RecordChains::identityLeaving(ClientRecord& record) {
    if (!chained(record.list_) || record.identityKey_ == 0) return;
    erase(identities_[slot(record.list_)], record.identityKey_, &ClientRecord::sameIdentity_, record);
    record.identityKey_ = 0;
}

void RecordChains::identityArrived(ClientRecord& record) {
    if (!chained(record.list_)) return;
    record.identityKey_ = identityKey(record);
    if (record.identityKey_ != 0)
        insert(identities_[slot(record.list_)].slot(record.identityKey_), &ClientRecord::sameIdentity_, record);
}

bool RecordChains::reserve(ClientList list, std::size_t records) {
    if (!chained(list)) return true;
    return identities_[slot(list)].reserve(records) && addresses_[slot(list)].reserve(records);
}

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
    if (key == 0) return walk(list, after, [&](const ClientRecord& r) { return identityEquals(r.identity, identity); });
    const std::uint32_t* head = identities_[slot(list)].find(key);
    if (head == nullptr) return nullptr;
    for (ClientRecord* r = store_.at(*head); r != nullptr; r = store_.at(r->sameIdentity_)) {
        if ((after == nullptr || ListLinks::precedes(*after, *r)) && identityEquals(r->identity, identity)) return r;
    }
    return nullptr;
}

ClientRecord* RecordChains::findAddress(ClientList list, Ipv4 address, const ClientRecord* after) {
    if (!chained(list)) return nullptr;
    if (address == 0) return walk(list, after, [](const ClientRecord& r) { return r.address == Ipv4{0}; });
    const std::uint32_t* head = addresses_[slot(list)].find(address);
    if (head == nullptr) return nullptr;
    for (ClientRecord* r = store_.at(*head); r != nullptr; r = store_.at(r->sameAddress_)) {
        if (after == nullptr || ListLinks::precedes(*after, *r)) return r;
    }
    return nullptr;
}

}  // namespace tolmark
