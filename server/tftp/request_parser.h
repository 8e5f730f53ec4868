#pragma once
// Checks one read or write request and works out what it asks for: the opcode, the file name,
// the access rules, the path under the root directory or an allowed prefix, the mode and the
// options. Pure: the standing of the client and the existence of directories are handed in,
// and nothing is opened here (file_access does that).

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "base/ipv4.h"
#include "common/settings_blocks.h"
#include "server/tftp/transfer_record.h"

namespace tolmark::tftp {

// What the server knows of a client address: a static entry with it, the profile that
// manages it (the static entry's, if that profile exists, else the first whose pool holds it).
struct ClientStanding {
    bool hasStaticEntry = false;
    bool known = false;  // a profile manages the address
    std::string profile;
    std::string bootFile;
    std::string bootFile2;
    bool alternate = false;
};

struct ParserSettings {
    TftpSettings tftp;
    MulticastSettings multicast;
    std::int32_t maxWindow = 32;  // "TFTPMaxWindow": 0 refuses "windowsize"
};

struct ParseEnvironment {
    std::function<ClientStanding(Ipv4)> standing;
    std::function<bool(const std::string&)> directoryExists;
};

// Where the path of a request lies: below the root directory (relative part given) or under an
// absolute prefix.
struct ResolvedPath {
    std::string full;      // as logged and shown
    std::string root;      // the root directory or the matching prefix item
    std::string relative;  // the part after root
    bool underPrefix = false;
};

struct ParsedRequest {
    // 0 when the transfer may start; else the wire error code with text.
    unsigned errorCode = 0;
    ErrorText text = ErrorText::Unspecified;
    bool failed = false;
    TransferRequest request;
    ResolvedPath path;
    bool multicastRequested = false;
};

// Step by step in the fixed order; stops at the first refusal.
// The first "TFTPPrefix" item (absolute, ";"-separated) that the name begins with.
std::optional<std::string> matchingPrefix(const std::string& prefixes, const std::string& name);

ParsedRequest parseRequest(std::span<const std::uint8_t> datagram, Ipv4 client, std::uint16_t clientPort,
                           const ParserSettings& settings, const ParseEnvironment& environment);

}  // namespace tolmark::tftp
