#pragma once
// Answers one control pipe request. The handler sees only the server's state (the context),
// what the connection holds (its permission and its open searches and files) and the bytes
// received; it returns the reply bytes. Sockets, threads and the control pipe lock stay in
// PipeServer, so every request can be driven byte for byte in a test.

#include <span>

#include "common/pipe_protocol.h"
#include "server/pipe/file_requests.h"
#include "server/pipe/pipe_context.h"

namespace tolmark {

struct PipeSession {
    bool mayWrite = false;  // decided once, at the connection's first message
    FileHandles handles;
};

// Never reads past the bytes given; a message it cannot take is answered with the status its
// code calls for and changes nothing. The caller holds the control pipe lock.
PipeMessage handleRequest(PipeContext& context, PipeSession& session, std::span<const std::uint8_t> request);

}  // namespace tolmark
