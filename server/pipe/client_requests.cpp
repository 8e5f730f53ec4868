// Client records: find, add, change, remove and list. Records are named by the table's own
// generation-checked handles, so a handle of a removed or reused record names nothing.
//
// Records hold strings that the receive loop rewrites under the engine lock, so even reading a
// record takes the engine lock; walks of the links also take the client list lock. The table
// takes the list lock itself where it links and unlinks.

#include <mutex>

#include "common/client_record.h"
#include "server/pipe/request_parts.h"

namespace tolmark::pipe_requests {

namespace {

constexpr std::size_t kIdentityLengthOffset = 8;
constexpr std::size_t kIdentityOffset = 9;
constexpr std::size_t kIdentityWidth = 64;
constexpr std::size_t kFindProfileOffset = 73;

ClientRecord* resolve(PipeContext& context, RecordHandle handle, ClientList list) {
    std::lock_guard links(context.clients.listLock());
    return context.clients.resolve(handle, list);
}

std::optional<ClientFields> decodeFields(std::span<const std::uint8_t> bytes, std::size_t offset) {
    const std::optional<ClientRecordImage> image = decodeClientRecord(bytes.subspan(offset, kClientRecordSize));
    if (!image) return std::nullopt;
    return image->fields;
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

bool counted(const ClientFields& fields, ClientList list) {
    return list == ClientList::Dynamic ? fields.expiry != 0 : fields.lastAccess != 0;
}

PipeMessage listRecords(Request& request, ClientList list) {
    PipeContext& context = request.context;
    RecordHandle handle = 0;
    if (request.value != 0) {
        if (!request.has(16)) return sizeCheckFailed(request);
        handle = request.reader().u64le(8);
        // Handle 0 is the end of a walk.
        if (handle == 0) return statusReply(kPipeDone);
    }
    std::optional<ClientRecordImage> image;
    {
        std::lock_guard engine(context.engineLock);
        std::lock_guard links(context.clients.listLock());
        const ClientRecord* record = handle == 0 ? context.clients.first(list) : context.clients.resolve(handle, list);
        if (record != nullptr) image = context.clients.image(*record);
    }
    if (!image) return statusReply(kPipeDone);
    return valueReply(usedCounter(context.counters, list), encodeClientRecord(*image));
}

}  // namespace

PipeMessage findClient(Request& request) {
    ByteReader in = request.reader();
    Identity identity;
    identity.kind = in.u8(4);
    identity.length = in.u8(kIdentityLengthOffset);
    in.bytes(kIdentityOffset, identity.bytes.data(), kIdentityWidth);
    const std::string profile = fieldText(request.bytes, kFindProfileOffset, kProfileNameField);
    RecordHandle handle = 0;
    if (identity.length <= kIdentityWidth) {
        PipeContext& context = request.context;
        std::lock_guard engine(context.engineLock);
        std::lock_guard links(context.clients.listLock());
        if (const ClientRecord* found = context.clients.findStaticByIdentity(identity, profile, nullptr))
            handle = context.clients.handleOf(*found);
    }
    std::array<std::uint8_t, kRecordHandleSize> payload{};
    ByteWriter(payload).u64le(0, handle);
    return valueReply(kRecordHandleSize, payload);
}

PipeMessage addClient(Request& request) {
    const std::optional<ClientFields> fields = decodeFields(request.bytes, kPipeHeaderSize);
    if (!fields) return valueReply(0);
    PipeContext& context = request.context;
    std::lock_guard engine(context.engineLock);
    if (context.clients.addStatic(*fields, request.value != 0, context.profiles) == nullptr) return valueReply(0);
    context.counters.staticCount.fetch_add(1);
    if (fields->lastAccess != 0) context.counters.staticUsed.fetch_add(1);
    return valueReply(1);
}

PipeMessage updateClient(Request& request) {
    const RecordHandle handle = request.reader().u64le(8);
    const std::optional<ClientFields> fields = decodeFields(request.bytes, 16);
    if (!fields) return valueReply(0);
    PipeContext& context = request.context;
    std::lock_guard engine(context.engineLock);
    ClientRecord* record = resolve(context, handle, ClientList::Static);
    if (record == nullptr) return valueReply(0);
    // The record's own seen-via, last access and expiry stay as the server has them.
    ClientFields changed = *record;
    changed.identity = fields->identity;
    changed.address = fields->address;
    changed.profile = fields->profile;
    changed.remark = fields->remark;
    changed.hostName = fields->hostName;
    const bool done = context.clients.modifyStatic(*record, changed, request.value != 0, context.profiles);
    return valueReply(done ? 1 : 0);
}

PipeMessage removeClient(Request& request) {
    if (request.value < 0 || request.value > 2) return valueReply(request.value);
    const auto list = static_cast<ClientList>(request.value);
    const RecordHandle handle = request.reader().u64le(8);
    PipeContext& context = request.context;
    std::lock_guard engine(context.engineLock);
    ClientRecord* record = resolve(context, handle, list);
    if (record == nullptr) return valueReply(0);
    const bool wasCounted = counted(*record, list);
    if (!context.clients.deleteRecord(list, *record, context.profiles)) return valueReply(0);
    // Keep the status counters near the truth between recounts.
    if (list == ClientList::Static) context.counters.staticCount.fetch_sub(1);
    if (wasCounted) usedCounter(context.counters, list).fetch_sub(1);
    return valueReply(request.value);
}

PipeMessage listStatic(Request& request) { return listRecords(request, ClientList::Static); }
PipeMessage listDynamic(Request& request) { return listRecords(request, ClientList::Dynamic); }
PipeMessage listIgnored(Request& request) { return listRecords(request, ClientList::Ignored); }

}  // namespace tolmark::pipe_requests
