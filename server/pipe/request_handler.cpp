#include "server/pipe/request_handler.h"

#include <cstring>

#include "common/pipe_requests.h"
#include "server/pipe/request_parts.h"

namespace tolmark {

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
    {PipeCode::GetSettings, false, kPipeHeaderSize, getSettings},
    {PipeCode::SetSettings, true, kPipeHeaderSize, setSettings},
    {PipeCode::FindClient, false, kFindClientSize, findClient},
    {PipeCode::AddClient, true, kAddClientSize, addClient},
    {PipeCode::UpdateClient, true, kUpdateClientSize, updateClient},
    {PipeCode::RemoveClient, true, kHandleRequestSize, removeClient},
    {PipeCode::ListStatic, false, kPipeHeaderSize, listStatic},
    {PipeCode::ListDynamic, false, kPipeHeaderSize, listDynamic},
    {PipeCode::ListIgnored, false, kPipeHeaderSize, listIgnored},
    {PipeCode::GetTransfer, false, kPipeHeaderSize, getTransfer},
    {PipeCode::GetStatus, false, kPipeHeaderSize, getStatus},
    {PipeCode::SetInterfaces, true, kPipeHeaderSize, setInterfaces},
    {PipeCode::GetTftpSettings, false, kPipeHeaderSize, getTftpSettings},
    {PipeCode::SetTftpSettings, true, kPipeHeaderSize, setTftpSettings},
    {PipeCode::GetMulticast, false, kPipeHeaderSize, getMulticast},
    {PipeCode::SetMulticast, true, kPipeHeaderSize, setMulticast},
    {PipeCode::ReloadProfiles, false, kPipeHeaderSize, reloadProfiles},
    {PipeCode::PurgeDynamic, false, kPurgeDynamicSize, purgeDynamic},
    {PipeCode::GetProfile, false, kGetProfileSize, getProfile},
    {PipeCode::RenameProfile, true, kRenameProfileSize, renameProfile},
    {PipeCode::CheckAddressProfile, false, kCheckAddressSize, checkAddressProfile},
    {PipeCode::CheckProfileSelector, false, kCheckSelectorMinSize, checkProfileSelector},
    {PipeCode::FileFindFirst, false, kFindFirstMinSize, fileFindFirst},
    {PipeCode::FileFindNext, false, kHandleRequestSize, fileFindNext},
    {PipeCode::FileFindClose, false, kHandleRequestSize, fileFindClose},
    // Whether FileOpen needs write permission depends on its mode; the handler decides.
    {PipeCode::FileOpen, false, kFileOpenMinSize, fileOpen},
    {PipeCode::FileClose, false, kHandleRequestSize, fileClose},
    {PipeCode::FileReadLine, false, kHandleRequestSize, fileReadLine},
    {PipeCode::FileWrite, true, kFileWriteDataAt, fileWrite},
    {PipeCode::WriteSetting, true, kPipeHeaderSize, writeSetting},
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
