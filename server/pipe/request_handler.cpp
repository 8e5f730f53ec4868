#include "server/pipe/request_handler.h"

#include <cstring>

#include "server/pipe/request_parts.h"

namespace tolmark {

namespace pipe_requests {

std::string fieldText(std::span<const std::uint8_t> bytes, std::size_t offset, std::size_t width) {
    if (offset > bytes.size() || width > bytes.size() - offset) return {};
    const char* start = reinterpret_cast<const char*>(bytes.data() + offset);
    return std::string(start, strnlen(start, width));
}

}  // namespace pipe_requests

namespace {

using namespace pipe_requests;

using Handler = PipeMessage (*)(Request&);

// Every request is checked in the same order: known code, permission, size. A refused client
// learns nothing about the sizes of requests it may not make. minSize is the message size the
// request needs before its handler looks at variable parts (which it checks itself).
struct Route {
    PipeCode code;
    bool needsWrite;
    std::size_t minSize;
    Handler handler;
};

constexpr Route kRoutes[] = {
    {PipeCode::GetSettings, false, 8, getSettings},
    {PipeCode::SetSettings, true, 8, setSettings},
    {PipeCode::FindClient, false, 97, findClient},
    {PipeCode::AddClient, true, 8 + kClientRecordSize, addClient},
    {PipeCode::UpdateClient, true, 16 + kClientRecordSize, updateClient},
    {PipeCode::RemoveClient, true, 16, removeClient},
    {PipeCode::ListStatic, false, 8, listStatic},
    {PipeCode::ListDynamic, false, 8, listDynamic},
    {PipeCode::ListIgnored, false, 8, listIgnored},
    {PipeCode::GetTransfer, false, 8, getTransfer},
    {PipeCode::GetStatus, false, 8, getStatus},
    {PipeCode::SetInterfaces, true, 8, setInterfaces},
    {PipeCode::GetTftpSettings, false, 8, getTftpSettings},
    {PipeCode::SetTftpSettings, true, 8, setTftpSettings},
    {PipeCode::GetMulticast, false, 8, getMulticast},
    {PipeCode::SetMulticast, true, 8, setMulticast},
    {PipeCode::ReloadProfiles, false, 8, reloadProfiles},
    {PipeCode::PurgeDynamic, false, 32, purgeDynamic},
    {PipeCode::GetProfile, false, 32, getProfile},
    {PipeCode::RenameProfile, true, 56, renameProfile},
    {PipeCode::CheckAddressProfile, false, 8, checkAddressProfile},
    {PipeCode::CheckProfileSelector, false, 37, checkProfileSelector},
    {PipeCode::FileFindFirst, false, 9, fileFindFirst},
    {PipeCode::FileFindNext, false, 16, fileFindNext},
    {PipeCode::FileFindClose, false, 16, fileFindClose},
    // Whether FileOpen needs write permission depends on its mode; the handler decides.
    {PipeCode::FileOpen, false, 10, fileOpen},
    {PipeCode::FileClose, false, 16, fileClose},
    {PipeCode::FileReadLine, false, 16, fileReadLine},
    {PipeCode::FileWrite, true, 16, fileWrite},
    {PipeCode::WriteSetting, true, 8, writeSetting},
};

const Route* routeOf(std::uint32_t code) {
    for (const Route& route : kRoutes) {
        if (toWire(route.code) == code) return &route;
    }
    return nullptr;
}

}  // namespace

PipeMessage handleRequest(PipeContext& context, PipeSession& session, std::span<const std::uint8_t> request) {
    ByteReader in(request);
    // Without a whole code word there is no request to name in the reply.
    if (request.size() < 4) return statusReply(kPipeUnknownCode);
    const std::uint32_t code = in.u32le(0);
    const Route* route = routeOf(code);
    if (route == nullptr) return statusReply(kPipeUnknownCode);
    if (route->needsWrite && !session.mayWrite) return statusReply(kPipeRefused);
    if (request.size() < route->minSize || request.size() > kPipeMessageMax) return PipeMessage::statusOnly(code);
    Request parsed{context, session, request, code, in.i32le(4)};
    return route->handler(parsed);
}

}  // namespace tolmark
