#include "server/tftp/request_parser.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <string_view>

namespace tolmark::tftp {
namespace {

constexpr std::int32_t kFlagPrintableNames = 1;
constexpr unsigned kCodeIllegal = 4;
constexpr unsigned kCodeBadOption = 8;

// A NUL-terminated text starting at offset; nothing when its NUL lies beyond the datagram.
struct Text {
    bool ok = false;
    std::string_view text;
    std::size_t next = 0;
};

Text readText(std::span<const std::uint8_t> datagram, std::size_t offset) {
    Text result;
    if (offset >= datagram.size()) return result;
    const char* start = reinterpret_cast<const char*>(datagram.data() + offset);
    const void* nul = std::memchr(start, 0, datagram.size() - offset);
    if (nul == nullptr) return result;
    result.ok = true;
    result.text = std::string_view(start, static_cast<const char*>(nul) - start);
    result.next = offset + result.text.size() + 1;
    return result;
}

// Leading unsigned decimal number, saturating at the largest 64-bit value; nothing when the text
// does not start with a digit.
std::optional<std::uint64_t> readNumber(std::string_view text) {
    if (text.empty() || text[0] < '0' || text[0] > '9') return std::nullopt;
    constexpr std::uint64_t kMax = ~std::uint64_t{0};
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        const auto digit = static_cast<unsigned>(c - '0');
        value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
    }
    return value;
}

bool equalsNoCase(std::string_view a, const char* b) {
    return a.size() == std::strlen(b) && strncasecmp(a.data(), b, a.size()) == 0;
}

ParsedRequest& refuse(ParsedRequest& parsed, unsigned code, ErrorText text) {
    parsed.failed = true;
    parsed.errorCode = code;
    parsed.text = text;
    return parsed;
}

bool isBootFile(const ClientStanding& standing, const std::string& name) {
    if (!standing.known) return false;
    return name == standing.bootFile || (standing.alternate && name == standing.bootFile2);
}

// The access rules of "TFTPMode" (its value 1 is the listener's).
bool accessAllowed(std::int32_t mode, const ClientStanding& standing, const std::string& name) {
    if (mode & kTftpModeBootFileOnly) {
        if (!isBootFile(standing, name)) return false;
    } else if ((mode & kTftpModeBootFileClient) && !standing.known) {
        return false;
    }
    if ((mode & kTftpModeKnownClient) && !standing.hasStaticEntry) return false;
    return true;
}

// The address with its lowest n-1 bits cleared, in dotted form.
std::string addressDirectory(Ipv4 client, int n) {
    const std::uint32_t mask = ~((std::uint32_t{1} << (n - 1)) - 1);
    return formatIpv4(ipv4FromHostOrder(ipv4ToHostOrder(client) & mask)).c_str();
}

// Step 6: the relative name below the root, with the address or profile directory.
bool resolveRelative(ParsedRequest& parsed, std::string name, const ParserSettings& settings,
                     const ClientStanding& standing, const ParseEnvironment& environment, Ipv4 client) {
    if (!name.empty() && name[0] == '/') name.erase(0, 1);
    // The root is a directory whether or not it was stored with its final "/".
    std::string root = settings.tftp.directory;
    if (!root.empty() && root.back() != '/') root += '/';
    if (root.size() + name.size() >= kMaxPath) return refuse(parsed, kCodeIllegal, ErrorText::PathTooLong), false;
    std::string relative;
    bool kept = false;
    const std::int32_t ipSpecific = settings.tftp.rootIpSpecific;
    if (ipSpecific >= 1 && ipSpecific <= 32) {
        const std::string directory = addressDirectory(client, ipSpecific);
        if (root.size() + directory.size() >= kMaxPath)
            return refuse(parsed, kCodeIllegal, ErrorText::PathTooLong), false;
        if (environment.directoryExists && environment.directoryExists(root + directory)) {
            relative = directory + "/";
            kept = true;
        }
    }
    if (!kept && settings.tftp.rootProfile != 0 && !standing.profile.empty()) {
        if (root.size() + standing.profile.size() >= kMaxPath)
            return refuse(parsed, kCodeIllegal, ErrorText::PathTooLong), false;
        if (environment.directoryExists && environment.directoryExists(root + standing.profile))
            relative = standing.profile + "/";
    }
    relative += name;
    if (root.size() + relative.size() >= kMaxPath) return refuse(parsed, kCodeIllegal, ErrorText::PathTooLong), false;
    parsed.path.root = root;
    parsed.path.relative = relative;
    parsed.path.full = root + relative;
    return true;
}

// Step 8: the options that follow the mode.
bool readOptions(ParsedRequest& parsed, std::span<const std::uint8_t> datagram, std::size_t offset,
                 const ParserSettings& settings) {
    TransferRequest& request = parsed.request;
    const std::int32_t allowed = settings.tftp.options;
    std::uint64_t window = 0;
    while (offset < datagram.size()) {
        const Text name = readText(datagram, offset);
        if (!name.ok) break;
        const Text value = readText(datagram, name.next);
        const std::string_view v = value.ok ? value.text : std::string_view();
        offset = value.ok ? value.next : datagram.size();
        // A number out of an option's range leaves the option out of the OACK: the client then
        // works with the default (RFC 2347), where a refusal would leave it without its file (a
        // boot loader with a time-out under a second asks for "timeout 0").
        if (equalsNoCase(name.text, "blksize") && (allowed & kOptBlksize)) {
            const auto number = readNumber(v);
            if (!number) return refuse(parsed, kCodeBadOption, ErrorText::BadBlksize), false;
            // No empty or tiny blocks; larger ones than a datagram holds are cut down (RFC 2348).
            if (*number < kMinBlockSize) continue;
            request.blockSize = static_cast<std::uint16_t>(*number > kMaxBlockSize ? kMaxBlockSize : *number);
            request.options |= kOptBlksize;
        } else if (equalsNoCase(name.text, "timeout") && (allowed & kOptTimeout)) {
            const auto number = readNumber(v);
            if (!number) return refuse(parsed, kCodeBadOption, ErrorText::BadTimeout), false;
            if (*number < 1 || *number > 255) continue;  // RFC 2349
            request.timeout = static_cast<std::int32_t>(*number);
            request.options |= kOptTimeout;
        } else if (equalsNoCase(name.text, "tsize") && (allowed & kOptTsize)) {
            const auto number = readNumber(v);
            if (!number) return refuse(parsed, kCodeBadOption, ErrorText::BadTsize), false;
            request.size = *number;
            request.options |= kOptTsize;
        } else if (equalsNoCase(name.text, "multicast") && settings.multicast.multicast != 0) {
            if (request.opcode != kOpReadRequest || !v.empty())
                return refuse(parsed, kCodeBadOption, ErrorText::BadMulticast), false;
            parsed.multicastRequested = true;
        } else if (equalsNoCase(name.text, "windowsize") && allowed != 0 && settings.maxWindow > 0 &&
                   request.opcode == kOpReadRequest) {
            const auto number = readNumber(v);
            if (!number) return refuse(parsed, kCodeBadOption, ErrorText::InvalidOption), false;
            // 0 is left out; more than 65535 (RFC 7440) is cut like any large window below.
            if (*number != 0) window = *number;
        }
    }
    // Multicast groups move one block at a time, driven by the master's acknowledgements. The
    // window is cut to "TFTPMaxWindow" and to what the buffers of one transfer may hold.
    if (window != 0 && !parsed.multicastRequested) {
        const std::uint64_t byBytes = std::max<std::uint64_t>(1, kMaxWindowBytes / request.blockSize);
        const auto limit = std::min({static_cast<std::uint64_t>(std::clamp(settings.maxWindow, 1, kMaxWindowLimit)),
                                     byBytes, std::uint64_t{65535}});
        request.window = static_cast<std::uint16_t>(window < limit ? window : limit);
        request.options |= kOptWindowsize;
    }
    return true;
}

}  // namespace

std::optional<std::string> matchingPrefix(const std::string& prefixes, const std::string& name) {
    std::size_t start = 0;
    while (start <= prefixes.size()) {
        std::size_t end = prefixes.find(';', start);
        if (end == std::string::npos) end = prefixes.size();
        const std::string item = prefixes.substr(start, end - start);
        if (item.size() > 1 && item[0] == '/' && name.size() >= item.size() && name.compare(0, item.size(), item) == 0)
            return item;
        start = end + 1;
    }
    return std::nullopt;
}

ParsedRequest parseRequest(std::span<const std::uint8_t> datagram, Ipv4 client, std::uint16_t clientPort,
                           const ParserSettings& settings, const ParseEnvironment& environment) {
    ParsedRequest parsed;
    TransferRequest& request = parsed.request;
    request.client = client;
    request.clientPort = clientPort;

    // 1. Opcode.
    if (datagram.size() < 3) return refuse(parsed, kCodeIllegal, ErrorText::BadPacket);
    const unsigned opcode = (unsigned{datagram[0]} << 8) | datagram[1];
    if (opcode != kOpReadRequest && opcode != kOpWriteRequest)
        return refuse(parsed, kCodeIllegal, ErrorText::BadPacket);
    request.opcode = static_cast<std::uint16_t>(opcode);
    if (opcode == kOpWriteRequest && settings.tftp.upload == 0)
        return refuse(parsed, kCodeIllegal, ErrorText::IllegalOperation);

    // 2. File name.
    const Text name = readText(datagram, 2);
    if (!name.ok || name.text.find("..") != std::string_view::npos)
        return refuse(parsed, kCodeIllegal, ErrorText::InvalidPath);

    // 3. Characters.
    std::string fileName;
    fileName.reserve(name.text.size());
    for (char c : name.text) {
        const auto u = static_cast<unsigned char>(c);
        if ((settings.tftp.flags & kFlagPrintableNames) && (u < 0x20 || u > 0x7E)) break;
        fileName += c == '\\' ? '/' : c;
    }

    // 4. Access rules.
    const ClientStanding standing = environment.standing ? environment.standing(client) : ClientStanding{};
    if (!accessAllowed(settings.tftp.mode, standing, fileName))
        return refuse(parsed, kCodeIllegal, ErrorText::AccessDenied);

    // 5 and 6. Absolute prefixes, otherwise the root directory.
    if (const auto prefix = matchingPrefix(settings.tftp.prefix, fileName)) {
        if (fileName.size() >= kMaxPath) return refuse(parsed, kCodeIllegal, ErrorText::PathTooLong);
        parsed.path.full = fileName;
        parsed.path.root = *prefix;
        parsed.path.relative = fileName.substr(prefix->size());
        parsed.path.underPrefix = true;
    } else if (!resolveRelative(parsed, fileName, settings, standing, environment, client)) {
        return parsed;
    }
    request.path = parsed.path.full;

    // 7. Mode.
    const Text mode = readText(datagram, name.next);
    if (!mode.ok) return refuse(parsed, kCodeIllegal, ErrorText::BadPacket);
    request.mode = equalsNoCase(mode.text, "mail")       ? kModeMail
                   : equalsNoCase(mode.text, "netascii") ? kModeNetascii
                   : equalsNoCase(mode.text, "octet")    ? kModeOctet
                                                         : kModeNone;
    if (request.mode == kModeNone || request.mode == kModeMail) return refuse(parsed, kCodeIllegal, ErrorText::BadMode);
    request.textAccess = request.mode == kModeNetascii ? settings.tftp.unixStyle : 0;
    request.blockSize = kDefaultBlockSize;
    request.size = 0;
    request.timeout = settings.tftp.timeout;

    // 8. Options.
    if (!readOptions(parsed, datagram, mode.next, settings)) return parsed;
    return parsed;
}

}  // namespace tolmark::tftp
