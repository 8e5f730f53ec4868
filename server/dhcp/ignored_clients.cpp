#include "server/dhcp/ignored_clients.h"

#include <cstdio>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/identity_match.h"

namespace tolmark::dhcp {
namespace {

void copyText(StoredText& out, ValueRef value, std::size_t max) {
    if (!value) {
        out.clear();
        return;
    }
    std::size_t n = value.length() < max ? value.length() : max;
    // A NUL inside a sent name ends it, as it would in a fixed text field.
    const std::string_view sent(reinterpret_cast<const char*>(value.data()), n);
    out = sent.substr(0, sent.find('\0'));
}

void appendShown(char*& out, char* end, const char* label, ValueRef value) {
    if (!value || out >= end) return;
    int n = std::snprintf(out, static_cast<std::size_t>(end - out), " %s %s", label, showValue(value.value()).c_str());
    if (n > 0) out += n < end - out ? n : end - out - 1;
}

}  // namespace

bool commitIgnored(EngineTables& c, const RequestInput& r, int classArgument) {
    const RequestView& s = r.view;
    ClientRecord* rec = findByRequest(c.clients, r, ClientList::Ignored, false);
    if (rec == nullptr) {
        // A flood of refused clients must not grow the table without end: at the limit the
        // oldest ignored entry makes room (released, so its old handle names nothing).
        if (c.clients.size(ClientList::Ignored) >= kMaxIgnoredClients) {
            if (ClientRecord* oldest = c.clients.last(ClientList::Ignored)) c.clients.release(*oldest);
        }
        rec = c.clients.take();
        if (rec == nullptr) return false;
        c.clients.setIdentity(*rec, requestIdentity(s, r.settings.relayValuesIdentify));
        c.clients.pushIgnored(*rec);
    }
    rec->lastAccess = r.now;
    c.clients.setSeenVia(*rec, s.relayAddress != 0 ? s.relayAddress : s.interfaceAddress);
    ValueRef cls = s.userClass ? s.userClass : s.vendorClass;
    char remark[kRemarkChars];
    std::size_t remarkLength = 0;
    for (std::size_t i = 0; cls && i < cls.length() && i < kRemarkChars; ++i) {
        std::uint8_t b = cls.data()[i];
        remark[remarkLength++] = b < 32 ? '?' : static_cast<char>(b);
    }
    rec->remark = std::string_view(remark, remarkLength);
    copyText(rec->hostName, s.hostName, kHostNameChars);
    if (classArgument == kIgnoredBootp) rec->remark = "BOOTP";
    if (classArgument == kIgnoredDhcp) rec->remark = "DHCP";
    c.clients.markChanged(ClientList::Ignored);

    if (c.log.level() > 1) {
        char suffix[1600];
        relaySuffix(s, suffix, sizeof suffix);
        c.log.line(2, false, "DHCP  Ignored %s %s (%s)%s\n", messageTypeName(s.dhcp ? s.messageType : 0),
                   formatHardwareAddress(s.hardwareAddress).c_str(), formatIpv4(s.sourceAddress).c_str(), suffix);
    }
    return true;
}

std::size_t writeIgnoredReply(const RequestInput& r, ReplyWriter& reply) {
    const RequestView& s = r.view;
    if (s.dhcp && s.messageType == kDiscover && s.autoConfigure != 0 && !r.settings.autoConfigure) {
        reply.ipv4(kYiaddr, 0);
        reply.ipv4(kSiaddr, s.interfaceAddress);
        reply.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
        reply.setPosition(kOptions);
        reply.putByteOption(kMessageType, kOffer);
        const auto clientId = s.clientIdOption.value();
        reply.writeString(kClientIdentifier, clientId.data(), clientId.size());
        reply.putByteOption(kAutoConfigure, 0);
        return finishReply(reply, kMinimumReply);
    }
    return 0;
}

void relaySuffix(const RequestView& s, char* out, std::size_t capacity) {
    if (capacity == 0) return;
    char* p = out;
    char* end = out + capacity;
    *p = '\0';
    appendShown(p, end, "rc", s.circuitId);
    if (s.remoteId)
        appendShown(p, end, "rr", s.remoteId);
    else
        appendShown(p, end, "ci", s.clientIdentifier);
    appendShown(p, end, "uc", s.userClass);
    appendShown(p, end, "vc", s.vendorClass);
    if (s.relayAddress != 0 && p < end) {
        int n = std::snprintf(p, static_cast<std::size_t>(end - p), " gw %s", formatIpv4(s.relayAddress).c_str());
        if (n > 0) p += n < end - p ? n : end - p - 1;
    }
    if (s.hostName && p < end) {
        // Control characters would let a client forge log lines.
        char name[kHostNameChars + 1];
        std::size_t n = 0;
        for (; n < s.hostName.length() && n < kHostNameChars; ++n) {
            std::uint8_t b = s.hostName.data()[n];
            name[n] = b < 32 ? '?' : static_cast<char>(b);
        }
        name[n] = '\0';
        std::snprintf(p, static_cast<std::size_t>(end - p), " nm %s", name);
    }
}

}  // namespace tolmark::dhcp
