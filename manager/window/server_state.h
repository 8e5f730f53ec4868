#pragma once
// What the main window knows of the server: the copies of its settings blocks and status record,
// the profile names, the active TFTP count and the state code, and the texts of the two status
// bars made from them.

#include <QString>

#include <optional>
#include <string>
#include <vector>

#include "common/settings_blocks.h"
#include "manager/language/language.h"
#include "manager/lists/entry_rows.h"
#include "manager/pipe/manager_pipe.h"

namespace tolmark::manager {

// Server state codes of the bottom status bar.
inline constexpr int kStateReady = 0;
inline constexpr int kStateOtherServer = 2;
inline constexpr int kStatePortInUse = 3;
inline constexpr int kStateTftpFailed = 4;
inline constexpr int kStatePipeFailure = 5;

inline constexpr int kLookupNamesBit = 2;  // bit 1 of "Lookup": the server resolves host names

// The settings blocks, the status record and the profile names, as fetched at start and at the
// first contact with the server.
struct ServerBlocks {
    PipeResult<GeneralSettings> general;
    PipeResult<ServerStatus> status;
    PipeResult<TftpSettings> tftp;
    PipeResult<MulticastSettings> multicast;
    std::vector<std::string> profiles;
    PipeResult<LeaseStoreReply> leaseStore;

    static ServerBlocks fetch(ManagerPipe& pipe, bool withStatus);
};

// The profile names by index 0, 1, ... until a request fails.
std::vector<std::string> readProfileNames(ManagerPipe& pipe);

struct ServerState {
    std::optional<GeneralSettings> general;
    ServerStatus status;
    std::optional<TftpSettings> tftp;
    std::optional<MulticastSettings> multicast;
    std::vector<std::string> profileNames;
    std::optional<unsigned> untrustedUid;  // the holder of the pipe's name when it is not the server
    int activeTftp = -1;                   // -1: the TFTP server is off
    int stateCode = kStateReady;
    // Where the server keeps its leases; nothing while it is not reached or does not say.
    std::optional<LeaseStoreReply> leaseStore;

    // The blocks that came; those that did not keep their copies.
    void take(const ServerBlocks& blocks);
    bool resolvesNames() const { return general && (general->lookup & kLookupNamesBit) != 0; }
};

// The state code the server reports in its status record (offset 44).
int stateFromStatus(const ServerStatus& status);

// The top bar's counts of the view; the bottom bar's server state.
QString topStatusText(const Language& language, View view, const ServerState& state);
QString bottomStatusText(const Language& language, const ServerState& state);
// Where the server keeps its leases, for the right-hand side of the bottom bar; empty when
// that is not known.
QString leaseStoreText(const Language& language, const ServerState& state);
// Another user's process holding the pipe's name is named as such: it is not the server.
QString pipeFailureText(const Language& language, const std::optional<unsigned>& untrustedUid);

}  // namespace tolmark::manager
