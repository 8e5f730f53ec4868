#include "server/leases/client_table.h"

#include <algorithm>
#include <exception>
#include <new>

namespace tolmark {

namespace {

std::string fitText(std::string_view text, std::size_t maxChars) {
    return std::string(text.substr(0, std::min(text.size(), maxChars)));
}

bool indexed(ClientList list) { return list != ClientList::None && list != ClientList::Free; }

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

// A million leases must stay under 160 bytes each, indexes included: the record takes 128 of
// them, two cache lines.
static_assert(sizeof(void*) != 8 || sizeof(ClientRecord) <= 128, "the client record grew");

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

ClientTable::ClientTable(LogSink& log) : log_(log) {}

bool ClientTable::fill(ClientRecord& record, const ClientFields& fields) {
    if (record.list_ != ClientList::None) return false;
    record.assign(fields);
    return true;
}

// ---- Taking, freeing and linking --------------------------------------------------------------

void ClientTable::linkAfter(ClientList list, ClientRecord* after, ClientRecord& record) {
    if (list == ClientList::Dynamic && journal_ != nullptr && !journalPaused_) journal_->touched(record);
    lists_.linkAfter(list, after, record);
    if (indexed(list)) indexAdd(record);
}

void ClientTable::unlinkFromList(ClientRecord& record) {
    if (record.list_ == ClientList::None) return;
    journalTouch(record);
    if (indexed(record.list_)) indexRemove(record);
    lists_.unlink(record);
}

void ClientTable::freeRecord(ClientRecord& record) {
    // Unlinking first keeps a second release from putting the record on the free list twice.
    unlinkFromList(record);
    if (journal_ != nullptr) journal_->freed(record);
    record.assign(ClientFields{});
    record.identity.value_.setKind(kIdentityFree);
    RecordStore::retire(record);
    linkAfter(ClientList::Free, nullptr, record);
}

void ClientTable::reportNoMemory() {
    // Writing the line may itself need memory; a failure there must not reach the caller.
    try {
        log_.line(1, false, "DHCP  Error   malloc(%u) for client failed\n", static_cast<unsigned>(kClientRecordSize));
    } catch (const std::exception&) {
    }
}

ClientRecord* ClientTable::take() {
    if (ClientRecord* reused = lists_.first(ClientList::Free)) {
        unlinkFromList(*reused);
        reused->assign(ClientFields{});
        return reused;
    }
    if (ClientRecord* fresh = store_.append()) return fresh;
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
    linkAfter(ClientList::Static, lists_.last(ClientList::Static), record);
}

void ClientTable::pushIgnored(ClientRecord& record) {
    if (!owns(record)) return;
    unlinkFromList(record);
    linkAfter(ClientList::Ignored, nullptr, record);
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

bool ClientTable::reserve(ClientList list, std::size_t records) {
    if (!store_.reserve(static_cast<std::size_t>(store_.size()) + records)) return false;
    return chains_.reserve(list, lists_.size(list) + records);
}

// ---- Handles ----------------------------------------------------------------------------------

ClientRecord* ClientTable::resolve(RecordHandle handle, ClientList list) {
    ClientRecord* record = store_.resolve(handle);
    if (record == nullptr || record->list_ != list || list == ClientList::None) return nullptr;
    return record;
}

ClientRecordImage ClientTable::image(const ClientRecord& record) const {
    ClientRecordImage result;
    result.handle = handleOf(record);
    if (const ClientRecord* following = lists_.next(record)) result.nextHandle = handleOf(*following);
    record.copyTo(result.fields);
    return result;
}

// ---- Indexed fields ---------------------------------------------------------------------------

void ClientTable::indexAdd(ClientRecord& record) {
    chains_.add(record);
    if (record.list_ == ClientList::Dynamic) {
        relays_.add(record);
        pools_.add(record);
    }
}

void ClientTable::indexRemove(ClientRecord& record) {
    chains_.remove(record);
    relays_.remove(record);
    pools_.remove(record);
}

void ClientTable::takeJournal(std::vector<JournalChange>& out) {
    if (journal_ == nullptr) return;
    journal_->take(out, [](const ClientRecord& r) { return r.list_ == ClientList::Dynamic; });
}

void ClientTable::setIdentity(ClientRecord& record, const Identity& identity) {
    journalTouch(record);
    chains_.identityLeaving(record);
    record.identity = identity;
    chains_.identityArrived(record);
}

void ClientTable::setExpiry(ClientRecord& record, std::int64_t expiry) {
    const std::int64_t previous = record.expiry;
    if (previous == expiry) return;
    journalTouch(record);
    record.expiry = expiry;
    pools_.expiryChanged(record, previous);
}

void ClientTable::setAddress(ClientRecord& record, Ipv4 address) {
    journalTouch(record);
    const bool linked = indexed(record.list_);
    if (linked) indexRemove(record);
    record.address = address;
    if (linked) indexAdd(record);
}

void ClientTable::setProfile(ClientRecord& record, std::string_view profile) {
    const StoredProfileName name(profile);  // the one step that may fail, before any change
    journalTouch(record);
    const bool linked = indexed(record.list_);
    if (linked) indexRemove(record);
    record.profile = name;
    if (linked) indexAdd(record);
}

void ClientTable::setSeenVia(ClientRecord& record, Ipv4 seenVia) {
    if (record.seenVia == seenVia) return;
    relays_.remove(record);
    record.seenVia = seenVia;
    if (record.list_ == ClientList::Dynamic) relays_.add(record);
}

// ---- Lookups ----------------------------------------------------------------------------------

ClientRecord* ClientTable::findIdentity(ClientList list, const Identity& identity, const ClientRecord* after) {
    return chains_.findIdentity(list, identity, after);
}

ClientRecord* ClientTable::findAddress(ClientList list, Ipv4 address, const ClientRecord* after) {
    return chains_.findAddress(list, address, after);
}

ClientRecord* ClientTable::firstSeenVia(Ipv4 seenVia) { return relays_.first(seenVia); }

std::optional<std::uint32_t> ClientTable::offsetIn(const PoolRef& pool, const ClientRecord& record) {
    const std::uint32_t base = ipv4ToHostOrder(pool.base);
    const std::uint32_t address = ipv4ToHostOrder(record.address);
    if (address < base || !profileNameEquals(record.profile, pool.name)) return std::nullopt;
    return address - base;
}

ClientRecord* ClientTable::poolRecordAt(const PoolRef& pool, std::uint32_t offset) {
    return pools_.at(pools_.of(pool), offset);
}

std::uint32_t ClientTable::poolFirstFree(const PoolRef& pool) { return pools_.of(pool).firstFree(); }

std::uint32_t ClientTable::poolOccupied(const PoolRef& pool) { return pools_.of(pool).occupied(); }

ClientRecord* ClientTable::poolFirstAtOrAbove(const PoolRef& ref, std::uint32_t offset) {
    PoolIndex& pool = pools_.of(ref);
    if (offset < pool.range()) {
        if (auto found = pool.firstOccupiedFrom(offset); found && *found < pool.range()) return pools_.at(pool, *found);
    }
    const auto it = pool.beyond.lower_bound(offset);
    return it == pool.beyond.end() ? nullptr : pools_.record(it->second);
}

ClientRecord* ClientTable::poolFirstExpired(const PoolRef& ref, std::uint32_t from, std::int64_t now) {
    PoolIndex& pool = pools_.of(ref);
    const auto found = pool.firstExpiredFrom(from, now);
    return found && *found < pool.range() ? pools_.at(pool, *found) : nullptr;
}

ClientRecord* ClientTable::poolEarliest(const PoolRef& ref, std::uint32_t upTo, std::int64_t now, bool lastOfTies) {
    PoolIndex& pool = pools_.of(ref);
    const auto found = pool.earliest(std::min(upTo, pool.range() - 1), now, lastOfTies);
    return found ? pools_.at(pool, *found) : nullptr;
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

}  // namespace tolmark
