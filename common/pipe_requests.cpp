#include "common/pipe_requests.h"

#include <algorithm>
#include <cstring>

#include "base/byte_io.h"

namespace tolmark {

namespace {

// A message of the given size with the header written; the caller fills the payload.
PipeMessage blank(std::uint32_t word, std::int32_t value, std::size_t size) {
    PipeMessage message;
    ByteWriter out(message.bytes);
    out.u32le(0, word);
    out.i32le(4, value);
    message.size = size;
    return message;
}

// A fixed field's text, which may fill the whole field without a NUL.
std::string fieldText(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
    if (offset > bytes.size() || width > bytes.size() - offset) return {};
    const char* start = reinterpret_cast<const char*>(bytes.data() + offset);
    return std::string(start, strnlen(start, width));
}

// A NUL-terminated text from offset; nothing when its NUL was not received.
std::optional<std::string_view> terminatedText(std::span<const std::uint8_t> bytes, std::size_t offset) {
    if (offset >= bytes.size()) return std::nullopt;
    const char* start = reinterpret_cast<const char*>(bytes.data() + offset);
    const std::size_t length = strnlen(start, bytes.size() - offset);
    if (length == bytes.size() - offset) return std::nullopt;
    return std::string_view(start, length);
}

// Texts one after another, each with its NUL, from the offset; nullopt when they do not fit.
std::optional<PipeMessage> withTexts(PipeCode code, std::int32_t value, std::initializer_list<std::string_view> texts) {
    std::size_t size = kFileTextAt;
    for (std::string_view text : texts) size += text.size() + 1;
    if (size > kPipeMessageMax) return std::nullopt;
    PipeMessage message = blank(toWire(code), value, size);
    std::size_t at = kFileTextAt;
    for (std::string_view text : texts) {
        if (!text.empty()) std::memcpy(message.bytes.data() + at, text.data(), text.size());
        at += text.size();
        message.bytes[at++] = 0;
    }
    return message;
}

struct CountedText {
    bool received = false;
    std::optional<std::string> text;
    std::size_t end = 0;
};

CountedText countedText(std::span<const std::uint8_t> bytes, std::size_t offset) {
    CountedText result;
    if (offset >= bytes.size()) return result;
    const std::size_t length = bytes[offset];
    if (length > bytes.size() - offset - 1) return result;
    result.received = true;
    result.end = offset + 1 + length;
    if (length != 0) result.text = fieldText(bytes, offset + 1, length);
    return result;
}

std::optional<ClientChangeRequest> decodeChange(std::span<const std::uint8_t> message, std::size_t imageAt) {
    if (message.size() < imageAt + kClientRecordSize) return std::nullopt;
    const std::optional<ClientRecordImage> image = decodeClientRecord(message.subspan(imageAt, kClientRecordSize));
    if (!image) return std::nullopt;
    ByteReader in(message);
    ClientChangeRequest request;
    request.skipAddressCheck = in.i32le(4) != 0;
    if (imageAt == kUpdateClientImageAt) request.handle = in.u64le(kHandleAt);
    request.fields = image->fields;
    return request;
}

}  // namespace

// ---- Client records ----------------------------------------------------------------------------

PipeMessage encodeFindClient(const FindClientRequest& request) {
    PipeMessage message = blank(toWire(PipeCode::FindClient), 0, kFindClientSize);
    ByteWriter out(message.bytes);
    out.u8(kFindKindAt, request.identity.kind);
    out.u8(kFindLengthAt, request.identity.length);
    out.bytes(kFindIdentityAt, request.identity.bytes.data(), kFindIdentityWidth);
    out.text(kFindProfileAt, kProfileNameField, request.profile);
    return message;
}

std::optional<FindClientRequest> decodeFindClient(std::span<const std::uint8_t> message) {
    if (message.size() < kFindClientSize) return std::nullopt;
    ByteReader in(message);
    FindClientRequest request;
    request.identity.kind = in.u8(kFindKindAt);
    request.identity.length = in.u8(kFindLengthAt);
    in.bytes(kFindIdentityAt, request.identity.bytes.data(), kFindIdentityWidth);
    request.profile = fieldText(message, kFindProfileAt, kProfileNameField);
    return request;
}

PipeMessage encodeAddClient(const ClientFields& fields, bool skipAddressCheck) {
    PipeMessage message = blank(toWire(PipeCode::AddClient), skipAddressCheck ? 1 : 0, kAddClientSize);
    const auto image = encodeClientRecord(ClientRecordImage{0, 0, fields});
    ByteWriter(message.bytes).bytes(kAddClientImageAt, image.data(), image.size());
    return message;
}

PipeMessage encodeUpdateClient(std::uint64_t handle, const ClientFields& fields, bool skipAddressCheck) {
    PipeMessage message = blank(toWire(PipeCode::UpdateClient), skipAddressCheck ? 1 : 0, kUpdateClientSize);
    ByteWriter out(message.bytes);
    out.u64le(kHandleAt, handle);
    const auto image = encodeClientRecord(ClientRecordImage{handle, 0, fields});
    out.bytes(kUpdateClientImageAt, image.data(), image.size());
    return message;
}

std::optional<ClientChangeRequest> decodeAddClient(std::span<const std::uint8_t> message) {
    return decodeChange(message, kAddClientImageAt);
}

std::optional<ClientChangeRequest> decodeUpdateClient(std::span<const std::uint8_t> message) {
    return decodeChange(message, kUpdateClientImageAt);
}

PipeMessage encodeHandleRequest(PipeCode code, std::int32_t value, std::uint64_t handle) {
    PipeMessage message = blank(toWire(code), value, kHandleRequestSize);
    ByteWriter(message.bytes).u64le(kHandleAt, handle);
    return message;
}

std::optional<std::uint64_t> decodeRequestHandle(std::span<const std::uint8_t> message) {
    if (message.size() < kHandleRequestSize) return std::nullopt;
    return ByteReader(message).u64le(kHandleAt);
}

PipeMessage encodeListRequest(PipeCode list, std::uint64_t from) {
    return encodeHandleRequest(list, from == 0 ? 0 : 1, from);
}

// ---- Profiles ----------------------------------------------------------------------------------

PipeMessage encodePurgeDynamic() { return blank(toWire(PipeCode::PurgeDynamic), 0, kPurgeDynamicSize); }

PipeMessage encodeGetProfile(std::int32_t index) { return blank(toWire(PipeCode::GetProfile), index, kGetProfileSize); }

PipeMessage encodeGetProfileByName(std::string_view name) {
    PipeMessage message = blank(toWire(PipeCode::GetProfile), -1, kGetProfileSize);
    ByteWriter(message.bytes).text(kProfileNameAt, kProfileNameField, name);
    return message;
}

std::optional<std::string> decodeProfileName(std::span<const std::uint8_t> message) {
    if (message.size() < kProfileNameAt + kProfileNameField) return std::nullopt;
    return fieldText(message, kProfileNameAt, kProfileNameField);
}

PipeMessage encodeRenameProfile(const RenameProfileRequest& request) {
    PipeMessage message = blank(toWire(PipeCode::RenameProfile), request.number, kRenameProfileSize);
    ByteWriter out(message.bytes);
    out.text(kProfileNameAt, kProfileNameField, request.oldName);
    out.text(kRenameNewNameAt, kProfileNameField, request.newName);
    return message;
}

std::optional<RenameProfileRequest> decodeRenameProfile(std::span<const std::uint8_t> message) {
    if (message.size() < kRenameProfileSize) return std::nullopt;
    return RenameProfileRequest{ByteReader(message).i32le(4), fieldText(message, kProfileNameAt, kProfileNameField),
                                fieldText(message, kRenameNewNameAt, kProfileNameField)};
}

PipeMessage encodeCheckAddressProfile(Ipv4 address) {
    PipeMessage message = blank(toWire(PipeCode::CheckAddressProfile), 0, kCheckAddressSize);
    ByteWriter(message.bytes).ipv4(4, address);
    return message;
}

std::optional<Ipv4> decodeCheckAddressProfile(std::span<const std::uint8_t> message) {
    if (message.size() < kCheckAddressSize) return std::nullopt;
    return ByteReader(message).ipv4(4);
}

std::optional<PipeMessage> encodeCheckSelector(const CheckSelectorRequest& request) {
    if (request.value.size() > 255) return std::nullopt;
    PipeMessage message =
        blank(toWire(PipeCode::CheckProfileSelector), 0, kCheckSelectorMinSize + request.value.size());
    ByteWriter out(message.bytes);
    out.ipv4(4, request.relay);
    out.u32le(kSelectorTypeAt, request.type);
    out.text(kSelectorProfileAt, kProfileNameField, request.profile);
    out.u8(kSelectorValueAt, static_cast<std::uint8_t>(request.value.size()));
    out.bytes(kSelectorValueAt + 1, request.value.data(), request.value.size());
    return message;
}

std::optional<CheckSelectorRequest> decodeCheckSelector(std::span<const std::uint8_t> message) {
    if (message.size() < kCheckSelectorMinSize) return std::nullopt;
    ByteReader in(message);
    const std::size_t length = in.u8(kSelectorValueAt);
    if (message.size() < kCheckSelectorMinSize + length) return std::nullopt;
    CheckSelectorRequest request;
    request.relay = in.ipv4(4);
    request.type = in.u32le(kSelectorTypeAt);
    request.profile = fieldText(message, kSelectorProfileAt, kProfileNameField);
    request.value.assign(reinterpret_cast<const char*>(message.data() + kCheckSelectorMinSize), length);
    return request;
}

// ---- Files -------------------------------------------------------------------------------------

std::optional<PipeMessage> encodeFileFindFirst(std::string_view pattern) {
    return withTexts(PipeCode::FileFindFirst, 0, {pattern});
}

std::optional<std::string_view> decodeFileFindFirst(std::span<const std::uint8_t> message) {
    return terminatedText(message, kFileTextAt);
}

std::optional<PipeMessage> encodeFileOpen(std::string_view name, std::string_view mode) {
    return withTexts(PipeCode::FileOpen, 0, {name, mode});
}

std::optional<FileOpenRequest> decodeFileOpen(std::span<const std::uint8_t> message) {
    const std::optional<std::string_view> name = terminatedText(message, kFileTextAt);
    if (!name) return std::nullopt;
    const std::optional<std::string_view> mode = terminatedText(message, kFileTextAt + name->size() + 1);
    if (!mode) return std::nullopt;
    return FileOpenRequest{*name, *mode};
}

std::optional<PipeMessage> encodeFileWrite(std::uint64_t handle, std::span<const std::uint8_t> data) {
    if (data.size() > kPipeMessageMax - kFileWriteDataAt) return std::nullopt;
    PipeMessage message =
        blank(toWire(PipeCode::FileWrite), static_cast<std::int32_t>(data.size()), kFileWriteDataAt + data.size());
    ByteWriter out(message.bytes);
    out.u64le(kHandleAt, handle);
    out.bytes(kFileWriteDataAt, data.data(), data.size());
    return message;
}

std::optional<FileWriteRequest> decodeFileWrite(std::span<const std::uint8_t> message) {
    if (message.size() < kFileWriteDataAt) return std::nullopt;
    ByteReader in(message);
    const std::int32_t count = in.i32le(4);
    if (count < 0 || static_cast<std::size_t>(count) > message.size() - kFileWriteDataAt) return std::nullopt;
    return FileWriteRequest{in.u64le(kHandleAt), message.subspan(kFileWriteDataAt, static_cast<std::size_t>(count))};
}

// ---- WriteSetting ------------------------------------------------------------------------------

std::optional<PipeMessage> encodeWriteSetting(const WriteSettingRequest& request) {
    PipeMessage message = blank(toWire(PipeCode::WriteSetting), 0, kPipeHeaderSize);
    for (const std::optional<std::string>* part : {&request.section, &request.key, &request.text}) {
        const std::size_t counted = *part ? (*part)->size() + 1 : 0;
        if (counted > 255 || message.size + 1 + counted > kPipeMessageMax) return std::nullopt;
        message.bytes[message.size++] = static_cast<std::uint8_t>(counted);
        if (counted == 0) continue;
        if (!(*part)->empty()) std::memcpy(message.bytes.data() + message.size, (*part)->data(), (*part)->size());
        message.size += counted;
        message.bytes[message.size - 1] = 0;
    }
    ByteWriter(message.bytes).i32le(4, static_cast<std::int32_t>(message.size));
    return message;
}

std::optional<WriteSettingRequest> decodeWriteSetting(std::span<const std::uint8_t> message) {
    const std::int32_t value = ByteReader(message).i32le(4);
    if (value < 0 || static_cast<std::size_t>(value) != message.size()) return std::nullopt;
    const CountedText section = countedText(message, kPipeHeaderSize);
    const CountedText key = section.received ? countedText(message, section.end) : CountedText{};
    const CountedText text = key.received ? countedText(message, key.end) : CountedText{};
    if (!text.received) return std::nullopt;
    return WriteSettingRequest{section.text, key.text, text.text};
}

// ---- Blocks ------------------------------------------------------------------------------------

PipeMessage encodeBlockMessage(std::uint32_t word, std::span<const std::uint8_t> block) {
    return *PipeMessage::make(word, static_cast<std::int32_t>(block.size()), block);
}

std::optional<std::span<const std::uint8_t>> decodeBlockMessage(std::span<const std::uint8_t> message,
                                                                std::size_t blockSize) {
    if (message.size() < kPipeHeaderSize + blockSize) return std::nullopt;
    if (ByteReader(message).i32le(4) != static_cast<std::int32_t>(blockSize)) return std::nullopt;
    return message.subspan(kPipeHeaderSize, blockSize);
}

// ---- Replies -----------------------------------------------------------------------------------

PipeMessage encodeLeaseStoreReply(const LeaseStoreReply& reply) {
    const std::size_t textLength = std::min(reply.description.size(), kLeaseStoreTextMax - 1);
    PipeMessage message = blank(kPipeDone, reply.store, kLeaseStoreTextAt + textLength + 1);
    ByteWriter w(message.bytes);
    w.u32le(kLeaseStoreWaitingAt, reply.waiting);
    w.bytes(kLeaseStoreTextAt, reply.description.data(), textLength);
    w.u8(kLeaseStoreTextAt + textLength, 0);
    return message;
}

std::optional<LeaseStoreReply> decodeLeaseStoreReply(const PipeMessage& reply) {
    if (reply.word() != kPipeDone || reply.size < kLeaseStoreTextAt + 1) return std::nullopt;
    const std::int32_t store = reply.value();
    if (store < kLeaseStoreFiles || store > kLeaseStoreDatabaseUnreachable) return std::nullopt;
    const std::span<const std::uint8_t> bytes = reply.view();
    const std::span<const std::uint8_t> text = bytes.subspan(kLeaseStoreTextAt);
    const auto nul = std::find(text.begin(), text.end(), std::uint8_t{0});
    if (nul == text.end() || static_cast<std::size_t>(nul - text.begin()) >= kLeaseStoreTextMax) return std::nullopt;
    return LeaseStoreReply{store, ByteReader(bytes).u32le(kLeaseStoreWaitingAt), std::string(text.begin(), nul)};
}

PipeMessage encodeHandleReply(std::uint64_t handle) {
    PipeMessage message = blank(kPipeDone, static_cast<std::int32_t>(kRecordHandleSize), kHandleRequestSize);
    ByteWriter(message.bytes).u64le(kHandleAt, handle);
    return message;
}

std::optional<std::uint64_t> decodeHandleReply(const PipeMessage& reply) {
    if (reply.size < kHandleRequestSize || reply.word() != kPipeDone) return std::nullopt;
    return ByteReader(reply.view()).u64le(kHandleAt);
}

std::optional<RecordReply> decodeRecordReply(const PipeMessage& reply, std::size_t recordSize) {
    if (reply.size != kPipeHeaderSize + recordSize || reply.word() != kPipeDone) return std::nullopt;
    return RecordReply{reply.value(), reply.payload()};
}

PipeMessage encodeSearchReply(std::int32_t value, std::uint64_t handle, const FileSearchEntry& entry) {
    PipeMessage message = blank(kPipeDone, value, kSearchReplySize);
    ByteWriter out(message.bytes);
    out.u64le(kHandleAt, handle);
    const auto record = encodeFileSearchRecord(entry);
    out.bytes(kSearchRecordAt, record.data(), record.size());
    return message;
}

std::optional<SearchReply> decodeSearchReply(const PipeMessage& reply) {
    if (reply.size != kSearchReplySize || reply.word() != kPipeDone || reply.value() == 0) return std::nullopt;
    std::optional<FileSearchEntry> entry =
        decodeFileSearchRecord(reply.view().subspan(kSearchRecordAt, kFileSearchRecordSize));
    if (!entry) return std::nullopt;
    return SearchReply{ByteReader(reply.view()).u64le(kHandleAt), std::move(*entry)};
}

PipeMessage encodeLineReply(std::string_view line) {
    if (line.size() > kPipeLineMax) line = line.substr(0, kPipeLineMax);
    PipeMessage message = blank(kPipeDone, static_cast<std::int32_t>(line.size()), kPipeHeaderSize + line.size() + 1);
    if (!line.empty()) std::memcpy(message.bytes.data() + kPipeHeaderSize, line.data(), line.size());
    message.bytes[kPipeHeaderSize + line.size()] = 0;
    return message;
}

std::optional<std::string> decodeLineReply(const PipeMessage& reply) {
    if (reply.size <= kPipeHeaderSize || reply.word() != kPipeDone || reply.value() == 0) return std::nullopt;
    const std::optional<std::string_view> line = terminatedText(reply.view(), kPipeHeaderSize);
    if (!line) return std::nullopt;
    return std::string(*line);
}

std::optional<std::int32_t> replyValue(const std::optional<PipeMessage>& reply) {
    if (!reply || reply->size < kPipeHeaderSize || reply->word() != kPipeDone) return std::nullopt;
    return reply->value();
}

}  // namespace tolmark
