#include "server/dhcp/request_parser.h"

#include <algorithm>
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

// Sub-options 1 and 2 of the relay agent information, each within the option's own length.
void walkRelayInformation(const std::uint8_t* option, RequestSummary& s) {
    const std::uint8_t length = option[0];
    const std::uint8_t* value = option + 1;
    std::size_t p = 0;
    while (p + 2 <= length) {
        const std::uint8_t code = value[p];
        const std::uint8_t subLength = value[p + 1];
        if (p + 2 + subLength > length) break;  // runs past the option: ignore the rest
        if (code == 1) s.circuitIdOption.at = value + p + 1;
        if (code == 2) s.remoteIdOption.at = value + p + 1;
        p += 2 + subLength;
    }
}

// Another part of a value: the parts so far move into the value's slot of the summary, which
// takes this one after them, as much as a value can hold. False when some of it did not fit.
bool join(ValueRef& value, RequestSummary::JoinedValue& slot, const std::uint8_t* part) {
    if (!value) {
        value.at = part;
        return true;
    }
    if (value.at != slot.data()) {
        slot[0] = value.length();
        std::memcpy(slot.data() + 1, value.data(), value.length());
        value.at = slot.data();
    }
    const std::size_t taken = std::min<std::size_t>(part[0], slot.size() - 1 - slot[0]);
    std::memcpy(slot.data() + 1 + slot[0], part + 1, taken);
    slot[0] = static_cast<std::uint8_t>(slot[0] + taken);
    return taken == part[0];
}

// The options of one area of the request, [begin, end): the option area, or a header field the
// client filled with options (option 52). listLength: of the parameter list so far, whose last
// byte stays its end. overload: where option 52 counts (the option area only), its value.
void walkArea(std::span<const std::uint8_t> request, std::size_t begin, std::size_t end, RequestSummary& s,
              std::size_t& listLength, std::uint8_t* overload) {
    std::size_t p = begin;
    while (p < end) {
        const std::uint8_t code = request[p];
        if (code == kEnd) break;
        if (code == kPad) {
            ++p;
            continue;
        }
        // An option whose length byte or value runs past the area ends the walk.
        if (p + 1 >= end) break;
        const std::uint8_t length = request[p + 1];
        if (p + 2 + length > end) break;
        const std::uint8_t* at = request.data() + p + 1;
        switch (code) {
            case kHostName:
                join(s.hostName, s.joinedHostName, at);
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
            case kParameterList: {
                const std::size_t taken = std::min<std::size_t>(length, s.parameterList.size() - 1 - listLength);
                std::memcpy(s.parameterList.data() + listLength, at + 1, taken);
                listLength += taken;
                s.parameterList[listLength] = 0;
                break;
            }
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
                join(s.vendorClass, s.joinedVendorClass, at);
                break;
            case kClientIdentifier:
                if (!join(s.clientIdOption, s.joinedClientId, at)) s.clientIdCut = true;
                break;
            case kUserClass:
                join(s.userClassOption, s.joinedUserClass, at);
                break;
            case kRelayInformation:
                // The last option 82 is the one used (a relay agent appends its own after any
                // the client sent): its sub-options alone count, none left from an earlier one.
                s.relayInformationOption.at = at;
                s.circuitIdOption = ValueRef{};
                s.remoteIdOption = ValueRef{};
                walkRelayInformation(at, s);
                break;
            case kAutoConfigure:
                if (length >= 1) s.autoConfigure = at[1];
                break;
            case kOverload:
                if (overload != nullptr && length >= 1) *overload = at[1];
                break;
            default:
                break;
        }
        p += 2 + length;
    }
}

// The option area, then the fields option 52 names: `file` before `sname`, as a value split
// over them is joined in that order.
void walkOptions(std::span<const std::uint8_t> request, RequestSummary& s) {
    std::size_t listLength = 0;
    std::uint8_t overload = 0;
    walkArea(request, kOptions, request.size(), s, listLength, &overload);
    if (overload & 1) walkArea(request, kFile, kFile + kFileSize, s, listLength, nullptr);
    if (overload & 2) walkArea(request, kSname, kSname + kSnameSize, s, listLength, nullptr);
    if (!s.dhcp) s.messageType = 0;
}

}  // namespace

void parseRequest(std::span<const std::uint8_t> request, RequestSummary& s) {
    ByteReader r(request);
    s.maxReplySize = kMinimumReply;
    s.flagsByte = r.u8(kFlags);
    s.ciaddr = r.ipv4(kCiaddr);
    s.giaddr = r.ipv4(kGiaddr);
    s.hardwareAddress = request.data() + kChaddr;
    const std::uint16_t hlen = r.u8(kHlen);
    s.hardwareLength = hlen > kMaxHardwareLength ? kMaxHardwareLength : hlen;
    s.cookie = hasCookie(request);
    if (s.cookie) walkOptions(request, s);
}

void applySettings(const RequestSummary& s, const EngineSettings& g, bool interfaceTrusted, RequestView& v) {
    v.messageType = s.messageType;
    v.dhcp = s.dhcp;
    v.sourceAddress = s.sourceAddress;
    v.ciaddr = s.ciaddr;
    v.requestedAddress = s.requestedAddress;
    v.interfaceAddress = s.interfaceAddress;
    v.relayAddress = g.relayAddressFromSource && s.giaddr != 0 ? s.sourceAddress : s.giaddr;
    v.flagsByte = s.flagsByte;
    v.bareBootp = !s.cookie && g.bootpWithoutCookie;
    v.autoConfigure = s.autoConfigure;
    v.serverIdentifier = s.serverIdentifier;
    v.hostName = s.hostName;
    if (!s.clientIdCut) v.clientIdOption = s.clientIdOption;
    v.vendorClass = s.vendorClass;
    v.hardwareAddress = s.hardwareAddress;
    v.hardwareLength = s.hardwareLength;
    v.maxReplySize = s.maxReplySize;
    v.parameterList = s.parameterList.data();
    v.parameterListSize = s.parameterList.size();
    // Option 61 identifies the client when "EnableID" says so, else the first host name may. A
    // client identifier is at least a type and one byte, a host name at least one byte: a
    // shorter one would be the same for every client that sends it, and they would share a
    // lease, so it identifies nobody.
    const ValueRef clientId = s.clientIdOption.length() >= 2 ? s.clientIdOption : ValueRef{};
    const ValueRef hostId = s.hostName.length() >= 1 ? s.hostName : ValueRef{};
    if (g.clientIdFromOption && clientId)
        v.clientIdentifier = clientId;
    else if (g.clientIdFromHostName)
        v.clientIdentifier = hostId;
    // Without a hardware address (hlen 0: InfiniBand, FireWire) the client identifier is all
    // that tells clients apart.
    if (!v.clientIdentifier && s.hardwareLength == 0) v.clientIdentifier = clientId;
    v.userClass = s.userClassOption;
    // The made user class holds the name and its length byte: a name of 255 bytes makes none.
    if (!v.userClass && g.hostNameAsUserClass && s.hostName && s.hostName.length() <= 254) {
        const std::uint8_t length = s.hostName.length();
        v.hostNameUserClass[0] = static_cast<std::uint8_t>(length + 1);
        v.hostNameUserClass[1] = length;
        std::memcpy(v.hostNameUserClass.data() + 2, s.hostName.data(), length);
        v.userClass.at = v.hostNameUserClass.data();
    }
    // Relay agent information counts from a relay, or on an interface trusted to carry it.
    if (g.relayInformation && (v.relayAddress != 0 || interfaceTrusted)) {
        v.relayInformation = s.relayInformationOption;
        if (g.relayCircuitId) v.circuitId = s.circuitIdOption;
        if (g.relayRemoteId) v.remoteId = s.remoteIdOption;
    }
}

bool acceptable(const RequestView& s, const EngineSettings& g) {
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

const char* messageTypeName(int type) {
    static const char* const kNames[] = {"BOOTP", "Discov.", "Offer",   "Request", "Decline",
                                         "ACK",   "NAK",     "Release", "Inform"};
    if (type < 0 || type > 8) return "unknown";
    return kNames[type];
}

}  // namespace tolmark::dhcp
