#pragma once
// Shared by the request handler's files: one received request, the reply forms, and the
// handler of each request code (grouped by what they touch).

#include <cstdint>
#include <span>
#include <string>

#include "base/byte_io.h"
#include "common/pipe_protocol.h"
#include "server/pipe/request_handler.h"

namespace tolmark::pipe_requests {

struct Request {
    PipeContext& context;
    PipeSession& session;
    std::span<const std::uint8_t> bytes;
    std::uint32_t code = 0;
    std::int32_t value = 0;

    ByteReader reader() const { return ByteReader(bytes); }
    bool has(std::size_t size) const { return bytes.size() >= size; }
};

// The request's own code as status: its size check failed, nothing was done.
inline PipeMessage sizeCheckFailed(const Request& request) { return PipeMessage::statusOnly(request.code); }
inline PipeMessage statusReply(std::uint32_t status) { return PipeMessage::statusOnly(status); }
// Status 0 with a value and an optional payload.
inline PipeMessage valueReply(std::int32_t value, std::span<const std::uint8_t> payload = {}) {
    return *PipeMessage::make(kPipeDone, value, payload);
}

// Settings and status (settings_requests.cpp).
PipeMessage getSettings(Request& request);
PipeMessage setSettings(Request& request);
PipeMessage getTransfer(Request& request);
PipeMessage getStatus(Request& request);
PipeMessage setInterfaces(Request& request);
PipeMessage getTftpSettings(Request& request);
PipeMessage setTftpSettings(Request& request);
PipeMessage getMulticast(Request& request);
PipeMessage setMulticast(Request& request);
PipeMessage writeSetting(Request& request);

// Client records (client_requests.cpp).
PipeMessage findClient(Request& request);
PipeMessage addClient(Request& request);
PipeMessage updateClient(Request& request);
PipeMessage removeClient(Request& request);
PipeMessage listStatic(Request& request);
PipeMessage listDynamic(Request& request);
PipeMessage listIgnored(Request& request);

// Profiles (profile_requests.cpp).
PipeMessage reloadProfiles(Request& request);
PipeMessage purgeDynamic(Request& request);
PipeMessage getProfile(Request& request);
PipeMessage renameProfile(Request& request);
PipeMessage checkAddressProfile(Request& request);
PipeMessage checkProfileSelector(Request& request);

// Files of the log directory (file_requests.cpp).
PipeMessage fileFindFirst(Request& request);
PipeMessage fileFindNext(Request& request);
PipeMessage fileFindClose(Request& request);
PipeMessage fileOpen(Request& request);
PipeMessage fileClose(Request& request);
PipeMessage fileReadLine(Request& request);
PipeMessage fileWrite(Request& request);

}  // namespace tolmark::pipe_requests
