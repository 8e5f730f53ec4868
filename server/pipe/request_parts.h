#pragma once
// Shared by the request handler's files: one received request with the part of the server its
// group of handlers reaches, the reply forms, and the handler of each request code.

#include <cstdint>
#include <span>
#include <string>

#include "base/byte_io.h"
#include "common/pipe_protocol.h"
#include "server/pipe/request_handler.h"

namespace tolmark::pipe_requests {

// One request as a handler sees it: its bytes and the part of the server its group reaches.
template <class Part>
struct PartRequest {
    Part& context;
    PipeSession& session;
    std::span<const std::uint8_t> bytes;
    std::uint32_t code = 0;
    std::int32_t value = 0;

    ByteReader reader() const { return ByteReader(bytes); }
    bool has(std::size_t size) const { return bytes.size() >= size; }
};
using ClientRequest = PartRequest<ClientAccess>;
using ProfileRequest = PartRequest<ProfileAccess>;
using SettingsRequest = PartRequest<SettingsAccess>;
using FileRequest = PartRequest<FileAccess>;

// The request's own code as status: its size check failed, nothing was done.
template <class Part>
PipeMessage sizeCheckFailed(const PartRequest<Part>& request) {
    return PipeMessage::statusOnly(request.code);
}
inline PipeMessage statusReply(std::uint32_t status) { return PipeMessage::statusOnly(status); }
// Status 0 with a value and an optional payload.
inline PipeMessage valueReply(std::int32_t value, std::span<const std::uint8_t> payload = {}) {
    return *PipeMessage::make(kPipeDone, value, payload);
}

// Settings and status (settings_requests.cpp).
PipeMessage getSettings(SettingsRequest& request);
PipeMessage setSettings(SettingsRequest& request);
PipeMessage getTransfer(SettingsRequest& request);
PipeMessage getStatus(SettingsRequest& request);
PipeMessage setInterfaces(SettingsRequest& request);
PipeMessage getTftpSettings(SettingsRequest& request);
PipeMessage setTftpSettings(SettingsRequest& request);
PipeMessage getMulticast(SettingsRequest& request);
PipeMessage setMulticast(SettingsRequest& request);
PipeMessage writeSetting(SettingsRequest& request);
PipeMessage getLeaseStore(SettingsRequest& request);
PipeMessage getStats(SettingsRequest& request);

// Client records (client_requests.cpp).
PipeMessage findClient(ClientRequest& request);
PipeMessage addClient(ClientRequest& request);
PipeMessage updateClient(ClientRequest& request);
PipeMessage removeClient(ClientRequest& request);
PipeMessage listStatic(ClientRequest& request);
PipeMessage listDynamic(ClientRequest& request);
PipeMessage listIgnored(ClientRequest& request);

// Profiles (profile_requests.cpp).
PipeMessage reloadProfiles(ProfileRequest& request);
PipeMessage purgeDynamic(ProfileRequest& request);
PipeMessage getProfile(ProfileRequest& request);
PipeMessage renameProfile(ProfileRequest& request);
PipeMessage checkAddressProfile(ProfileRequest& request);
PipeMessage checkProfileSelector(ProfileRequest& request);

// Files of the log directory (file_requests.cpp).
PipeMessage fileFindFirst(FileRequest& request);
PipeMessage fileFindNext(FileRequest& request);
PipeMessage fileFindClose(FileRequest& request);
PipeMessage fileOpen(FileRequest& request);
PipeMessage fileClose(FileRequest& request);
PipeMessage fileReadLine(FileRequest& request);
PipeMessage fileWrite(FileRequest& request);

}  // namespace tolmark::pipe_requests
