#include "manager/pipe/manager_pipe.h"

namespace tolmark::manager {
namespace {

template <typename T>
PipeResult<T> carry(PipeStatus status) {
    return PipeResult<T>{status, T{}};
}

PipeMessage bare(PipeCode code, std::int32_t value) { return *PipeMessage::make(toWire(code), value); }

}  // namespace

ManagerPipe::ManagerPipe(std::string name, std::chrono::milliseconds timeout) : client_(std::move(name)) {
    client_.setTimeout(timeout);
}

PipeResult<PipeMessage> ManagerPipe::transact(const PipeMessage& request) {
    if (jobFailed_) return {PipeStatus::Failed, {}};
    std::optional<PipeMessage> reply = client_.transact(request);
    if (!reply) {
        jobFailed_ = inJob_;
        return {PipeStatus::Failed, {}};
    }
    if (reply->size < kPipeStatusOnlySize || reply->word() != kPipeDone) return {PipeStatus::Refused, {}};
    return {PipeStatus::Done, *reply};
}

PipeResult<PipeMessage> ManagerPipe::transact(const std::optional<PipeMessage>& request) {
    // A request that cannot be built (a text too long for its field) is refused here.
    if (!request) return {PipeStatus::Refused, {}};
    return transact(*request);
}

// A block is taken only from a reply whose value field is at least the block's size and that
// carries that many bytes; anything else is a refusal and the caller's copy stays as it was.
template <typename Block, std::size_t Size>
PipeResult<Block> ManagerPipe::getBlock(PipeCode code, std::int32_t value,
                                        std::optional<Block> (*decode)(std::span<const std::uint8_t>)) {
    auto reply = transact(bare(code, value));
    if (!reply.ok()) return carry<Block>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size < kPipeHeaderSize || m.value() < static_cast<std::int32_t>(Size) ||
        m.size < kPipeHeaderSize + static_cast<std::size_t>(m.value()))
        return carry<Block>(PipeStatus::Refused);
    std::optional<Block> block = decode(m.payload().first(Size));
    if (!block) return carry<Block>(PipeStatus::Refused);
    return {PipeStatus::Done, *block};
}

PipeStatus ManagerPipe::setBlock(PipeCode code, std::span<const std::uint8_t> block) {
    return transact(encodeBlockMessage(toWire(code), block)).status;
}

PipeResult<std::int32_t> ManagerPipe::valueOf(const std::optional<PipeMessage>& request) {
    auto reply = transact(request);
    if (!reply.ok()) return carry<std::int32_t>(reply.status);
    const std::optional<std::int32_t> value = replyValue(reply.value);
    if (!value) return carry<std::int32_t>(PipeStatus::Refused);
    return {PipeStatus::Done, *value};
}

PipeResult<GeneralSettings> ManagerPipe::getSettings() {
    return getBlock<GeneralSettings, kGeneralSettingsSize>(PipeCode::GetSettings, 0, decodeGeneralSettings);
}
PipeStatus ManagerPipe::setSettings(const GeneralSettings& settings) {
    return setBlock(PipeCode::SetSettings, encodeGeneralSettings(settings));
}
PipeResult<ServerStatus> ManagerPipe::getStatus(std::int32_t list) {
    PipeResult<ServerStatus> status =
        getBlock<ServerStatus, kServerStatusSize>(PipeCode::GetStatus, list, decodeServerStatus);
    if (status.ok()) {
        changesHeld_ |= status.value.statusChanged;
        status.value.statusChanged = changesHeld_;
    }
    return status;
}
PipeStatus ManagerPipe::setInterfaces(const ServerStatus& status) {
    return setBlock(PipeCode::SetInterfaces, encodeServerStatus(status));
}
PipeResult<TftpSettings> ManagerPipe::getTftpSettings() {
    return getBlock<TftpSettings, kTftpSettingsSize>(PipeCode::GetTftpSettings, 0, decodeTftpSettings);
}
PipeStatus ManagerPipe::setTftpSettings(const TftpSettings& settings) {
    return setBlock(PipeCode::SetTftpSettings, encodeTftpSettings(settings));
}
PipeResult<MulticastSettings> ManagerPipe::getMulticast() {
    return getBlock<MulticastSettings, kMulticastSettingsSize>(PipeCode::GetMulticast, 0, decodeMulticastSettings);
}
PipeStatus ManagerPipe::setMulticast(const MulticastSettings& settings) {
    return setBlock(PipeCode::SetMulticast, encodeMulticastSettings(settings));
}

PipeResult<std::int32_t> ManagerPipe::addClient(const ClientFields& fields, bool redundant) {
    return valueOf(encodeAddClient(fields, redundant));
}

PipeResult<std::int32_t> ManagerPipe::updateClient(std::uint64_t handle, const ClientFields& fields, bool redundant) {
    return valueOf(encodeUpdateClient(handle, fields, redundant));
}

// The server hands the list's number back when it removed the entry; 0 (with status 0) when the
// handle names no entry of that list any more or the entry could not be freed.
PipeStatus ManagerPipe::removeClient(ClientList list, std::uint64_t handle) {
    const auto number = static_cast<std::int32_t>(list);
    const PipeResult<std::int32_t> result = valueOf(encodeHandleRequest(PipeCode::RemoveClient, number, handle));
    if (!result.ok()) return result.status;
    return result.value == number ? PipeStatus::Done : PipeStatus::Refused;
}

PipeResult<ListedEntry> ManagerPipe::listEntry(ClientList list, std::uint64_t handle) {
    static constexpr PipeCode kCodes[] = {PipeCode::ListStatic, PipeCode::ListDynamic, PipeCode::ListIgnored};
    auto reply = transact(encodeListRequest(kCodes[static_cast<int>(list)], handle));
    if (!reply.ok()) return carry<ListedEntry>(reply.status);
    const std::optional<RecordReply> r = decodeRecordReply(reply.value, kClientRecordSize);
    std::optional<ClientRecordImage> record = r ? decodeClientRecord(r->record) : std::nullopt;
    if (!record) {
        PipeResult<ListedEntry> none = carry<ListedEntry>(PipeStatus::Refused);
        none.value.nothingThere = reply.value.size == kPipeStatusOnlySize;
        return none;
    }
    return {PipeStatus::Done, ListedEntry{r->value, *record}};
}

PipeResult<TransferEntry> ManagerPipe::getTransfer(std::int32_t index) {
    auto reply = transact(bare(PipeCode::GetTransfer, index));
    if (!reply.ok()) return carry<TransferEntry>(reply.status);
    const std::optional<RecordReply> r = decodeRecordReply(reply.value, kTransferRecordSize);
    std::optional<TransferSummary> transfer = r ? decodeTransferSummary(r->record) : std::nullopt;
    if (!transfer) {
        PipeResult<TransferEntry> none = carry<TransferEntry>(PipeStatus::Refused);
        none.value.nothingThere = reply.value.size == kPipeStatusOnlySize;
        return none;
    }
    return {PipeStatus::Done, TransferEntry{r->value, *transfer, std::string(r->record.begin(), r->record.end())}};
}

PipeResult<LeaseStoreReply> ManagerPipe::getLeaseStore() {
    auto reply = transact(bare(PipeCode::GetLeaseStore, 0));
    if (!reply.ok()) return carry<LeaseStoreReply>(reply.status);
    std::optional<LeaseStoreReply> store = decodeLeaseStoreReply(reply.value);
    if (!store) return carry<LeaseStoreReply>(PipeStatus::Refused);
    return {PipeStatus::Done, std::move(*store)};
}

PipeResult<std::int32_t> ManagerPipe::reloadProfiles() { return valueOf(bare(PipeCode::ReloadProfiles, 0)); }

// The server ignores the name; the request carries an empty one.
PipeResult<std::int32_t> ManagerPipe::purgeDynamic() { return valueOf(encodePurgeDynamic()); }

PipeResult<ProfileEntry> ManagerPipe::profileReply(const PipeMessage& request) {
    auto reply = transact(request);
    if (!reply.ok()) return carry<ProfileEntry>(reply.status);
    const std::optional<RecordReply> r = decodeRecordReply(reply.value, kProfileRecordSize);
    std::optional<Profile> profile = r ? decodeProfileRecord(r->record) : std::nullopt;
    if (!profile) return carry<ProfileEntry>(PipeStatus::Refused);
    return {PipeStatus::Done, ProfileEntry{r->value, std::move(*profile)}};
}

PipeResult<ProfileEntry> ManagerPipe::getProfile(std::int32_t index) { return profileReply(encodeGetProfile(index)); }
PipeResult<ProfileEntry> ManagerPipe::getProfileByName(const std::string& name) {
    return profileReply(encodeGetProfileByName(name));
}

std::int32_t ManagerPipe::renameProfile(std::int32_t index, const std::string& oldName, const std::string& newName) {
    const auto result = valueOf(encodeRenameProfile(RenameProfileRequest{index, oldName, newName}));
    if (result.failed()) return -2;
    return result.ok() ? result.value : 0;
}

PipeResult<bool> ManagerPipe::checkAddressProfile(Ipv4 address) {
    const auto result = valueOf(encodeCheckAddressProfile(address));
    return {result.status, result.ok() && result.value == 1};
}

PipeResult<bool> ManagerPipe::checkProfileSelector(const CheckSelectorRequest& request) {
    const auto result = valueOf(encodeCheckSelector(request));
    return {result.status, result.ok() && result.value == 1};
}

PipeResult<FoundFile> ManagerPipe::fileFindFirst(const std::string& pattern) {
    auto reply = transact(encodeFileFindFirst(pattern));
    if (!reply.ok()) return carry<FoundFile>(reply.status);
    const std::optional<SearchReply> found = decodeSearchReply(reply.value);
    if (!found || found->handle == ~std::uint64_t{0}) return carry<FoundFile>(PipeStatus::Refused);
    return {PipeStatus::Done, FoundFile{found->handle, found->entry}};
}

PipeResult<std::optional<FileSearchEntry>> ManagerPipe::fileFindNext(std::uint64_t search) {
    using Result = PipeResult<std::optional<FileSearchEntry>>;
    auto reply = transact(encodeHandleRequest(PipeCode::FileFindNext, kRecordHandleSize, search));
    if (!reply.ok()) return carry<std::optional<FileSearchEntry>>(reply.status);
    if (replyValue(reply.value) == 0) return Result{PipeStatus::Done, std::nullopt};  // the end
    const std::optional<SearchReply> found = decodeSearchReply(reply.value);
    if (!found) return carry<std::optional<FileSearchEntry>>(PipeStatus::Refused);
    return Result{PipeStatus::Done, found->entry};
}

PipeStatus ManagerPipe::fileFindClose(std::uint64_t search) {
    return transact(encodeHandleRequest(PipeCode::FileFindClose, kRecordHandleSize, search)).status;
}

PipeResult<std::uint64_t> ManagerPipe::fileOpen(const std::string& name) {
    auto reply = transact(encodeFileOpen(name, "r"));
    if (!reply.ok()) return carry<std::uint64_t>(reply.status);
    const std::optional<std::uint64_t> file = decodeHandleReply(reply.value);
    if (!file) return carry<std::uint64_t>(PipeStatus::Refused);
    return {PipeStatus::Done, *file};
}

PipeResult<std::optional<std::string>> ManagerPipe::fileReadLine(std::uint64_t file) {
    using Result = PipeResult<std::optional<std::string>>;
    auto reply = transact(encodeHandleRequest(PipeCode::FileReadLine, 0, file));
    if (!reply.ok()) return carry<std::optional<std::string>>(reply.status);
    if (replyValue(reply.value) == 0) return Result{PipeStatus::Done, std::nullopt};  // the end
    std::optional<std::string> line = decodeLineReply(reply.value);
    if (!line) return carry<std::optional<std::string>>(PipeStatus::Refused);
    return Result{PipeStatus::Done, std::move(line)};
}

PipeStatus ManagerPipe::fileClose(std::uint64_t file) {
    return transact(encodeHandleRequest(PipeCode::FileClose, kRecordHandleSize, file)).status;
}

PipeResult<std::int32_t> ManagerPipe::writeSetting(const std::string& section, const std::optional<std::string>& key,
                                                   const std::optional<std::string>& value) {
    return valueOf(encodeWriteSetting(WriteSettingRequest{section, key, value}));
}

}  // namespace tolmark::manager
