#include "manager/manager_pipe.h"

#include <array>
#include <cstring>

#include "common/byte_io.h"

namespace tolmark::manager {
namespace {

constexpr std::size_t kNameField = 24;
constexpr std::size_t kCountedTextMax = 255;  // the length byte counts the terminating NUL

template <std::size_t N>
std::array<std::uint8_t, N> handlePayload(std::uint64_t handle) {
    std::array<std::uint8_t, N> payload{};
    ByteWriter(payload).u64le(0, handle);
    return payload;
}

// A NUL-terminated text followed by nothing else.
std::vector<std::uint8_t> terminated(const std::string& text) {
    std::vector<std::uint8_t> bytes(text.begin(), text.end());
    bytes.push_back(0);
    return bytes;
}

// One length byte and the text with its NUL; an absent text is a single 0. False when the text
// does not fit its length byte.
bool appendCounted(std::vector<std::uint8_t>& out, const std::optional<std::string>& text) {
    if (!text) {
        out.push_back(0);
        return true;
    }
    if (text->size() + 1 > kCountedTextMax || text->find('\0') != std::string::npos) return false;
    out.push_back(static_cast<std::uint8_t>(text->size() + 1));
    out.insert(out.end(), text->begin(), text->end());
    out.push_back(0);
    return true;
}

template <typename T>
PipeResult<T> carry(PipeStatus status) {
    return PipeResult<T>{status, T{}};
}

}  // namespace

ManagerPipe::ManagerPipe(std::string name, std::chrono::milliseconds timeout) : client_(std::move(name)) {
    client_.setTimeout(timeout);
}

PipeResult<PipeMessage> ManagerPipe::transact(PipeCode code, std::int32_t value, std::span<const std::uint8_t> payload) {
    std::optional<PipeMessage> reply = client_.transact(code, value, payload);
    if (!reply) return {PipeStatus::Failed, {}};
    if (reply->size < kPipeStatusOnlySize || reply->word() != kPipeDone) return {PipeStatus::Refused, {}};
    return {PipeStatus::Done, *reply};
}

// A block is taken only from a reply whose value field is at least the block's size and that
// carries that many bytes; anything else is a refusal and the caller's copy stays as it was.
template <typename Block, std::size_t Size>
PipeResult<Block> ManagerPipe::getBlock(PipeCode code, std::int32_t value,
                                        std::optional<Block> (*decode)(std::span<const std::uint8_t>)) {
    auto reply = transact(code, value);
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
    return transact(code, static_cast<std::int32_t>(block.size()), block).status;
}

PipeResult<std::int32_t> ManagerPipe::valueOf(PipeCode code, std::int32_t value, std::span<const std::uint8_t> payload) {
    auto reply = transact(code, value, payload);
    if (!reply.ok()) return carry<std::int32_t>(reply.status);
    if (reply.value.size < kPipeHeaderSize) return carry<std::int32_t>(PipeStatus::Refused);
    return {PipeStatus::Done, reply.value.value()};
}

PipeResult<GeneralSettings> ManagerPipe::getSettings() {
    return getBlock<GeneralSettings, kGeneralSettingsSize>(PipeCode::GetSettings, 0, decodeGeneralSettings);
}
PipeStatus ManagerPipe::setSettings(const GeneralSettings& settings) {
    return setBlock(PipeCode::SetSettings, encodeGeneralSettings(settings));
}
PipeResult<ServerStatus> ManagerPipe::getStatus(std::int32_t list) {
    return getBlock<ServerStatus, kServerStatusSize>(PipeCode::GetStatus, list, decodeServerStatus);
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
    return valueOf(PipeCode::AddClient, redundant ? 1 : 0, encodeClientRecord(ClientRecordImage{0, 0, fields}));
}

PipeResult<std::int32_t> ManagerPipe::updateClient(std::uint64_t handle, const ClientFields& fields, bool redundant) {
    std::array<std::uint8_t, kRecordHandleSize + kClientRecordSize> payload{};
    ByteWriter out(payload);
    out.u64le(0, handle);
    const auto image = encodeClientRecord(ClientRecordImage{handle, 0, fields});
    out.bytes(kRecordHandleSize, image.data(), image.size());
    return valueOf(PipeCode::UpdateClient, redundant ? 1 : 0, payload);
}

PipeStatus ManagerPipe::removeClient(ClientList list, std::uint64_t handle) {
    return transact(PipeCode::RemoveClient, static_cast<std::int32_t>(list), handlePayload<8>(handle)).status;
}

PipeResult<ListedEntry> ManagerPipe::listEntry(ClientList list, std::uint64_t handle) {
    static constexpr PipeCode kCodes[] = {PipeCode::ListStatic, PipeCode::ListDynamic, PipeCode::ListIgnored};
    auto reply = transact(kCodes[static_cast<int>(list)], handle == 0 ? 0 : 8, handlePayload<8>(handle));
    if (!reply.ok()) return carry<ListedEntry>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size < kPipeHeaderSize + kClientRecordSize) return carry<ListedEntry>(PipeStatus::Refused);
    std::optional<ClientRecordImage> record = decodeClientRecord(m.payload().first(kClientRecordSize));
    if (!record) return carry<ListedEntry>(PipeStatus::Refused);
    return {PipeStatus::Done, ListedEntry{m.value(), *record}};
}

PipeResult<TransferEntry> ManagerPipe::getTransfer(std::int32_t index) {
    auto reply = transact(PipeCode::GetTransfer, index);
    if (!reply.ok()) return carry<TransferEntry>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size < kPipeHeaderSize + kTransferRecordSize) return carry<TransferEntry>(PipeStatus::Refused);
    std::optional<TransferSummary> transfer = decodeTransferSummary(m.payload().first(kTransferRecordSize));
    if (!transfer) return carry<TransferEntry>(PipeStatus::Refused);
    return {PipeStatus::Done, TransferEntry{m.value(), *transfer}};
}

PipeResult<std::int32_t> ManagerPipe::reloadProfiles() { return valueOf(PipeCode::ReloadProfiles, 0, {}); }

PipeResult<std::int32_t> ManagerPipe::purgeDynamic(const std::string& name) {
    std::array<std::uint8_t, kNameField> payload{};
    ByteWriter(payload).text(0, kNameField, name);
    return valueOf(PipeCode::PurgeDynamic, 0, payload);
}

PipeResult<ProfileEntry> ManagerPipe::profileReply(std::int32_t index, const std::string& name) {
    std::array<std::uint8_t, kNameField> payload{};
    ByteWriter(payload).text(0, kNameField, name);
    auto reply = transact(PipeCode::GetProfile, index, payload);
    if (!reply.ok()) return carry<ProfileEntry>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size != kPipeHeaderSize + kProfileRecordSize) return carry<ProfileEntry>(PipeStatus::Refused);
    std::optional<Profile> profile = decodeProfileRecord(m.payload());
    if (!profile) return carry<ProfileEntry>(PipeStatus::Refused);
    return {PipeStatus::Done, ProfileEntry{m.value(), std::move(*profile)}};
}

PipeResult<ProfileEntry> ManagerPipe::getProfile(std::int32_t index) { return profileReply(index, {}); }
PipeResult<ProfileEntry> ManagerPipe::getProfileByName(const std::string& name) { return profileReply(-1, name); }

std::int32_t ManagerPipe::renameProfile(std::int32_t index, const std::string& oldName, const std::string& newName) {
    std::array<std::uint8_t, 2 * kNameField> payload{};
    ByteWriter out(payload);
    out.text(0, kNameField, oldName);
    out.text(kNameField, kNameField, newName);
    const auto result = valueOf(PipeCode::RenameProfile, index, payload);
    if (result.failed()) return -2;
    return result.ok() ? result.value : 0;
}

PipeResult<bool> ManagerPipe::checkAddressProfile(Ipv4 address) {
    const auto result = valueOf(PipeCode::CheckAddressProfile, static_cast<std::int32_t>(address), {});
    return {result.status, result.ok() && result.value == 1};
}

PipeResult<bool> ManagerPipe::checkProfileSelector(Ipv4 relay, std::uint32_t selectorKind, const std::string& profile,
                                                   std::span<const std::uint8_t> selector) {
    std::array<std::uint8_t, 4 + kNameField + 64> payload{};
    ByteWriter out(payload);
    out.u32le(0, selectorKind);
    out.text(4, kNameField, profile);
    std::size_t size = 4 + kNameField;
    if (!selector.empty()) {
        if (selector.size() > 63) return carry<bool>(PipeStatus::Refused);
        out.u8(size, static_cast<std::uint8_t>(selector.size()));
        out.bytes(size + 1, selector.data(), selector.size());
        size += 1 + selector.size();
    }
    const auto result = valueOf(PipeCode::CheckProfileSelector, static_cast<std::int32_t>(relay),
                                std::span(payload).first(size));
    return {result.status, result.ok() && result.value == 1};
}

PipeResult<FoundFile> ManagerPipe::fileFindFirst(const std::string& pattern) {
    auto reply = transact(PipeCode::FileFindFirst, 0, terminated(pattern));
    if (!reply.ok()) return carry<FoundFile>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size != kPipeHeaderSize + 8 + kFileSearchRecordSize) return carry<FoundFile>(PipeStatus::Refused);
    const std::uint64_t search = ByteReader(m.view()).u64le(kPipeHeaderSize);
    std::optional<FileSearchEntry> entry = decodeFileSearchRecord(m.payload().subspan(8));
    if (!entry || search == ~std::uint64_t{0}) return carry<FoundFile>(PipeStatus::Refused);
    return {PipeStatus::Done, FoundFile{search, *entry}};
}

PipeResult<std::optional<FileSearchEntry>> ManagerPipe::fileFindNext(std::uint64_t search) {
    using Result = PipeResult<std::optional<FileSearchEntry>>;
    auto reply = transact(PipeCode::FileFindNext, 8, handlePayload<8>(search));
    if (!reply.ok()) return carry<std::optional<FileSearchEntry>>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size < kPipeHeaderSize) return carry<std::optional<FileSearchEntry>>(PipeStatus::Refused);
    if (m.value() == 0) return Result{PipeStatus::Done, std::nullopt};
    if (m.size != kPipeHeaderSize + 8 + kFileSearchRecordSize) return carry<std::optional<FileSearchEntry>>(PipeStatus::Refused);
    std::optional<FileSearchEntry> entry = decodeFileSearchRecord(m.payload().subspan(8));
    if (!entry) return carry<std::optional<FileSearchEntry>>(PipeStatus::Refused);
    return Result{PipeStatus::Done, entry};
}

PipeStatus ManagerPipe::fileFindClose(std::uint64_t search) {
    return transact(PipeCode::FileFindClose, 8, handlePayload<8>(search)).status;
}

PipeResult<std::uint64_t> ManagerPipe::fileOpen(const std::string& name) {
    std::vector<std::uint8_t> payload = terminated(name);
    payload.push_back('r');
    payload.push_back(0);
    auto reply = transact(PipeCode::FileOpen, 0, payload);
    if (!reply.ok()) return carry<std::uint64_t>(reply.status);
    if (reply.value.size < kPipeHeaderSize + 8) return carry<std::uint64_t>(PipeStatus::Refused);
    return {PipeStatus::Done, ByteReader(reply.value.view()).u64le(kPipeHeaderSize)};
}

PipeResult<std::optional<std::string>> ManagerPipe::fileReadLine(std::uint64_t file) {
    using Result = PipeResult<std::optional<std::string>>;
    auto reply = transact(PipeCode::FileReadLine, 0, handlePayload<8>(file));
    if (!reply.ok()) return carry<std::optional<std::string>>(reply.status);
    const PipeMessage& m = reply.value;
    if (m.size < kPipeHeaderSize) return carry<std::optional<std::string>>(PipeStatus::Refused);
    if (m.value() == 0) return Result{PipeStatus::Done, std::nullopt};
    const auto payload = m.payload();
    const auto* text = reinterpret_cast<const char*>(payload.data());
    return Result{PipeStatus::Done, std::string(text, strnlen(text, payload.size()))};
}

PipeStatus ManagerPipe::fileClose(std::uint64_t file) {
    return transact(PipeCode::FileClose, 8, handlePayload<8>(file)).status;
}

PipeResult<std::int32_t> ManagerPipe::writeSetting(const std::string& section, const std::optional<std::string>& key,
                                                   const std::optional<std::string>& value) {
    std::vector<std::uint8_t> payload;
    if (!appendCounted(payload, section) || !appendCounted(payload, key) || !appendCounted(payload, value) ||
        payload.size() > kPipePayloadMax)
        return carry<std::int32_t>(PipeStatus::Refused);
    return valueOf(PipeCode::WriteSetting, static_cast<std::int32_t>(kPipeHeaderSize + payload.size()), payload);
}

}  // namespace tolmark::manager
