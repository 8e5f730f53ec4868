#pragma once
// trisko: changes and lists the client entries of a running server, local or on another host,
// and edits its MAC ranges. Every command is carried out by control pipe requests.

#include <chrono>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "common/pipe_protocol.h"

namespace tolmark::tool {

inline constexpr int kExitSuccess = 1;
inline constexpr int kExitFailure = 0;
inline constexpr int kExitBadEntry = -1;

// Port of a remote server when its name does not give one ("host:port"); $TOLMARK_REMOTE_PORT
// replaces it.
inline constexpr std::uint16_t kDefaultRemotePort = 5067;

// A server that takes longer than this to accept a request or to answer it is taken as not
// running, so that a stuck server or an unreachable host cannot hold a script for ever.
inline constexpr std::chrono::seconds kRequestTimeout{10};

// Makes the pipe client for a server name (empty: the local server).
using ClientFactory = std::function<std::unique_ptr<PipeClient>(const std::string& serverName)>;
std::unique_ptr<PipeClient> connectTo(const std::string& serverName);

// Runs one command line; returns the exit code.
int runTrisko(int argc, const char* const* argv, std::FILE* out, std::FILE* in, std::int64_t now,
              const ClientFactory& factory = connectTo);

}  // namespace tolmark::tool
