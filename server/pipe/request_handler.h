#pragma once
// Answers one control pipe request. The handler sees only the server's state (the context),
// what the connection holds (its permission and its open searches and files) and the bytes
// received; it returns the reply bytes. Sockets, threads and the control pipe lock stay in
// PipeServer, so every request can be driven byte for byte in a test.

#include <array>
#include <optional>
#include <span>

#include "common/pipe_protocol.h"
#include "server/pipe/file_requests.h"
#include "server/pipe/peer_limits.h"
#include "server/pipe/pipe_context.h"

namespace tolmark {

// One connection's standing and what it holds open.
struct PipeSession {
    PipeSession() = default;
    ~PipeSession();
    PipeSession(const PipeSession&) = delete;
    PipeSession& operator=(const PipeSession&) = delete;

    bool mayWrite = false;  // decided once, at the connection's first message
    bool remote = false;    // a TCP peer: it may read, never change anything
    PeerKey peer = 0;
    // Open searches and files of the peer over all its connections; none: only the table
    // sizes of this connection limit them.
    PeerCounter* handleBudget = nullptr;
    std::size_t handlesPerPeer = 0;
    std::size_t unprivilegedHandles = 0;  // counted under kUnprivilegedPeers unless mayWrite
    FileHandles handles;
    // The StatusChanged counts as this connection's last GetStatus saw them (none yet: unset).
    std::optional<std::array<std::uint64_t, 2>> statusChangesSeen;

    // Store a search or file if the peer may hold one more; 0 when it may not.
    PipeHandle addSearch(DirectorySearch&& search);
    PipeHandle addFile(std::unique_ptr<std::FILE, FileCloser>&& file);
    bool closeSearch(PipeHandle handle);
    bool closeFile(PipeHandle handle);

private:
    bool takeHandle();
    void giveHandle();
};

// Never reads past the bytes given; a message it cannot take is answered with the status its
// code calls for and changes nothing. The caller holds the control pipe lock.
PipeMessage handleRequest(PipeContext& context, PipeSession& session, std::span<const std::uint8_t> request);

}  // namespace tolmark
