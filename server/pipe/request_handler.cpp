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
// localOnly: the request changes the server's state, which a remote peer may never do, even
// where a local user without write permission may (reloading profiles, purging leases).
struct Route {
    PipeCode code;
    bool needsWrite;
    std::size_t minSize;
    Handler handler;
    bool localOnly = false;
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
    {PipeCode::ReloadProfiles, false, kPipeHeaderSize, reloadProfiles, true},
    {PipeCode::PurgeDynamic, false, kPurgeDynamicSize, purgeDynamic, true},
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

PipeSession::~PipeSession() {
    const std::size_t open = handles.searches.size() + handles.files.size();
    if (handleBudget == nullptr || open == 0) return;
    handleBudget->give(peer, open);
    if (!mayWrite) handleBudget->give(kUnprivilegedPeers, open);
}

bool PipeSession::takeHandle() {
    if (handleBudget == nullptr) return true;
    if (!handleBudget->take(peer, handlesPerPeer)) return false;
    if (!mayWrite && !handleBudget->take(kUnprivilegedPeers, unprivilegedHandles)) {
        handleBudget->give(peer);
        return false;
    }
    return true;
}

void PipeSession::giveHandle() {
    if (handleBudget == nullptr) return;
    handleBudget->give(peer);
    if (!mayWrite) handleBudget->give(kUnprivilegedPeers);
}

PipeHandle PipeSession::addSearch(DirectorySearch&& search) {
    if (!takeHandle()) return 0;
    const PipeHandle handle = handles.searches.insert(std::move(search));
    if (handle == 0) giveHandle();
    return handle;
}

PipeHandle PipeSession::addFile(std::unique_ptr<std::FILE, FileCloser>&& file) {
    if (!takeHandle()) return 0;
    const PipeHandle handle = handles.files.insert(std::move(file));
    if (handle == 0) giveHandle();
    return handle;
}

bool PipeSession::closeSearch(PipeHandle handle) {
    if (!handles.searches.erase(handle)) return false;
    giveHandle();
    return true;
}

bool PipeSession::closeFile(PipeHandle handle) {
    if (!handles.files.erase(handle)) return false;
    giveHandle();
    return true;
}

PipeMessage handleRequest(PipeContext& context, PipeSession& session, std::span<const std::uint8_t> request) {
    ByteReader in(request);
    // Without a whole code word there is no request to name in the reply.
    if (request.size() < 4) return statusReply(kPipeUnknownCode);
    const std::uint32_t code = in.u32le(0);
    const Route* route = routeOf(code);
    if (route == nullptr) return statusReply(kPipeUnknownCode);
    if ((route->needsWrite && !session.mayWrite) || ((route->needsWrite || route->localOnly) && session.remote)) {
        return statusReply(kPipeRefused);
    }
    if (request.size() < route->minSize || request.size() > kPipeMessageMax) return PipeMessage::statusOnly(code);
    Request parsed{context, session, request, code, in.i32le(4)};
    return route->handler(parsed);
}

}  // namespace tolmark
