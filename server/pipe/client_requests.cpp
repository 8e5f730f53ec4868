// Client records: find, add, change, remove and list. Records are named by the table's own
// generation-checked handles, so a handle of a removed or reused record names nothing.
//
// The engine lock guards the client table, its records, links and indexes: every request here
// takes it, reading ones included, since the receive loop rewrites records under it. A change
// reaches the lease database, when there is one, before the lock is given back.

#include <optional>
#include <utility>

#include "common/client_record.h"
#include "common/pipe_requests.h"
#include "server/dhcp/dns_removal.h"
#include "server/leases/client_rules.h"
#include "server/pipe/request_parts.h"

namespace tolmark::pipe_requests {

namespace {

// After a change, under the engine lock: what changed goes to the lease database.
void shareChanges(SharedLeases* shared, EngineState& engine, std::int64_t now) REQUIRES(engine.lock) {
    if (shared != nullptr) shared->writeJournal(engine.clients, now);
}

std::atomic<std::int32_t>& usedCounter(StatusCounters& counters, ClientList list) {
    switch (list) {
        case ClientList::Static:
            return counters.staticUsed;
        case ClientList::Dynamic:
            return counters.dynamicUsed;
        default:
            return counters.ignoredUsed;
    }
}

template <class Fields>
bool counted(const Fields& fields, ClientList list) {
    return list == ClientList::Dynamic ? fields.expiry != 0 : fields.lastAccess != 0;
}

// An identity the client file holds and reads back as itself: a hardware address of a length
// the file writes whole, or a relay or client identifier value of at least one byte. Any other
// would be taken now and be lost, or come back as another identity, when the file is next
// written and read.
bool storableIdentity(const Identity& identity) {
    if (identity.kind == kIdentityHardware) return hardwareAddressReadsBack(identity.length);
    return identity.kind <= kIdentityClientId && identity.length >= 1 && identity.length <= kIdentityBytes;
}

// What a static entry registered, to be removed when the entry goes or changes; none without a
// DNS queue.
std::optional<dhcp::DnsUpdate> staticRemoval(const ClientAccess& context, const EngineState& engine,
                                             const ClientRecord& record) REQUIRES(engine.lock) {
    if (context.dnsQueue == nullptr) return std::nullopt;
    return dhcp::staticEntryRemoval(engine.profiles, record);
}

PipeMessage listRecords(ClientRequest& request, ClientList list) {
    ClientAccess& context = request.context;
    RecordHandle handle = 0;
    if (request.value != 0) {
        const std::optional<std::uint64_t> from = decodeRequestHandle(request.bytes);
        if (!from) return sizeCheckFailed(request);
        handle = *from;
        // Handle 0 is the end of a walk.
        if (handle == 0) return statusReply(kPipeDone);
    }
    std::optional<ClientRecordImage> image;
    {
        Hold engine(context.engine.lock);
        ClientTable& clients = context.engine.clients;
        const ClientRecord* record = handle == 0 ? clients.first(list) : clients.resolve(handle, list);
        if (record != nullptr) image = clients.image(*record);
    }
    if (!image) return statusReply(kPipeDone);
    return valueReply(usedCounter(context.counters, list), encodeClientRecord(*image));
}

}  // namespace

PipeMessage findClient(ClientRequest& request) {
    const std::optional<FindClientRequest> find = decodeFindClient(request.bytes);
    if (!find) return sizeCheckFailed(request);
    RecordHandle handle = 0;
    if (find->identity.length <= kFindIdentityWidth) {
        EngineState& engine = request.context.engine;
        Hold hold(engine.lock);
        if (const ClientRecord* found = engine.clients.findStaticByIdentity(find->identity, find->profile, nullptr))
            handle = engine.clients.handleOf(*found);
    }
    return encodeHandleReply(handle);
}

PipeMessage addClient(ClientRequest& request) {
    const std::optional<ClientChangeRequest> add = decodeAddClient(request.bytes);
    if (!add || !storableIdentity(add->fields.identity)) return valueReply(0);
    ClientAccess& context = request.context;
    EngineState& engine = context.engine;
    Hold hold(engine.lock);
    if (addStatic(engine.clients, add->fields, add->skipAddressCheck, engine.profiles,
                  dhcp::queueTableLeaseRemovals(context.dnsQueue, context.clock, engine.profiles)) == nullptr)
        return valueReply(0);
    shareChanges(context.shared, engine, add->fields.lastAccess);
    context.counters.staticCount.fetch_add(1);
    if (add->fields.lastAccess != 0) context.counters.staticUsed.fetch_add(1);
    return valueReply(1);
}

PipeMessage updateClient(ClientRequest& request) {
    const std::optional<ClientChangeRequest> update = decodeUpdateClient(request.bytes);
    if (!update || !storableIdentity(update->fields.identity)) return valueReply(0);
    const ClientFields* fields = &update->fields;
    ClientAccess& context = request.context;
    EngineState& engine = context.engine;
    Hold hold(engine.lock);
    ClientRecord* record = engine.clients.resolve(update->handle, ClientList::Static);
    if (record == nullptr) return valueReply(0);
    const std::optional<dhcp::DnsUpdate> before = staticRemoval(context, engine, *record);
    // The record's own seen-via, last access and expiry stay as the server has them.
    ClientFields changed = record->fields();
    changed.identity = fields->identity;
    changed.address = fields->address;
    changed.profile = fields->profile;
    changed.remark = fields->remark;
    changed.hostName = fields->hostName;
    const bool done = modifyStatic(engine.clients, *record, changed, update->skipAddressCheck, engine.profiles,
                                   dhcp::queueTableLeaseRemovals(context.dnsQueue, context.clock, engine.profiles));
    if (!done) return valueReply(0);
    // Records under the name or at the address the entry no longer has would lead to the old
    // address, which the server may now give another machine.
    if (before && dhcp::changedStaticRecords(*before, dhcp::staticEntryRemoval(engine.profiles, *record)))
        context.dnsQueue->push(*before);
    shareChanges(context.shared, engine, changed.lastAccess);
    return valueReply(1);
}

PipeMessage removeClient(ClientRequest& request) {
    if (request.value < 0 || request.value > 2) return valueReply(request.value);
    const auto list = static_cast<ClientList>(request.value);
    const std::optional<std::uint64_t> handle = decodeRequestHandle(request.bytes);
    if (!handle) return sizeCheckFailed(request);
    ClientAccess& context = request.context;
    EngineState& engine = context.engine;
    Hold hold(engine.lock);
    ClientRecord* record = engine.clients.resolve(*handle, list);
    if (record == nullptr) return valueReply(0);
    const bool wasCounted = counted(*record, list);
    // A running lease, or a static entry, takes its DNS names with it.
    std::optional<dhcp::DnsUpdate> removal;
    if (list == ClientList::Dynamic && context.dnsQueue != nullptr && context.clock != nullptr)
        removal =
            dhcp::tableLeaseRemoval(engine.profiles, *record, context.clock->now(), context.dnsQueue->expiriesPassed());
    else if (list == ClientList::Static)
        removal = staticRemoval(context, engine, *record);
    if (!deleteRecord(engine.clients, list, *record)) return valueReply(0);
    if (removal) context.dnsQueue->push(std::move(*removal));
    shareChanges(context.shared, engine, 0);
    // Keep the status counters near the truth between recounts.
    if (list == ClientList::Static) context.counters.staticCount.fetch_sub(1);
    if (wasCounted) usedCounter(context.counters, list).fetch_sub(1);
    return valueReply(request.value);
}

PipeMessage listStatic(ClientRequest& request) { return listRecords(request, ClientList::Static); }
PipeMessage listDynamic(ClientRequest& request) { return listRecords(request, ClientList::Dynamic); }
PipeMessage listIgnored(ClientRequest& request) { return listRecords(request, ClientList::Ignored); }

}  // namespace tolmark::pipe_requests
