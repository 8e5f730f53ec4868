// Client records: find, add, change, remove and list. Records are named by the table's own
// generation-checked handles, so a handle of a removed or reused record names nothing.
//
// The engine lock guards the client table, its records, links and indexes: every request here
// takes it, reading ones included, since the receive loop rewrites records under it.

#include <mutex>

#include "common/client_record.h"
#include "common/pipe_requests.h"
#include "server/leases/client_rules.h"
#include "server/pipe/request_parts.h"

namespace tolmark::pipe_requests {

namespace {

ClientRecord* resolve(PipeContext& context, RecordHandle handle, ClientList list) {
    return context.clients.resolve(handle, list);
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

PipeMessage listRecords(Request& request, ClientList list) {
    PipeContext& context = request.context;
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
        std::lock_guard engine(context.engineLock);
        const ClientRecord* record = handle == 0 ? context.clients.first(list) : context.clients.resolve(handle, list);
        if (record != nullptr) image = context.clients.image(*record);
    }
    if (!image) return statusReply(kPipeDone);
    return valueReply(usedCounter(context.counters, list), encodeClientRecord(*image));
}

}  // namespace

PipeMessage findClient(Request& request) {
    const std::optional<FindClientRequest> find = decodeFindClient(request.bytes);
    if (!find) return sizeCheckFailed(request);
    RecordHandle handle = 0;
    if (find->identity.length <= kFindIdentityWidth) {
        PipeContext& context = request.context;
        std::lock_guard engine(context.engineLock);
        if (const ClientRecord* found = context.clients.findStaticByIdentity(find->identity, find->profile, nullptr))
            handle = context.clients.handleOf(*found);
    }
    return encodeHandleReply(handle);
}

PipeMessage addClient(Request& request) {
    const std::optional<ClientChangeRequest> add = decodeAddClient(request.bytes);
    if (!add) return valueReply(0);
    PipeContext& context = request.context;
    std::lock_guard engine(context.engineLock);
    if (addStatic(context.clients, add->fields, add->skipAddressCheck, context.profiles) == nullptr)
        return valueReply(0);
    context.counters.staticCount.fetch_add(1);
    if (add->fields.lastAccess != 0) context.counters.staticUsed.fetch_add(1);
    return valueReply(1);
}

PipeMessage updateClient(Request& request) {
    const std::optional<ClientChangeRequest> update = decodeUpdateClient(request.bytes);
    if (!update) return valueReply(0);
    const ClientFields* fields = &update->fields;
    PipeContext& context = request.context;
    std::lock_guard engine(context.engineLock);
    ClientRecord* record = resolve(context, update->handle, ClientList::Static);
    if (record == nullptr) return valueReply(0);
    // The record's own seen-via, last access and expiry stay as the server has them.
    ClientFields changed = record->fields();
    changed.identity = fields->identity;
    changed.address = fields->address;
    changed.profile = fields->profile;
    changed.remark = fields->remark;
    changed.hostName = fields->hostName;
    const bool done = modifyStatic(context.clients, *record, changed, update->skipAddressCheck, context.profiles);
    return valueReply(done ? 1 : 0);
}

PipeMessage removeClient(Request& request) {
    if (request.value < 0 || request.value > 2) return valueReply(request.value);
    const auto list = static_cast<ClientList>(request.value);
    const std::optional<std::uint64_t> handle = decodeRequestHandle(request.bytes);
    if (!handle) return sizeCheckFailed(request);
    PipeContext& context = request.context;
    std::lock_guard engine(context.engineLock);
    ClientRecord* record = resolve(context, *handle, list);
    if (record == nullptr) return valueReply(0);
    const bool wasCounted = counted(*record, list);
    if (!deleteRecord(context.clients, list, *record)) return valueReply(0);
    // Keep the status counters near the truth between recounts.
    if (list == ClientList::Static) context.counters.staticCount.fetch_sub(1);
    if (wasCounted) usedCounter(context.counters, list).fetch_sub(1);
    return valueReply(request.value);
}

PipeMessage listStatic(Request& request) { return listRecords(request, ClientList::Static); }
PipeMessage listDynamic(Request& request) { return listRecords(request, ClientList::Dynamic); }
PipeMessage listIgnored(Request& request) { return listRecords(request, ClientList::Ignored); }

}  // namespace tolmark::pipe_requests
