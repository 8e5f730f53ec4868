#pragma once
// The layouts of the control pipe's requests and structured replies, written once for the
// server (which decodes requests and encodes replies) and for trisko and the manager (which do
// the reverse). Offsets are message offsets: the code or status word at 0, the value at 4.
// Decoders take the whole message and refuse one too short for its layout; a variable part
// (counted value, texts) is checked against the bytes received.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "base/ipv4.h"
#include "common/client_record.h"
#include "common/pipe_protocol.h"
#include "common/text_forms.h"

namespace tolmark {

// Where a request or reply carries a record, search or file handle.
inline constexpr std::size_t kHandleAt = kPipeHeaderSize;
// A request that names a handle and nothing else (lists, removals, file handles).
inline constexpr std::size_t kHandleRequestSize = kHandleAt + kRecordHandleSize;

// Lists numbered as RemoveClient and GetStatus number them.
inline constexpr std::int32_t kListStatic = 0;
inline constexpr std::int32_t kListDynamic = 1;
inline constexpr std::int32_t kListIgnored = 2;

// ---- FindClient: kind in the value's first byte; identity length, identity and profile name
// laid out as in the client record (record offsets 33..97 at message offset 8).
inline constexpr std::size_t kFindKindAt = 4;
inline constexpr std::size_t kFindLengthAt = 8;
inline constexpr std::size_t kFindIdentityAt = 9;
inline constexpr std::size_t kFindIdentityWidth = 64;
inline constexpr std::size_t kFindProfileAt = 73;
inline constexpr std::size_t kFindClientSize = kFindProfileAt + kProfileNameField;

struct FindClientRequest {
    Identity identity;    // the length as received; the server answers 0 for one above 64
    std::string profile;  // up to the whole 24-byte field
    bool operator==(const FindClientRequest&) const = default;
};
PipeMessage encodeFindClient(const FindClientRequest& request);
std::optional<FindClientRequest> decodeFindClient(std::span<const std::uint8_t> message);

// ---- AddClient (value: skip-address-check flag; record image at 8) and UpdateClient (value:
// the flag; record handle at 8; record image at 16).
inline constexpr std::size_t kAddClientImageAt = kPipeHeaderSize;
inline constexpr std::size_t kAddClientSize = kAddClientImageAt + kClientRecordSize;
inline constexpr std::size_t kUpdateClientImageAt = kHandleRequestSize;
inline constexpr std::size_t kUpdateClientSize = kUpdateClientImageAt + kClientRecordSize;

struct ClientChangeRequest {
    bool skipAddressCheck = false;
    std::uint64_t handle = 0;  // UpdateClient only
    ClientFields fields;
};
PipeMessage encodeAddClient(const ClientFields& fields, bool skipAddressCheck);
PipeMessage encodeUpdateClient(std::uint64_t handle, const ClientFields& fields, bool skipAddressCheck);
// nullopt when short or when the image does not decode (identity length above 64).
std::optional<ClientChangeRequest> decodeAddClient(std::span<const std::uint8_t> message);
std::optional<ClientChangeRequest> decodeUpdateClient(std::span<const std::uint8_t> message);

// ---- Requests of a value and a handle at 8: RemoveClient (value: list), ListStatic/Dynamic/
// Ignored (value 0 from the head, non-zero from the handle), FileFindNext, FileFindClose,
// FileClose, FileReadLine (value 8).
PipeMessage encodeHandleRequest(PipeCode code, std::int32_t value, std::uint64_t handle);
// The handle at 8; nullopt when the message stops before it.
std::optional<std::uint64_t> decodeRequestHandle(std::span<const std::uint8_t> message);
// A list walk's next request: from the head for handle 0, else from that record.
PipeMessage encodeListRequest(PipeCode list, std::uint64_t from);

// ---- Profiles: PurgeDynamic (unused name at 8), GetProfile (value: index, or negative to look
// up the name at 8), RenameProfile (value: profile number; old name at 8, new name at 32),
// CheckAddressProfile (value: address), CheckProfileSelector.
inline constexpr std::size_t kProfileNameAt = kPipeHeaderSize;
inline constexpr std::size_t kPurgeDynamicSize = kProfileNameAt + kProfileNameField;
inline constexpr std::size_t kGetProfileSize = kProfileNameAt + kProfileNameField;
inline constexpr std::size_t kRenameNewNameAt = kProfileNameAt + kProfileNameField;
inline constexpr std::size_t kRenameProfileSize = kRenameNewNameAt + kProfileNameField;
inline constexpr std::size_t kCheckAddressSize = kPipeHeaderSize;

PipeMessage encodePurgeDynamic();
PipeMessage encodeGetProfile(std::int32_t index);
PipeMessage encodeGetProfileByName(std::string_view name);
// The name at 8 of GetProfile and PurgeDynamic, which may fill its field.
std::optional<std::string> decodeProfileName(std::span<const std::uint8_t> message);

struct RenameProfileRequest {
    std::int32_t number = 0;
    std::string oldName;
    std::string newName;  // empty: delete the old section
    bool operator==(const RenameProfileRequest&) const = default;
};
PipeMessage encodeRenameProfile(const RenameProfileRequest& request);
std::optional<RenameProfileRequest> decodeRenameProfile(std::span<const std::uint8_t> message);

PipeMessage encodeCheckAddressProfile(Ipv4 address);
std::optional<Ipv4> decodeCheckAddressProfile(std::span<const std::uint8_t> message);

// CheckProfileSelector: relay address in the value, selector type at 8, profile name at 12,
// the selector value counted (a length byte, then the bytes) at 36.
inline constexpr std::size_t kSelectorTypeAt = 8;
inline constexpr std::size_t kSelectorProfileAt = 12;
inline constexpr std::size_t kSelectorValueAt = 36;
inline constexpr std::size_t kCheckSelectorMinSize = kSelectorValueAt + 1;

struct CheckSelectorRequest {
    Ipv4 relay = 0;
    std::uint32_t type = 0;  // 0 none, 1 CircuitID, 2 RemoteID
    std::string profile;
    std::string value;  // bytes of the selector value
    bool operator==(const CheckSelectorRequest&) const = default;
};
// nullopt when the value is longer than its length byte can count.
std::optional<PipeMessage> encodeCheckSelector(const CheckSelectorRequest& request);
std::optional<CheckSelectorRequest> decodeCheckSelector(std::span<const std::uint8_t> message);

// ---- Files: FileFindFirst (pattern at 8, NUL-terminated), FileOpen (name at 8 and the mode
// after it, each NUL-terminated), FileWrite (value: count; handle at 8; bytes at 16).
inline constexpr std::size_t kFileTextAt = kPipeHeaderSize;
inline constexpr std::size_t kFindFirstMinSize = kFileTextAt + 1;
inline constexpr std::size_t kFileOpenMinSize = kFileTextAt + 2;
inline constexpr std::size_t kFileWriteDataAt = kHandleRequestSize;

std::optional<PipeMessage> encodeFileFindFirst(std::string_view pattern);
std::optional<std::string_view> decodeFileFindFirst(std::span<const std::uint8_t> message);

struct FileOpenRequest {
    std::string_view name;
    std::string_view mode;
};
std::optional<PipeMessage> encodeFileOpen(std::string_view name, std::string_view mode);
std::optional<FileOpenRequest> decodeFileOpen(std::span<const std::uint8_t> message);

struct FileWriteRequest {
    std::uint64_t handle = 0;
    std::span<const std::uint8_t> data;
};
std::optional<PipeMessage> encodeFileWrite(std::uint64_t handle, std::span<const std::uint8_t> data);
// nullopt when the count is negative or more than the bytes received.
std::optional<FileWriteRequest> decodeFileWrite(std::span<const std::uint8_t> message);

// ---- WriteSetting: value = message size; from 8 the section, key and text, each a length byte
// counting the text and its NUL, then the bytes; length 0 is no text at all.
struct WriteSettingRequest {
    std::optional<std::string> section;
    std::optional<std::string> key;
    std::optional<std::string> text;
    bool operator==(const WriteSettingRequest&) const = default;
};
std::optional<PipeMessage> encodeWriteSetting(const WriteSettingRequest& request);
// nullopt when the value is not the message size or a text runs past the message.
std::optional<WriteSettingRequest> decodeWriteSetting(std::span<const std::uint8_t> message);

// ---- Whole blocks (SetSettings, SetInterfaces, SetTftpSettings, SetMulticast, and the replies of
// the matching Get requests): value = block size, block at 8.
PipeMessage encodeBlockMessage(std::uint32_t word, std::span<const std::uint8_t> block);
// The block at 8 when the value and the bytes received both match its size.
std::optional<std::span<const std::uint8_t>> decodeBlockMessage(std::span<const std::uint8_t> message,
                                                                std::size_t blockSize);

// ---- GetLeaseStore reply: value = the store (kLeaseStore...); u32 writes waiting for the
// database at 8; from 12 the database's description (host, port, database, user; never a
// password), NUL-terminated, at most kLeaseStoreTextMax bytes with the NUL.
inline constexpr std::int32_t kLeaseStoreFiles = 0;
inline constexpr std::int32_t kLeaseStoreDatabase = 1;             // reachable
inline constexpr std::int32_t kLeaseStoreDatabaseUnreachable = 2;  // leases served from memory
inline constexpr std::size_t kLeaseStoreWaitingAt = kPipeHeaderSize;
inline constexpr std::size_t kLeaseStoreTextAt = kLeaseStoreWaitingAt + 4;
inline constexpr std::size_t kLeaseStoreTextMax = 256;
struct LeaseStoreReply {
    std::int32_t store = kLeaseStoreFiles;
    std::uint32_t waiting = 0;
    std::string description;
    bool operator==(const LeaseStoreReply&) const = default;
};
PipeMessage encodeLeaseStoreReply(const LeaseStoreReply& reply);
// nullopt for a failed reply, a store value out of range, or a text without its NUL.
std::optional<LeaseStoreReply> decodeLeaseStoreReply(const PipeMessage& reply);

// ---- Structured replies.
// FindClient and FileOpen: value 8, handle at 8.
PipeMessage encodeHandleReply(std::uint64_t handle);
// The handle of a successful reply; nullopt for a failed or short one.
std::optional<std::uint64_t> decodeHandleReply(const PipeMessage& reply);

// List requests (value: the list's counter) and GetTransfer (value: running transfers), with a
// fixed record at 8; GetProfile is the same with the profile's use in the value.
struct RecordReply {
    std::int32_t value = 0;
    std::span<const std::uint8_t> record;
};
// A status-0 reply holding exactly a record of this size at 8; nullopt otherwise (a 4-byte
// reply means the end of the list or no such record).
std::optional<RecordReply> decodeRecordReply(const PipeMessage& reply, std::size_t recordSize);

// FileFindFirst and FileFindNext: value, search handle at 8, file search record at 16.
inline constexpr std::size_t kSearchRecordAt = kHandleRequestSize;
inline constexpr std::size_t kSearchReplySize = kSearchRecordAt + kFileSearchRecordSize;
struct SearchReply {
    std::uint64_t handle = 0;
    FileSearchEntry entry;
};
PipeMessage encodeSearchReply(std::int32_t value, std::uint64_t handle, const FileSearchEntry& entry);
std::optional<SearchReply> decodeSearchReply(const PipeMessage& reply);

// FileReadLine: value = length, the line and its NUL at 8.
PipeMessage encodeLineReply(std::string_view line);
std::optional<std::string> decodeLineReply(const PipeMessage& reply);

// The value of a successful reply of at least 8 bytes.
std::optional<std::int32_t> replyValue(const std::optional<PipeMessage>& reply);

}  // namespace tolmark
