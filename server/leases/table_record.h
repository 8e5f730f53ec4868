#pragma once
// A record of the client table: the client fields in their compact stored forms, and the
// links by which the table's parts (store, lists, chains, pools) hold it. The engine reads the
// client fields freely under the engine lock and writes those that are not indexed; the
// indexed ones (Keyed) and the links belong to the table.

#include <cstdint>
#include <string_view>
#include <utility>

#include "common/client_record.h"
#include "server/leases/record_fields.h"

namespace tolmark {

enum class ClientList : std::uint8_t { Static = 0, Dynamic = 1, Ignored = 2, Free = 3, None = 4 };

class ClientTable;
struct ClientRecord;

// A field the table indexes records by: read like the value it holds, changed by the table
// alone.
template <class T>
class Keyed {
public:
    Keyed() = default;
    const T& get() const { return value_; }
    operator const T&() const { return value_; }  // NOLINT: reads like the value
    const T* operator->() const { return &value_; }
    // Texts and identities read as what their stored forms read as.
    template <class U = T, class = decltype(std::declval<const U&>().view())>
    operator std::string_view() const {  // NOLINT
        return value_.view();
    }
    template <class U = T, class = decltype(std::declval<const U&>().equals(Identity{}))>
    operator Identity() const {  // NOLINT
        return value_.get();
    }

private:
    friend class ClientTable;
    friend struct ClientRecord;
    Keyed(const Keyed&) = default;
    Keyed& operator=(const Keyed&) = default;
    template <class V>
    Keyed& operator=(V&& value) {
        value_ = std::forward<V>(value);
        return *this;
    }
    T value_{};
};

using RecordHandle = std::uint64_t;

// Laid out for the walks of the indexes: what a chain walk reads of a record (address,
// identity, the chain links, the order label) fills its first cache line, the rest the second.
struct alignas(64) ClientRecord {
    Keyed<Ipv4> address;
    Keyed<Ipv4> seenVia;

private:
    // The chains: the next record of the list in the same identity bucket, and in the same
    // address bucket.
    std::uint32_t sameIdentity_ = 0;
    std::uint32_t sameAddress_ = 0;

public:
    Keyed<StoredIdentity> identity;

private:
    // The order label, which grows along the list: positions compare without a walk.
    std::uint64_t label_ = 0;

public:
    Keyed<std::int64_t> expiry;
    std::int64_t lastAccess = 0;
    Keyed<StoredProfileName> profile;  // at most 23 characters; empty = the first profile
    StoredText hostName;               // at most 158 characters
    StoredText remark;                 // at most 31 characters

    ClientFields fields() const;
    // Copies the fields into out, reusing its strings' storage.
    void copyTo(ClientFields& out) const;

    std::uint32_t index() const { return index_; }
    ClientList list() const { return list_; }

private:
    friend class ClientTable;
    friend class RecordStore;
    friend class ListLinks;
    friend class RecordChains;
    friend class RelayChains;
    friend class PoolIndexes;
    // Every field at once (a record not yet linked); may throw bad_alloc, leaving it unchanged.
    void assign(const ClientFields& fields);

    // The store: the record's place, and how often it was freed (handles name one life).
    std::uint32_t index_ = 0;
    std::uint32_t generation_ = 0;
    // The list: index + 1 of the next and previous record (0 at the ends).
    std::uint32_t next_ = 0;
    std::uint32_t previous_ = 0;
    // The relay chains: dynamic records by the relay (or interface) last seen through.
    std::uint32_t sameRelay_ = 0;
    std::uint32_t previousRelay_ = 0;
    // The pool index holding the record (its number + 1; 0: none). The index holds it under
    // the offset of its address, which only changes while it is out of the index.
    std::uint32_t pool_ = 0;
    ClientList list_ = ClientList::None;
    bool poolPlaced_ = false;  // the index names this record at its offset (not another one)
    bool relayLinked_ = false;
};

// Two identities are equal when kind, length and bytes are equal.
bool identityEquals(const Identity& a, const Identity& b);
inline bool identityEquals(const StoredIdentity& a, const Identity& b) { return a.equals(b); }
inline bool identityEquals(const Keyed<StoredIdentity>& a, const Identity& b) { return a->equals(b); }
std::uint64_t identityHash(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes);
inline std::uint64_t identityHash(const Identity& identity) {
    return identityHash(identity.kind, identity.length, identity.bytes.data());
}

}  // namespace tolmark
