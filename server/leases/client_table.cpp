#include "server/leases/client_table.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>

namespace tolmark {

namespace {

std::size_t listIndex(ClientList list) { return static_cast<std::size_t>(list); }
bool isLinkedList(ClientList list) { return list != ClientList::None; }

std::string fitText(std::string_view text, std::size_t maxChars) {
    return std::string(text.substr(0, std::min(text.size(), maxChars)));
}

}  // namespace

bool identityEquals(const Identity& a, const Identity& b) {
    if (a.kind != b.kind || a.length != b.length) return false;
    const std::size_t length = std::min<std::size_t>(a.length, kIdentityBytes);
    return std::equal(a.bytes.begin(), a.bytes.begin() + length, b.bytes.begin());
}

std::uint64_t identityHash(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes) {
    std::uint64_t hash = 1469598103934665603ull;
    const auto mix = [&](std::uint8_t byte) { hash = (hash ^ byte) * 1099511628211ull; };
    mix(kind);
    const std::size_t count = std::min<std::size_t>(length, kIdentityBytes);
    mix(static_cast<std::uint8_t>(count));
    for (std::size_t i = 0; i < count; ++i) mix(bytes[i]);
    return hash;
}

// A million leases must stay well under 256 bytes each, indexes included.
static_assert(sizeof(void*) != 8 || sizeof(ClientRecord) <= 152, "the client record grew");

// ---- Records ----------------------------------------------------------------------------------

ClientFields ClientRecord::fields() const {
    ClientFields out;
    copyTo(out);
    return out;
}

void ClientRecord::copyTo(ClientFields& out) const {
    out.address = address;
    out.seenVia = seenVia;
    out.lastAccess = lastAccess;
    out.expiry = expiry;
    out.identity = identity->get();
    out.profile.assign(profile->view());
    out.hostName.assign(hostName.view());
    out.remark.assign(remark.view());
}

void ClientRecord::assign(const ClientFields& fields) {
    // Everything that may fail for want of memory first: then nothing has changed.
    StoredText name(fields.hostName), text(fields.remark);
    StoredIdentity id(fields.identity);
    profile = fields.profile;
    hostName = std::move(name);
    remark = std::move(text);
    identity = std::move(id);
    address = fields.address;
    seenVia = fields.seenVia;
    lastAccess = fields.lastAccess;
    expiry = fields.expiry;
}

bool ClientTable::fill(ClientRecord& record, const ClientFields& fields) {
    if (record.list_ != ClientList::None) return false;
    record.assign(fields);
    return true;
}

ClientTable::ClientTable(LogSink& log) : log_(log) {
    for (auto& count : changes_) count.store(0);
}

// ---- Store and links --------------------------------------------------------------------------

ClientRecord* ClientTable::at(std::uint32_t linkIndex) {
    if (linkIndex == 0 || linkIndex > store_.size()) return nullptr;
    return &store_[linkIndex - 1];
}

const ClientRecord* ClientTable::at(std::uint32_t linkIndex) const {
    if (linkIndex == 0 || linkIndex > store_.size()) return nullptr;
    return &store_[linkIndex - 1];
}

bool ClientTable::owns(const ClientRecord& record) const {
    return record.index_ < store_.size() && &store_[record.index_] == &record;
}

ClientRecord* ClientTable::first(ClientList list) { return isLinkedList(list) ? at(heads_[listIndex(list)]) : nullptr; }

ClientRecord* ClientTable::next(const ClientRecord& record) { return at(record.next_); }

ClientRecord* ClientTable::previous(const ClientRecord& record) { return at(record.previous_); }

const ClientRecord* ClientTable::first(ClientList list) const {
    return isLinkedList(list) ? at(heads_[listIndex(list)]) : nullptr;
}

const ClientRecord* ClientTable::next(const ClientRecord& record) const { return at(record.next_); }

void ClientTable::linkFront(ClientList list, ClientRecord& record) { linkAfter(list, nullptr, record); }

void ClientTable::linkAfter(ClientList list, ClientRecord* after, ClientRecord& record) {
    const std::size_t l = listIndex(list);
    if (list == ClientList::Dynamic && journal_ != nullptr && !journalPaused_) journal_->touched(record);
    const std::uint32_t link = record.index_ + 1;
    labelBetween(list, after, record);
    record.previous_ = after == nullptr ? 0 : after->index_ + 1;
    record.next_ = after == nullptr ? heads_[l] : after->next_;
    if (after == nullptr)
        heads_[l] = link;
    else
        after->next_ = link;
    if (ClientRecord* following = at(record.next_))
        following->previous_ = link;
    else
        tails_[l] = link;
    record.list_ = list;
    ++sizes_[l];
    if (list != ClientList::Free) indexAdd(record);
}

void ClientTable::unlinkFromList(ClientRecord& record) {
    if (!isLinkedList(record.list_)) return;
    journalTouch(record);
    if (record.list_ != ClientList::Free) indexRemove(record);
    const std::size_t l = listIndex(record.list_);
    if (ClientRecord* before = at(record.previous_))
        before->next_ = record.next_;
    else
        heads_[l] = record.next_;
    if (ClientRecord* following = at(record.next_))
        following->previous_ = record.previous_;
    else
        tails_[l] = record.previous_;
    --sizes_[l];
    record.next_ = 0;
    record.previous_ = 0;
    record.list_ = ClientList::None;
}

// ---- Order labels -----------------------------------------------------------------------------

namespace {

constexpr std::uint64_t kLabelEnd = std::uint64_t{1} << 63;
constexpr std::uint64_t kLabelStep = std::uint64_t{1} << 32;

}  // namespace

void ClientTable::labelBetween(ClientList list, ClientRecord* previous, ClientRecord& record) {
    const std::uint64_t low = previous == nullptr ? 0 : previous->label_;
    ClientRecord* following = previous == nullptr ? at(heads_[listIndex(list)]) : at(previous->next_);
    std::uint64_t high = following == nullptr ? kLabelEnd : following->label_;
    if (high - low < 2) {
        // No label left between the two: spread the run after `previous` over a wider span.
        // The run grows until its span exceeds the square of its length, which keeps the
        // relabelling to O(log n) records per insertion on average.
        std::vector<ClientRecord*> run;
        ClientRecord* end = following;
        std::uint64_t endLabel = high;
        while (end != nullptr) {
            run.push_back(end);
            end = at(end->next_);
            endLabel = end == nullptr ? kLabelEnd : end->label_;
            const std::uint64_t length = run.size() + 1;
            if (endLabel - low > length * length) break;
        }
        const std::uint64_t step = (endLabel - low) / (run.size() + 1);
        for (std::size_t i = 0; i < run.size(); ++i) run[i]->label_ = low + step * (i + 1);
        high = following->label_;
    }
    record.label_ = following == nullptr ? low + std::min(kLabelStep, (kLabelEnd - low) / 2) : low + (high - low) / 2;
}

void ClientTable::freeRecord(ClientRecord& record) {
    // Unlinking first keeps a second release from putting the record on the free list twice.
    unlinkFromList(record);
    if (journal_ != nullptr) journal_->freed(record);
    record.assign(ClientFields{});
    record.identity.value_.setKind(kIdentityFree);
    ++record.generation_;
    linkFront(ClientList::Free, record);
}

void ClientTable::reportNoMemory() {
    // Writing the line may itself need memory; a failure there must not reach the caller.
    try {
        log_.line(1, false, "DHCP  Error   malloc(%u) for client failed\n", static_cast<unsigned>(kClientRecordSize));
    } catch (const std::exception&) {
    }
}

ClientRecord* ClientTable::take() {
    {
        if (ClientRecord* reused = at(heads_[listIndex(ClientList::Free)])) {
            unlinkFromList(*reused);
            reused->assign(ClientFields{});
            return reused;
        }
        // Links are 32-bit index + 1 values; the store cannot outgrow them.
        if (store_.size() < std::numeric_limits<std::uint32_t>::max() - 1) {
            try {
                ClientRecord& fresh = store_.emplace_back();
                fresh.index_ = static_cast<std::uint32_t>(store_.size() - 1);
                return &fresh;
            } catch (const std::bad_alloc&) {
            }
        }
    }
    reportNoMemory();
    return nullptr;
}

void ClientTable::release(ClientRecord& record) {
    if (!owns(record)) return;
    freeRecord(record);
}

void ClientTable::appendStatic(ClientRecord& record) {
    if (!owns(record)) return;
    unlinkFromList(record);
    ClientRecord* tail = at(tails_[listIndex(ClientList::Static)]);
    linkAfter(ClientList::Static, tail, record);
}

void ClientTable::pushIgnored(ClientRecord& record) {
    if (!owns(record)) return;
    unlinkFromList(record);
    linkFront(ClientList::Ignored, record);
}

void ClientTable::insertDynamicAfter(ClientRecord* after, ClientRecord& record) {
    if (!owns(record) || &record == after) return;
    unlinkFromList(record);
    // A position outside the dynamic list would splice the record into another list.
    if (after != nullptr && (!owns(*after) || after->list_ != ClientList::Dynamic)) after = nullptr;
    linkAfter(ClientList::Dynamic, after, record);
}

void ClientTable::unlink(ClientRecord& record) {
    if (!owns(record)) return;
    unlinkFromList(record);
}

// ---- Handles ----------------------------------------------------------------------------------

RecordHandle ClientTable::handleOf(const ClientRecord& record) const {
    return (static_cast<RecordHandle>(record.generation_) << 32) | (static_cast<RecordHandle>(record.index_) + 1);
}

ClientRecord* ClientTable::resolve(RecordHandle handle, ClientList list) {
    const auto link = static_cast<std::uint32_t>(handle & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(handle >> 32);
    ClientRecord* record = at(link);
    if (record == nullptr || record->generation_ != generation || record->list_ != list) return nullptr;
    if (list == ClientList::None) return nullptr;
    return record;
}

ClientRecordImage ClientTable::image(const ClientRecord& record) const {
    ClientRecordImage result;
    result.handle = handleOf(record);
    if (const ClientRecord* following = at(record.next_)) result.nextHandle = handleOf(*following);
    record.copyTo(result.fields);
    return result;
}

// ---- Lookups and counters ---------------------------------------------------------------------

// ---- Indexed fields ---------------------------------------------------------------------------

void ClientTable::takeJournal(std::vector<JournalChange>& out) {
    if (journal_ == nullptr) return;
    journal_->take(out, [](const ClientRecord& r) { return r.list_ == ClientList::Dynamic; });
}

void ClientTable::setIdentity(ClientRecord& record, const Identity& identity) {
    journalTouch(record);
    if (record.list_ == ClientList::None || record.list_ == ClientList::Free) {
        record.identity = identity;
        return;
    }
    auto& map = identities_[listIndex(record.list_)];
    record.identity = identity;
    if (record.identityKey_ != 0) chainRemove(map, record.identityKey_, &ClientRecord::sameIdentity_, record);
    record.identityKey_ = indexKey(identity.kind, identity.length, identity.bytes.data());
    if (record.identityKey_ != 0) chainInsert(map.slot(record.identityKey_), &ClientRecord::sameIdentity_, record);
}

void ClientTable::setExpiry(ClientRecord& record, std::int64_t expiry) {
    if (record.expiry != expiry) journalTouch(record);
    record.expiry = expiry;
    if (record.pool_ != nullptr && record.poolPlaced_ && record.poolOffset_ < record.pool_->range())
        record.pool_->setExpiry(record.poolOffset_, expiry);
}

void ClientTable::setAddress(ClientRecord& record, Ipv4 address) {
    journalTouch(record);
    const bool linked = record.list_ != ClientList::None && record.list_ != ClientList::Free;
    if (linked) indexRemove(record);
    record.address = address;
    if (linked) indexAdd(record);
}

void ClientTable::setProfile(ClientRecord& record, std::string_view profile) {
    const StoredProfileName name(profile);  // the one step that may fail, before any change
    journalTouch(record);
    const bool linked = record.list_ != ClientList::None && record.list_ != ClientList::Free;
    if (linked) indexRemove(record);
    record.profile = name;
    if (linked) indexAdd(record);
}

// ---- Indexes ----------------------------------------------------------------------------------

// Records that many share are kept out of the chains, whose links and unlinks walk them: the
// address 0 (every ignored client, static entries known by name only) and the identity of
// freed records. Nothing looks those up on the request path; a lookup that does walks the list.
std::uint64_t ClientTable::indexKey(std::uint8_t kind, std::uint8_t length, const std::uint8_t* bytes) {
    if (kind == kIdentityFree) return 0;
    const std::uint64_t hash = identityHash(kind, length, bytes);
    return hash == 0 ? 1 : hash;
}

template <class Match>
ClientRecord* ClientTable::walk(ClientList list, const ClientRecord* after, Match&& match) {
    for (ClientRecord* r = after == nullptr ? first(list) : next(*after); r != nullptr; r = next(*r)) {
        if (match(*r)) return r;
    }
    return nullptr;
}

void ClientTable::chainInsert(std::uint32_t& head, std::uint32_t ClientRecord::*link, ClientRecord& record) {
    // Chains keep list order, so that the first match of a chain is the first of the list.
    std::uint32_t* position = &head;
    while (ClientRecord* r = at(*position)) {
        if (r->label_ > record.label_) break;
        position = &(r->*link);
    }
    record.*link = *position;
    *position = record.index_ + 1;
}

template <class Key>
void ClientTable::chainRemove(FlatHeads<Key>& heads, Key key, std::uint32_t ClientRecord::*link, ClientRecord& record) {
    std::uint32_t* head = heads.find(key);
    if (head == nullptr) return;
    // The map keeps no empty chains: the key goes with the chain's last record.
    std::uint32_t first = *head;
    std::uint32_t* position = &first;
    while (ClientRecord* r = at(*position)) {
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

void ClientTable::indexAdd(ClientRecord& record) {
    const std::size_t l = listIndex(record.list_);
    record.identityKey_ = indexKey(record.identity->kind(), record.identity->length(), record.identity->data());
    record.addressKey_ = record.address;
    if (record.identityKey_ != 0)
        chainInsert(identities_[l].slot(record.identityKey_), &ClientRecord::sameIdentity_, record);
    if (record.addressKey_ != 0)
        chainInsert(addresses_[l].slot(record.addressKey_), &ClientRecord::sameAddress_, record);
    if (record.list_ == ClientList::Dynamic) {
        relayAdd(record);
        if (PoolIndex* pool = poolFor(record)) poolAdd(*pool, record, false);
    }
}

void ClientTable::indexRemove(ClientRecord& record) {
    const std::size_t l = listIndex(record.list_);
    if (record.identityKey_ != 0)
        chainRemove(identities_[l], record.identityKey_, &ClientRecord::sameIdentity_, record);
    if (record.addressKey_ != 0) chainRemove(addresses_[l], record.addressKey_, &ClientRecord::sameAddress_, record);
    relayRemove(record);
    poolRemove(record);
}

// The relay chains are doubly linked and unordered: a relay may front every client of a
// network, so neither linking nor unlinking walks its chain.
void ClientTable::relayAdd(ClientRecord& record) {
    std::uint32_t& head = relays_.slot(record.seenVia);
    const std::uint32_t link = record.index_ + 1;
    record.relayKey_ = record.seenVia;
    record.sameRelay_ = head;
    record.previousRelay_ = 0;
    if (ClientRecord* following = at(head)) following->previousRelay_ = link;
    head = link;
    record.relayLinked_ = true;
}

void ClientTable::relayRemove(ClientRecord& record) {
    if (!record.relayLinked_) return;
    if (ClientRecord* following = at(record.sameRelay_)) following->previousRelay_ = record.previousRelay_;
    if (ClientRecord* before = at(record.previousRelay_)) {
        before->sameRelay_ = record.sameRelay_;
    } else if (std::uint32_t* head = relays_.find(record.relayKey_)) {
        if (record.sameRelay_ == 0)
            relays_.erase(record.relayKey_);
        else
            *head = record.sameRelay_;
    }
    record.sameRelay_ = 0;
    record.previousRelay_ = 0;
    record.relayLinked_ = false;
}

void ClientTable::setSeenVia(ClientRecord& record, Ipv4 seenVia) {
    if (record.seenVia == seenVia) return;
    relayRemove(record);
    record.seenVia = seenVia;
    if (record.list_ == ClientList::Dynamic) relayAdd(record);
}

ClientRecord* ClientTable::firstSeenVia(Ipv4 seenVia) {
    const std::uint32_t* head = relays_.find(seenVia);
    return head == nullptr ? nullptr : at(*head);
}

PoolIndex* ClientTable::poolFor(const ClientRecord& record) {
    for (const auto& pool : pools_) {
        if (profileNameEquals(pool->name(), record.profile))
            return ipv4ToHostOrder(record.address) >= pool->base() ? pool.get() : nullptr;
    }
    return nullptr;
}

void ClientTable::poolAdd(PoolIndex& pool, ClientRecord& record, bool building) {
    const std::uint32_t offset = ipv4ToHostOrder(record.address) - pool.base();
    const std::uint32_t link = record.index_ + 1;
    record.pool_ = &pool;
    record.poolOffset_ = offset;
    record.poolPlaced_ =
        offset < pool.range() ? pool.place(offset, link, record.expiry) : pool.beyond.emplace(offset, link).second;
    if (record.poolPlaced_) return;
    // Two records at one offset: built from the list, the index holds the first in list order;
    // a record added later may come before it, so the pool is rebuilt when next asked for.
    ++pool.shadowed;
    if (!building) pool.stale = true;
}

void ClientTable::poolRemove(ClientRecord& record) {
    PoolIndex* pool = record.pool_;
    if (pool == nullptr) return;
    record.pool_ = nullptr;
    if (pool->shadowed != 0) {
        // A record this one shadowed, or that shadowed it, would take its place: rebuild.
        pool->stale = true;
        return;
    }
    if (!record.poolPlaced_) return;
    if (record.poolOffset_ < pool->range())
        pool->remove(record.poolOffset_);
    else
        pool->beyond.erase(record.poolOffset_);
}

PoolIndex& ClientTable::poolIndex(const PoolRef& ref) {
    const std::uint32_t base = ipv4ToHostOrder(ref.base);
    // An allocation asks about the same pool several times: the last one answers first.
    if (lastPool_ != nullptr && lastPool_->name() == ref.name && lastPool_->base() == base &&
        lastPool_->range() == ref.range && !lastPool_->stale)
        return *lastPool_;
    for (auto it = pools_.begin(); it != pools_.end(); ++it) {
        if (!profileNameEquals((*it)->name(), ref.name)) continue;
        if ((*it)->base() == base && (*it)->range() == ref.range && !(*it)->stale) {
            lastPool_ = it->get();
            return **it;
        }
        for (ClientRecord* r = first(ClientList::Dynamic); r != nullptr; r = next(*r)) {
            if (r->pool_ == it->get()) r->pool_ = nullptr;
        }
        if (lastPool_ == it->get()) lastPool_ = nullptr;
        pools_.erase(it);
        break;
    }
    auto pool = std::make_unique<PoolIndex>(std::string(ref.name), base, ref.range);
    for (ClientRecord* r = first(ClientList::Dynamic); r != nullptr; r = next(*r)) {
        if (profileNameEquals(r->profile, ref.name) && ipv4ToHostOrder(r->address) >= base) poolAdd(*pool, *r, true);
    }
    pools_.push_back(std::move(pool));
    lastPool_ = pools_.back().get();
    return *pools_.back();
}

ClientRecord* ClientTable::atOffset(PoolIndex& pool, std::uint32_t offset) { return at(pool.at(offset)); }

// ---- Lookups ----------------------------------------------------------------------------------

bool ClientTable::precedes(const ClientRecord& a, const ClientRecord& b) const { return a.label_ < b.label_; }

ClientRecord* ClientTable::findIdentity(ClientList list, const Identity& identity, const ClientRecord* after) {
    if (list == ClientList::None || list == ClientList::Free) return nullptr;
    const std::uint64_t key = indexKey(identity.kind, identity.length, identity.bytes.data());
    if (key == 0) return walk(list, after, [&](const ClientRecord& r) { return identityEquals(r.identity, identity); });
    const std::uint32_t* head = identities_[listIndex(list)].find(key);
    if (head == nullptr) return nullptr;
    for (ClientRecord* r = at(*head); r != nullptr; r = at(r->sameIdentity_)) {
        if ((after == nullptr || r->label_ > after->label_) && identityEquals(r->identity, identity)) return r;
    }
    return nullptr;
}

ClientRecord* ClientTable::findAddress(ClientList list, Ipv4 address, const ClientRecord* after) {
    if (list == ClientList::None || list == ClientList::Free) return nullptr;
    if (address == 0) return walk(list, after, [](const ClientRecord&) { return true; });
    const std::uint32_t* head = addresses_[listIndex(list)].find(address);
    if (head == nullptr) return nullptr;
    for (ClientRecord* r = at(*head); r != nullptr; r = at(r->sameAddress_)) {
        if (after == nullptr || r->label_ > after->label_) return r;
    }
    return nullptr;
}

std::optional<std::uint32_t> ClientTable::offsetIn(const PoolRef& pool, const ClientRecord& record) {
    const std::uint32_t base = ipv4ToHostOrder(pool.base);
    const std::uint32_t address = ipv4ToHostOrder(record.address);
    if (address < base || !profileNameEquals(record.profile, pool.name)) return std::nullopt;
    return address - base;
}

ClientRecord* ClientTable::poolRecordAt(const PoolRef& pool, std::uint32_t offset) {
    return atOffset(poolIndex(pool), offset);
}

std::uint32_t ClientTable::poolFirstFree(const PoolRef& pool) { return poolIndex(pool).firstFree(); }

std::uint32_t ClientTable::poolOccupied(const PoolRef& pool) { return poolIndex(pool).occupied(); }

ClientRecord* ClientTable::poolFirstAtOrAbove(const PoolRef& ref, std::uint32_t offset) {
    PoolIndex& pool = poolIndex(ref);
    if (offset < pool.range()) {
        if (auto found = pool.firstOccupiedFrom(offset); found && *found < pool.range()) return atOffset(pool, *found);
    }
    const auto it = pool.beyond.lower_bound(offset);
    return it == pool.beyond.end() ? nullptr : at(it->second);
}

ClientRecord* ClientTable::poolFirstExpired(const PoolRef& ref, std::uint32_t from, std::int64_t now) {
    PoolIndex& pool = poolIndex(ref);
    const auto found = pool.firstExpiredFrom(from, now);
    return found && *found < pool.range() ? atOffset(pool, *found) : nullptr;
}

ClientRecord* ClientTable::poolEarliest(const PoolRef& ref, std::uint32_t upTo, std::int64_t now, bool lastOfTies) {
    PoolIndex& pool = poolIndex(ref);
    const auto found = pool.earliest(std::min(upTo, pool.range() - 1), now, lastOfTies);
    return found ? atOffset(pool, *found) : nullptr;
}

const ClientRecord* ClientTable::findStaticByIdentity(const Identity& identity, std::string_view profile,
                                                      const ClientRecord* skip) {
    for (const ClientRecord* r = findIdentity(ClientList::Static, identity, nullptr); r != nullptr;
         r = findIdentity(ClientList::Static, identity, r)) {
        if (r != skip && profileNameEquals(r->profile, profile)) return r;
    }
    return nullptr;
}

const ClientRecord* ClientTable::findStaticByAddress(Ipv4 address) {
    return findStaticByAddressExcept(address, nullptr);
}

const ClientRecord* ClientTable::findStaticByAddressExcept(Ipv4 address, const ClientRecord* skip) {
    if (address == 0 || address == kNeverServe) return nullptr;
    for (const ClientRecord* r = findAddress(ClientList::Static, address, nullptr); r != nullptr;
         r = findAddress(ClientList::Static, address, r)) {
        if (r != skip) return r;
    }
    return nullptr;
}

ListCounters ClientTable::count(ClientList list) const {
    ListCounters counters;
    for (const ClientRecord* r = first(list); r != nullptr; r = next(*r)) {
        ++counters.total;
        const bool used = list == ClientList::Dynamic ? r->expiry != 0 : r->lastAccess != 0;
        if (used && list != ClientList::Free) ++counters.used;
    }
    return counters;
}

std::atomic<std::int32_t>& ClientTable::changes(ClientList list) {
    const std::size_t l = listIndex(list);
    return l < std::size(changes_) ? changes_[l] : unsavedElsewhere_;
}

// ---- Names ---------------------------------------------------------------------------------

void ClientTable::renameProfileInRecords(std::string_view oldName, std::string_view newName) {
    try {
        const std::string name = fitText(newName, kProfileNameChars);
        for (ClientList list : {ClientList::Static, ClientList::Dynamic}) {
            for (ClientRecord* r = first(list); r != nullptr; r = next(*r)) {
                if (profileNameEquals(r->profile, oldName)) setProfile(*r, name);
            }
            markChanged(list);
        }
    } catch (const std::bad_alloc&) {
        markChanged(ClientList::Static);
        markChanged(ClientList::Dynamic);
    }
}

std::size_t ClientTable::size(ClientList list) const {
    return list == ClientList::None ? 0 : sizes_[listIndex(list)].load();
}

ClientRecord* ClientTable::last(ClientList list) {
    if (list == ClientList::None) return nullptr;
    return at(tails_[listIndex(list)]);
}

}  // namespace tolmark
