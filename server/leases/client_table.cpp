#include "server/leases/client_table.h"

#include <algorithm>
#include <exception>
#include <limits>
#include <new>

namespace tolmark {

namespace {

constexpr std::size_t kProfileChars = 23;
constexpr std::size_t kHostNameChars = 158;
constexpr std::size_t kRemarkChars = 31;
constexpr std::size_t kIdentityBytes = 64;

std::size_t listIndex(ClientList list) {
    return static_cast<std::size_t>(list);
}
bool isLinkedList(ClientList list) {
    return list != ClientList::None;
}

std::string fitText(std::string_view text, std::size_t maxChars) {
    return std::string(text.substr(0, std::min(text.size(), maxChars)));
}

void clearIdentity(Identity& identity) {
    identity = Identity{};
}

bool isReservation(const ClientFields& record) {
    return record.expiry == kExpiryReserved && record.identity.kind == kIdentityHardware &&
           std::all_of(record.identity.bytes.begin(), record.identity.bytes.end(),
                       [](std::uint8_t b) { return b == 0; });
}

// A record belongs to a pool walk when it carries the profile's name; the walk stops at the
// first such record at or above the wanted address, which keeps each pool ordered.
bool belongsAtOrAbove(const ClientFields& record, const Profile& profile, Ipv4 address) {
    return profileNameEquals(record.profile, profile.name) &&
           ipv4ToHostOrder(record.address) >= ipv4ToHostOrder(address);
}

bool profileExists(std::string_view name, const ProfileList& profiles) {
    // An empty name means the first profile.
    return name.empty() ? !profiles.empty() : profiles.find(name) != nullptr;
}

}  // namespace

bool identityEquals(const Identity& a, const Identity& b) {
    if (a.kind != b.kind || a.length != b.length)
        return false;
    const std::size_t length = std::min<std::size_t>(a.length, kIdentityBytes);
    return std::equal(a.bytes.begin(), a.bytes.begin() + length, b.bytes.begin());
}

ClientTable::ClientTable(LogSink& log) : log_(log) {
    for (auto& count : changes_) count.store(0);
}

// ---- Store and links --------------------------------------------------------------------------

ClientRecord* ClientTable::at(std::uint32_t linkIndex) {
    if (linkIndex == 0 || linkIndex > store_.size())
        return nullptr;
    return &store_[linkIndex - 1];
}

const ClientRecord* ClientTable::at(std::uint32_t linkIndex) const {
    if (linkIndex == 0 || linkIndex > store_.size())
        return nullptr;
    return &store_[linkIndex - 1];
}

bool ClientTable::owns(const ClientRecord& record) const {
    return record.index_ < store_.size() && &store_[record.index_] == &record;
}

ClientRecord* ClientTable::first(ClientList list) {
    return isLinkedList(list) ? at(heads_[listIndex(list)]) : nullptr;
}

ClientRecord* ClientTable::next(const ClientRecord& record) {
    return at(record.next_);
}

const ClientRecord* ClientTable::first(ClientList list) const {
    return isLinkedList(list) ? at(heads_[listIndex(list)]) : nullptr;
}

const ClientRecord* ClientTable::next(const ClientRecord& record) const {
    return at(record.next_);
}

void ClientTable::pushFrontLocked(ClientList list, ClientRecord& record) {
    const std::size_t l = listIndex(list);
    record.next_ = heads_[l];
    heads_[l] = record.index_ + 1;
    if (tails_[l] == 0)
        tails_[l] = record.index_ + 1;
    record.list_ = list;
    ++sizes_[l];
}

void ClientTable::insertAfterLocked(ClientList list, ClientRecord* after, ClientRecord& record) {
    if (after == nullptr) {
        pushFrontLocked(list, record);
        return;
    }
    const std::size_t l = listIndex(list);
    record.next_ = after->next_;
    after->next_ = record.index_ + 1;
    if (tails_[l] == after->index_ + 1)
        tails_[l] = record.index_ + 1;
    record.list_ = list;
    ++sizes_[l];
}

void ClientTable::unlinkLocked(ClientRecord& record) {
    if (!isLinkedList(record.list_))
        return;
    const std::size_t l = listIndex(record.list_);
    const std::uint32_t link = record.index_ + 1;
    std::uint32_t previous = 0;
    std::uint32_t current = heads_[l];
    while (current != 0 && current != link) {
        previous = current;
        current = at(current)->next_;
    }
    if (current == link) {
        if (previous == 0) {
            heads_[l] = record.next_;
        } else {
            at(previous)->next_ = record.next_;
        }
        if (tails_[l] == link)
            tails_[l] = previous;
        --sizes_[l];
    }
    record.next_ = 0;
    record.list_ = ClientList::None;
}

void ClientTable::releaseLocked(ClientRecord& record) {
    // Unlinking first keeps a second release from putting the record on the free list twice.
    unlinkLocked(record);
    static_cast<ClientFields&>(record) = ClientFields{};
    record.identity.kind = kIdentityFree;
    ++record.generation_;
    pushFrontLocked(ClientList::Free, record);
}

void ClientTable::reportNoMemory() {
    // Writing the line may itself need memory; a failure there must not reach the caller.
    try {
        log_.line(1, false, "DHCP  Error   malloc(%u) for client failed\n",
                  static_cast<unsigned>(kClientRecordSize));
    } catch (const std::exception&) {
    }
}

ClientRecord* ClientTable::take() {
    {
        std::lock_guard lock(listLock_);
        if (ClientRecord* reused = at(heads_[listIndex(ClientList::Free)])) {
            unlinkLocked(*reused);
            static_cast<ClientFields&>(*reused) = ClientFields{};
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
    if (!owns(record))
        return;
    std::lock_guard lock(listLock_);
    releaseLocked(record);
}

void ClientTable::appendStatic(ClientRecord& record) {
    if (!owns(record))
        return;
    std::lock_guard lock(listLock_);
    unlinkLocked(record);
    ClientRecord* tail = at(tails_[listIndex(ClientList::Static)]);
    insertAfterLocked(ClientList::Static, tail, record);
}

void ClientTable::pushIgnored(ClientRecord& record) {
    if (!owns(record))
        return;
    std::lock_guard lock(listLock_);
    unlinkLocked(record);
    pushFrontLocked(ClientList::Ignored, record);
}

void ClientTable::insertDynamicAfter(ClientRecord* after, ClientRecord& record) {
    if (!owns(record) || &record == after)
        return;
    std::lock_guard lock(listLock_);
    unlinkLocked(record);
    // A position outside the dynamic list would splice the record into another list.
    if (after != nullptr && (!owns(*after) || after->list_ != ClientList::Dynamic))
        after = nullptr;
    insertAfterLocked(ClientList::Dynamic, after, record);
}

void ClientTable::unlink(ClientRecord& record) {
    if (!owns(record))
        return;
    std::lock_guard lock(listLock_);
    unlinkLocked(record);
}

// ---- Handles ----------------------------------------------------------------------------------

RecordHandle ClientTable::handleOf(const ClientRecord& record) const {
    return (static_cast<RecordHandle>(record.generation_) << 32) |
           (static_cast<RecordHandle>(record.index_) + 1);
}

ClientRecord* ClientTable::resolve(RecordHandle handle, ClientList list) {
    const auto link = static_cast<std::uint32_t>(handle & 0xFFFFFFFFu);
    const auto generation = static_cast<std::uint32_t>(handle >> 32);
    ClientRecord* record = at(link);
    if (record == nullptr || record->generation_ != generation || record->list_ != list)
        return nullptr;
    if (list == ClientList::None)
        return nullptr;
    return record;
}

ClientRecordImage ClientTable::image(const ClientRecord& record) const {
    ClientRecordImage result;
    result.handle = handleOf(record);
    if (const ClientRecord* following = at(record.next_))
        result.nextHandle = handleOf(*following);
    result.fields = record;
    return result;
}

// ---- Lookups and counters ---------------------------------------------------------------------

const ClientRecord* ClientTable::findStaticByIdentity(const Identity& identity, std::string_view profile,
                                                      const ClientRecord* skip) const {
    for (const ClientRecord* r = first(ClientList::Static); r != nullptr; r = next(*r)) {
        if (r != skip && identityEquals(r->identity, identity) && profileNameEquals(r->profile, profile))
            return r;
    }
    return nullptr;
}

const ClientRecord* ClientTable::findStaticByAddress(Ipv4 address) const {
    return findStaticByAddressExcept(address, nullptr);
}

const ClientRecord* ClientTable::findStaticByAddressExcept(Ipv4 address, const ClientRecord* skip) const {
    if (address == 0 || address == kNeverServe)
        return nullptr;
    for (const ClientRecord* r = first(ClientList::Static); r != nullptr; r = next(*r)) {
        if (r != skip && r->address == address)
            return r;
    }
    return nullptr;
}

ListCounters ClientTable::count(ClientList list) const {
    ListCounters counters;
    for (const ClientRecord* r = first(list); r != nullptr; r = next(*r)) {
        ++counters.total;
        const bool used = list == ClientList::Dynamic ? r->expiry != 0 : r->lastAccess != 0;
        if (used && list != ClientList::Free)
            ++counters.used;
    }
    return counters;
}

std::atomic<std::int32_t>& ClientTable::changes(ClientList list) {
    const std::size_t l = listIndex(list);
    return l < std::size(changes_) ? changes_[l] : unsavedElsewhere_;
}

// ---- Reservations -----------------------------------------------------------------------------

void ClientTable::reserveAddress(Ipv4 address, const ProfileList& profiles) {
    const auto& all = profiles.profiles();
    const auto pool = std::find_if(all.begin(), all.end(),
                                   [&](const Profile& p) { return p.hasPool() && p.poolContains(address); });
    if (pool == all.end())
        return;
    ClientRecord* record = findOrInsertDynamic(*pool, address);
    if (record == nullptr)
        return;
    try {
        std::string name = fitText(pool->name, kProfileChars);
        record->profile = std::move(name);
    } catch (const std::bad_alloc&) {
        // The reservation below still holds the address; only the name is missing.
    }
    clearIdentity(record->identity);
    record->address = address;
    record->expiry = kExpiryReserved;
    markChanged(ClientList::Dynamic);
}

ClientRecord* ClientTable::findOrInsertDynamic(const Profile& profile, Ipv4 address) {
    ClientRecord* passed = nullptr;
    for (ClientRecord* r = first(ClientList::Dynamic); r != nullptr; r = next(*r)) {
        if (r->address == address)
            return r;
        if (belongsAtOrAbove(*r, profile, address))
            break;
        passed = r;
    }
    ClientRecord* record = take();
    if (record == nullptr)
        return nullptr;
    try {
        record->profile = fitText(profile.name, kProfileChars);
    } catch (const std::bad_alloc&) {
        release(*record);
        return nullptr;
    }
    record->address = address;
    insertDynamicAfter(passed, *record);
    return record;
}

void ClientTable::releaseReservation(Ipv4 address) {
    for (ClientRecord* r = first(ClientList::Dynamic); r != nullptr; r = next(*r)) {
        if (r->address == address && isReservation(*r)) {
            r->expiry = 0;
            markChanged(ClientList::Dynamic);
            return;
        }
    }
}

void ClientTable::releaseUnsharedReservation(Ipv4 address, const ClientRecord* leaving) {
    // Static records may share an address when duplicates were allowed; the pool address stays
    // withheld while any of them is left.
    if (address == 0 || findStaticByAddressExcept(address, leaving) != nullptr)
        return;
    releaseReservation(address);
}

void ClientTable::reserveAllStatic(const ProfileList& profiles) {
    for (const ClientRecord* r = first(ClientList::Static); r != nullptr; r = next(*r)) {
        if (r->address != 0)
            reserveAddress(r->address, profiles);
    }
}

// ---- Operations of the control pipe ------------------------------------------------------------

int ClientTable::profileUse(std::string_view name, const ProfileList& profiles) const {
    const Profile* profile = profiles.find(name);
    if (profile == nullptr)
        return 0;
    const bool isFirst = profile == profiles.first();
    for (const ClientRecord* r = first(ClientList::Static); r != nullptr; r = next(*r)) {
        // A static record without a profile name is served by the first profile.
        if (profileNameEquals(r->profile, name) || (isFirst && r->profile.empty()))
            return 2;
    }
    return 1;
}

void ClientTable::renameProfileInRecords(std::string_view oldName, std::string_view newName) {
    try {
        const std::string name = fitText(newName, kProfileChars);
        for (ClientList list : {ClientList::Static, ClientList::Dynamic}) {
            for (ClientRecord* r = first(list); r != nullptr; r = next(*r)) {
                if (profileNameEquals(r->profile, oldName))
                    r->profile = name;
            }
            markChanged(list);
        }
    } catch (const std::bad_alloc&) {
        markChanged(ClientList::Static);
        markChanged(ClientList::Dynamic);
    }
}

bool ClientTable::staticChangeAllowed(const ClientFields& fields, bool allowDuplicateAddress,
                                      const ProfileList& profiles, const ClientRecord* self) const {
    if (fields.identity.length > kIdentityBytes)
        return false;
    if (findStaticByIdentity(fields.identity, fields.profile, self) != nullptr)
        return false;
    if (!allowDuplicateAddress && findStaticByAddressExcept(fields.address, self) != nullptr)
        return false;
    return profileExists(fields.profile, profiles);
}

ClientRecord* ClientTable::addStatic(const ClientFields& fields, bool allowDuplicateAddress,
                                     const ProfileList& profiles) {
    if (!staticChangeAllowed(fields, allowDuplicateAddress, profiles, nullptr))
        return nullptr;
    ClientFields copy;
    try {
        copy = fields;
        copy.profile = fitText(fields.profile, kProfileChars);
        copy.hostName = fitText(fields.hostName, kHostNameChars);
        copy.remark = fitText(fields.remark, kRemarkChars);
    } catch (const std::bad_alloc&) {
        reportNoMemory();
        return nullptr;
    }
    ClientRecord* record = take();
    if (record == nullptr)
        return nullptr;
    static_cast<ClientFields&>(*record) = std::move(copy);
    appendStatic(*record);
    if (record->address != 0)
        reserveAddress(record->address, profiles);
    markChanged(ClientList::Static);
    return record;
}

bool ClientTable::modifyStatic(ClientRecord& record, const ClientFields& fields, bool allowDuplicateAddress,
                               const ProfileList& profiles) {
    if (!owns(record) || record.list_ != ClientList::Static)
        return false;
    if (!staticChangeAllowed(fields, allowDuplicateAddress, profiles, &record))
        return false;
    std::string profile, hostName, remark;
    try {
        profile = fitText(fields.profile, kProfileChars);
        hostName = fitText(fields.hostName, kHostNameChars);
        remark = fitText(fields.remark, kRemarkChars);
    } catch (const std::bad_alloc&) {
        return false;
    }
    record.identity = fields.identity;
    record.profile = std::move(profile);
    record.hostName = std::move(hostName);
    record.remark = std::move(remark);
    const Ipv4 oldAddress = record.address;
    record.address = fields.address;
    if (oldAddress != fields.address) {
        releaseUnsharedReservation(oldAddress, &record);
        if (fields.address != 0)
            reserveAddress(fields.address, profiles);
    }
    markChanged(ClientList::Static);
    return true;
}

bool ClientTable::deleteRecord(ClientList list, ClientRecord& record, const ProfileList& /*profiles*/) {
    if (!owns(record) || record.list_ != list)
        return false;
    switch (list) {
        case ClientList::Static: {
            const Ipv4 address = record.address;
            unlink(record);
            releaseUnsharedReservation(address, nullptr);
            release(record);
            break;
        }
        case ClientList::Ignored:
            unlink(record);
            release(record);
            break;
        case ClientList::Dynamic:
            // The record keeps its place and address so the pool order stays intact; the
            // allocator reuses it like any expired lease.
            record.identity = Identity{};
            record.identity.kind = kIdentityFree;
            record.lastAccess = 0;
            record.expiry = 0;
            record.remark.clear();
            break;
        default:
            return false;
    }
    markChanged(list);
    return true;
}

std::size_t ClientTable::purgeDynamic(const ProfileList& profiles, bool autoExclude) {
    std::size_t removed = 0;
    {
        std::lock_guard lock(listLock_);
        const std::size_t l = listIndex(ClientList::Dynamic);
        ClientRecord* previous = nullptr;
        ClientRecord* r = at(heads_[l]);
        while (r != nullptr) {
            ClientRecord* following = at(r->next_);
            const Profile* profile = profiles.find(r->profile);
            if (profile != nullptr && !(profile->hasPool() && profile->poolContains(r->address))) {
                // Spliced out here rather than by unlinkLocked, which would walk the list again.
                if (previous == nullptr) {
                    heads_[l] = r->next_;
                } else {
                    previous->next_ = r->next_;
                }
                if (tails_[l] == r->index_ + 1)
                    tails_[l] = previous == nullptr ? 0 : previous->index_ + 1;
                --sizes_[l];
                r->next_ = 0;
                r->list_ = ClientList::None;
                releaseLocked(*r);
                ++removed;
            } else {
                previous = r;
            }
            r = following;
        }
    }
    changes(ClientList::Dynamic).fetch_add(static_cast<std::int32_t>(removed));
    if (autoExclude)
        reserveAllStatic(profiles);
    return removed;
}

std::size_t ClientTable::size(ClientList list) const {
    return list == ClientList::None ? 0 : sizes_[listIndex(list)].load();
}

ClientRecord* ClientTable::last(ClientList list) {
    if (list == ClientList::None) return nullptr;
    std::lock_guard lock(listLock_);
    return at(tails_[listIndex(list)]);
}

}  // namespace tolmark
