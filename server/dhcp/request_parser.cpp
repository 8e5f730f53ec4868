#include "server/dhcp/request_parser.h"

#include <cstring>

#include "base/byte_io.h"
#include "server/dhcp/dhcp_protocol.h"

namespace tolmark::dhcp {
namespace {

constexpr std::uint16_t kMaxHardwareLength = 16;

bool hasCookie(std::span<const std::uint8_t> request) {
    return request.size() >= kOptions && std::memcmp(request.data() + kCookie, kCookieBytes, 4) == 0;
}

Ipv4 addressValue(const std::uint8_t* lengthByte) {
    Ipv4 a;
    std::memcpy(&a, lengthByte + 1, 4);
    return a;
}

// Sub-options of the relay agent information, each within the option's own length.
void walkRelayInformation(const std::uint8_t* option, RequestSummary& s, const EngineSettings& g) {
    const std::uint8_t length = option[0];
    const std::uint8_t* value = option + 1;
    std::size_t p = 0;
    while (p + 2 <= length) {
        const std::uint8_t code = value[p];
        const std::uint8_t subLength = value[p + 1];
        if (p + 2 + subLength > length) break;  // runs past the option: ignore the rest
        if (code == 1 && g.relayCircuitId) s.circuitId.at = value + p + 1;
        if (code == 2 && g.relayRemoteId) s.remoteId.at = value + p + 1;
        p += 2 + subLength;
    }
}

void walkOptions(std::span<const std::uint8_t> request, RequestSummary& s, const EngineSettings& g,
                 bool interfaceTrusted) {
    s.parameterList[0] = 0;
    const std::size_t end = request.size();
    std::size_t p = kOptions;
    while (p < end) {
        const std::uint8_t code = request[p];
        if (code == kEnd) break;
        if (code == kPad) {
            ++p;
            continue;
        }
        // An option whose length byte or value runs past the datagram ends the walk.
        if (p + 1 >= end) break;
        const std::uint8_t length = request[p + 1];
        if (p + 2 + length > end) break;
        const std::uint8_t* at = request.data() + p + 1;
        switch (code) {
            case kHostName:
                s.hostName.at = at;
                if (g.clientIdFromHostName && !s.clientIdentifier) s.clientIdentifier.at = at;
                if (g.hostNameAsUserClass && !s.userClass && length <= 254) {
                    s.hostNameUserClass[0] = static_cast<std::uint8_t>(length + 1);
                    s.hostNameUserClass[1] = length;
                    std::memcpy(s.hostNameUserClass.data() + 2, at + 1, length);
                    s.userClass.at = s.hostNameUserClass.data();
                }
                break;
            case kRequestedAddress:
                if (length >= 4) s.requestedAddress = addressValue(at);
                break;
            case kMessageType:
                if (length >= 1) {
                    s.messageType = at[1];
                    s.dhcp = true;
                }
                break;
            case kServerIdentifier:
                if (length >= 4) s.serverIdentifier = addressValue(at);
                break;
            case kParameterList:
                std::memcpy(s.parameterList.data(), at + 1, length);
                s.parameterList[length] = 0;
                break;
            case kMaxMessageSize:
                if (length >= 2) {
                    const unsigned m = (static_cast<unsigned>(at[1]) << 8) | at[2];
                    if (m > 1500)
                        s.maxReplySize = 1472;
                    else if (m >= 577)
                        s.maxReplySize = static_cast<std::uint16_t>(m - 28);
                    else
                        s.maxReplySize = 548;
                }
                break;
            case kVendorClass:
                s.vendorClass.at = at;
                break;
            case kClientIdentifier:
                if (g.clientIdFromOption) s.clientIdentifier.at = at;
                break;
            case kUserClass:
                s.userClass.at = at;
                break;
            case kRelayInformation:
                if (g.relayInformation && (s.relayAddress != 0 || interfaceTrusted)) {
                    s.relayInformation.at = at;
                    walkRelayInformation(at, s, g);
                }
                break;
            case kAutoConfigure:
                if (length >= 1) s.autoConfigure = at[1];
                break;
            default:
                break;
        }
        p += 2 + length;
    }
}

bool acceptable(const RequestSummary& s, const EngineSettings& g) {
    if (!s.dhcp) return g.answerBootp;
    if (!g.answerDhcp) return false;
    if (!g.identifyByMac && !g.relayInformation && !s.clientIdentifier) return false;
    switch (s.messageType) {
        case kDiscover:
            if (s.ciaddr != 0) return false;
            if (!g.identifyByMac && !s.clientIdentifier && !s.relayInformation) return false;
            return true;
        case kDecline:
            return s.serverIdentifier == s.interfaceAddress && s.ciaddr == 0 && s.requestedAddress != 0;
        case kRelease:
            return s.serverIdentifier == s.interfaceAddress && s.ciaddr != 0 && s.requestedAddress == 0;
        case kInform:
            return s.ciaddr != 0 && s.requestedAddress == 0;
        default:
            return true;
    }
}

}  // namespace

void readHeader(std::span<const std::uint8_t> request, RequestSummary& s) {
    ByteReader r(request);
    s.maxReplySize = kMinimumReply;
    s.flagsByte = r.u8(kFlags);
    s.ciaddr = r.ipv4(kCiaddr);
    s.relayAddress = r.ipv4(kGiaddr);
    s.hardwareAddress = request.data() + kChaddr;
    std::uint16_t hlen = r.u8(kHlen);
    s.hardwareLength = hlen > kMaxHardwareLength ? kMaxHardwareLength : hlen;
}

bool parseAndCheck(std::span<const std::uint8_t> request, RequestSummary& s, const EngineSettings& g,
                   bool interfaceTrusted) {
    if (!hasCookie(request)) {
        s.dhcp = false;
        s.messageType = 0;
        s.bareBootp = g.bootpWithoutCookie;
        return g.answerBootp;
    }
    walkOptions(request, s, g, interfaceTrusted);
    if (!s.dhcp) s.messageType = 0;
    return acceptable(s, g);
}

const char* messageTypeName(int type) {
    static const char* const kNames[] = {"BOOTP", "Discov.", "Offer",   "Request", "Decline",
                                         "ACK",   "NAK",     "Release", "Inform"};
    if (type < 0 || type > 8) return "unknown";
    return kNames[type];
}

}  // namespace tolmark::dhcp
