#include "server/pipe/request_handler.h"

#include <cstring>
#include <type_traits>

#include "common/pipe_requests.h"
#include "server/pipe/request_parts.h"

namespace tolmark {

namespace {

using namespace pipe_requests;

// Every handler is reached through one of these, which hands it its group's part of the server.
using Dispatch = PipeMessage (*)(PipeContext&, PipeSession&, std::span<const std::uint8_t>, std::uint32_t,
                                 std::int32_t);

template <auto Part, auto Handler>
PipeMessage dispatch(PipeContext& context, PipeSession& session, std::span<const std::uint8_t> bytes,
                     std::uint32_t code, std::int32_t value) {
    using Part_ = std::remove_reference_t<decltype(context.*Part)>;
    PartRequest<Part_> request{context.*Part, session, bytes, code, value};
    return Handler(request);
}

template <auto Handler>
constexpr Dispatch clients = dispatch<&PipeContext::clients, Handler>;
template <auto Handler>
constexpr Dispatch profiles = dispatch<&PipeContext::profiles, Handler>;
template <auto Handler>
constexpr Dispatch settings = dispatch<&PipeContext::settings, Handler>;
template <auto Handler>
constexpr Dispatch files = dispatch<&PipeContext::files, Handler>;

// Every request is checked in the same order: known code, permission, size. A refused client
// learns nothing about the sizes of requests it may not make. minSize is the message size the
// request needs before its handler looks at variable parts (which it checks itself).
// localOnly: the request changes the server's state, which a remote peer may never do, even
// where a local user without write permission may (reloading profiles, purging leases).
struct Route {
    PipeCode code;
    bool needsWrite;
    std::size_t minSize;
    Dispatch handler;
    bool localOnly = false;
};

constexpr Route kRoutes[] = {
    {PipeCode::GetSettings, false, kPipeHeaderSize, settings<getSettings>},
    {PipeCode::SetSettings, true, kPipeHeaderSize, settings<setSettings>},
    {PipeCode::FindClient, false, kFindClientSize, clients<findClient>},
    {PipeCode::AddClient, true, kAddClientSize, clients<addClient>},
    {PipeCode::UpdateClient, true, kUpdateClientSize, clients<updateClient>},
    {PipeCode::RemoveClient, true, kHandleRequestSize, clients<removeClient>},
    {PipeCode::ListStatic, false, kPipeHeaderSize, clients<listStatic>},
    {PipeCode::ListDynamic, false, kPipeHeaderSize, clients<listDynamic>},
    {PipeCode::ListIgnored, false, kPipeHeaderSize, clients<listIgnored>},
    {PipeCode::GetTransfer, false, kPipeHeaderSize, settings<getTransfer>},
    {PipeCode::GetStatus, false, kPipeHeaderSize, settings<getStatus>},
    {PipeCode::SetInterfaces, true, kPipeHeaderSize, settings<setInterfaces>},
    {PipeCode::GetTftpSettings, false, kPipeHeaderSize, settings<getTftpSettings>},
    {PipeCode::SetTftpSettings, true, kPipeHeaderSize, settings<setTftpSettings>},
    {PipeCode::GetMulticast, false, kPipeHeaderSize, settings<getMulticast>},
    {PipeCode::SetMulticast, true, kPipeHeaderSize, settings<setMulticast>},
    {PipeCode::ReloadProfiles, false, kPipeHeaderSize, profiles<reloadProfiles>, true},
    {PipeCode::PurgeDynamic, false, kPurgeDynamicSize, profiles<pipe_requests::purgeDynamic>, true},
    {PipeCode::GetProfile, false, kGetProfileSize, profiles<getProfile>},
    {PipeCode::RenameProfile, true, kRenameProfileSize, profiles<renameProfile>},
    {PipeCode::CheckAddressProfile, false, kCheckAddressSize, profiles<checkAddressProfile>},
    {PipeCode::CheckProfileSelector, false, kCheckSelectorMinSize, profiles<checkProfileSelector>},
    {PipeCode::FileFindFirst, false, kFindFirstMinSize, files<fileFindFirst>},
    {PipeCode::FileFindNext, false, kHandleRequestSize, files<fileFindNext>},
    {PipeCode::FileFindClose, false, kHandleRequestSize, files<fileFindClose>},
    // Whether FileOpen needs write permission depends on its mode; the handler decides.
    {PipeCode::FileOpen, false, kFileOpenMinSize, files<fileOpen>},
    {PipeCode::FileClose, false, kHandleRequestSize, files<fileClose>},
    {PipeCode::FileReadLine, false, kHandleRequestSize, files<fileReadLine>},
    {PipeCode::FileWrite, true, kFileWriteDataAt, files<fileWrite>},
    {PipeCode::WriteSetting, true, kPipeHeaderSize, settings<writeSetting>},
    {PipeCode::GetLeaseStore, false, kPipeHeaderSize, settings<getLeaseStore>},
    {PipeCode::GetStats, false, kPipeHeaderSize, settings<getStats>},
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
        if (context.counters != nullptr) context.counters->controlRequestsRefused.add();
        return statusReply(kPipeRefused);
    }
    if (request.size() < route->minSize || request.size() > kPipeMessageMax) return PipeMessage::statusOnly(code);
    return route->handler(context, session, request, code, in.i32le(4));
}

}  // namespace tolmark
