#include "server/dhcp/reply_render.h"

#include <algorithm>
#include <bitset>
#include <cstring>

#include "server/dhcp/identity_match.h"
#include "server/dhcp/probe_message.h"
#include "server/dhcp/request_decision.h"

namespace tolmark::dhcp {
namespace {

// What writing one reply reads; lives on the stack.
struct Render {
    EngineTables& c;
    const RequestInput& in;
    const Decision& d;
    const ClientRecord& record;
    const Profile& profile;
    ReplyWriter& reply;
    const OptionCodeList& defaultOptions;
    Ipv4 mask = 0;
    std::uint32_t announced = 0;  // the lease time the reply states
    // Codes that went out before a client without a list is sent every profile line: a line
    // of such a code is left out, or the client would join the two into one doubled value.
    std::bitset<256> sent{};
};

// The boot file name as it is sent: expanded, with a 0 byte counted under "ZeroTerminate".
std::size_t bootFileName(const Render& x, std::uint8_t* out, std::size_t capacity) {
    const std::string& file = x.d.useBootFile2 ? x.profile.bootFile2 : x.profile.bootFile;
    std::size_t n = expandTemplate(file, x.record, reinterpret_cast<char*>(out), capacity - 1);
    if (x.in.settings.zeroTerminate && n != 0) out[n++] = 0;
    return n;
}

// The server name: "BootName", or the interface address when it is exactly "%S".
std::size_t serverName(const Render& x, std::uint8_t* out, std::size_t capacity, bool terminate) {
    std::string_view name = x.profile.bootName;
    AddressText dotted = formatIpv4(x.in.view.interfaceAddress);
    if (name == "%S") name = dotted.c_str();
    std::size_t n = std::min(name.size(), capacity - 1);
    std::memcpy(out, name.data(), n);
    if (terminate && x.in.settings.zeroTerminate && n != 0) out[n++] = 0;
    return n;
}

void writeHeader(Render& x, bool& offSubnet) {
    ReplyWriter& reply = x.reply;
    const RequestView& s = x.in.view;
    const Profile& p = x.profile;
    const Ipv4 address = x.record.address;
    reply.ipv4(kYiaddr, address);
    offSubnet = (x.mask & address) != (x.mask & s.interfaceAddress);
    reply.ipv4(kSiaddr, p.nextIp != 0 ? p.nextIp : s.interfaceAddress);
    reply.fill(kSname, 0, kSnameSize);
    reply.fill(kFile, 0, kFileSize);
    if (p.useOpt == 0) {
        std::uint8_t file[kFileSize + 1];
        const std::size_t n = bootFileName(x, file, sizeof file);
        reply.bytes(kFile, file, std::min(n, kFileSize));
        if (!p.bootName.empty()) {
            std::uint8_t name[kSnameSize];
            reply.bytes(kSname, name, serverName(x, name, sizeof name, false));
        }
    }
}

// A DISCOVER of a client with a current lease is told the time it has left; under a profile of
// infinite leases that is infinite still, not the 136 years the lease's expiry stands for.
std::uint32_t offeredLease(const Render& x) {
    if (x.d.leaseTime == kInfiniteLease) return kInfiniteLease;
    ClientRecord* lease = findByRequest(x.c.clients, x.in, ClientList::Dynamic, true);
    if (lease == nullptr || lease->expiry <= x.in.now) return x.d.leaseTime;
    const std::int64_t left = lease->expiry - x.in.now;
    return left > kInfiniteLease ? kInfiniteLease : static_cast<std::uint32_t>(left);
}

void writeRequestedOption(Render& x, std::uint8_t code) {
    const Profile& p = x.profile;
    ReplyWriter& w = x.reply;
    switch (code) {
        case kSubnetMask:
            w.writeAddress(code, x.mask);
            break;
        case kTimeOffset: {
            const std::uint32_t v = static_cast<std::uint32_t>(p.offset);
            const std::uint8_t bytes[4] = {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                                           static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)};
            w.writeString(code, bytes, 4);
            break;
        }
        case kRouter:
            w.writeAddressList(code, p.gateway);
            break;
        case kTimeServer:
            w.writeAddressList(code, p.time);
            break;
        case kDnsServer:
            w.writeAddressList(code, p.dns);
            break;
        case kHostName:
            w.writeString(code, reinterpret_cast<const std::uint8_t*>(x.d.hostName), x.d.hostNameLength);
            break;
        case kBootSize: {
            const std::int32_t size = x.d.useBootFile2 ? p.bootSize2 : p.bootSize;
            if (size != 0) w.writeU16(code, static_cast<std::uint16_t>(size));
            break;
        }
        case kDomainName:
            w.writeString(code, p.dnsName);
            break;
        case kRootPath:
            if (!p.rootPath.empty()) {
                char path[256];
                std::size_t n = expandTemplate(p.rootPath, x.record, path, sizeof path - 1);
                if (x.in.settings.zeroTerminate && n != 0) path[n++] = 0;
                w.writeString(code, reinterpret_cast<const std::uint8_t*>(path), n);
            }
            break;
        case kNtpServers:
            w.writeAddressList(code, p.ntp);
            break;
        case kNetbiosNameServers:
            w.writeAddressList(code, p.wins);
            break;
        case kNetbiosNodeType:
            // Node types are 1, 2, 4 and 8: a shift beyond a byte means nothing.
            if (p.nodeType >= 1 && p.nodeType <= 8) {
                const std::uint8_t v = static_cast<std::uint8_t>(1u << (p.nodeType - 1));
                w.writeString(code, &v, 1);
            }
            break;
        case kNetbiosScope:
            w.writeString(code, p.scopeId);
            break;
        case kTftpServerName:
            if (p.useOpt != 0) {
                std::uint8_t name[kSnameSize + 1];
                w.writeString(code, name, serverName(x, name, sizeof name, true));
            }
            break;
        case kBootFileName:
            if (p.useOpt != 0) {
                std::uint8_t file[256];
                w.writeString(code, file, bootFileName(x, file, sizeof file));
            }
            break;
        case kClientIdentifier:
            // Echoed already: a second one would be joined to it by the client.
            if (!x.in.view.clientIdOption) w.copyProfileOptions(code, p, x.record);
            break;
        default:
            w.copyProfileOptions(code, p, x.record);
            break;
    }
}

// Requested options in the client's order (or "DefaultOptions"), with the profile's
// "SendOptions" sent even when not requested.
void writeRequestedOptions(Render& x) {
    const RequestView& s = x.in.view;
    const std::uint8_t* list = s.parameterList[0] != 0 ? s.parameterList : x.defaultOptions.codes.data();
    const std::uint8_t* send = x.profile.sendOptions.codes.data();
    std::size_t listSize = 0, sendSize = 0;
    const std::size_t listCap = s.parameterList[0] != 0 ? s.parameterListSize : x.defaultOptions.codes.size();
    while (listSize < listCap && list[listSize] != 0) ++listSize;
    while (sendSize < x.profile.sendOptions.codes.size() && send[sendSize] != 0) ++sendSize;

    // Each code goes out once, however often the lists name it.
    std::bitset<256> written;
    const auto writeOnce = [&](std::uint8_t code) {
        if (written.test(code)) return;
        written.set(code);
        const std::size_t before = x.reply.position();
        writeRequestedOption(x, code);
        if (x.reply.position() != before) x.sent.set(code);
    };
    std::size_t i = 0, j = 0;
    while (!x.reply.pastHardLimit()) {
        // A "SendOptions" code still to come in the list is written when the list gets there.
        while (j < sendSize && std::find(list + i, list + listSize, send[j]) != list + listSize) ++j;
        if (j < sendSize)
            writeOnce(send[j++]);
        else if (i < listSize)
            writeOnce(list[i++]);
        else
            break;
    }
}

// The start of the last option from `from` on that begins below limit (the size the client
// accepts, less room for what follows the moved options); `from` when none does.
std::size_t overflowPoint(const ReplyWriter& reply, std::size_t from, std::size_t end, std::size_t limit) {
    std::size_t last = from;
    std::size_t p = from;
    while (p < end) {
        if (p < limit) last = p;
        p += reply.at(p) == kPad ? 1 : 2u + reply.at(p + 1);
    }
    return last;
}

// Moves what does not fit (options written from `movable` on), then echoes the relay agent
// information as the last option of the options field: the agent looks for it only there. Its
// room below the hard limit was kept while the other options were written.
std::size_t finish(Render& x, bool bootp, std::size_t movable) {
    const RequestView& s = x.in.view;
    const std::size_t end = x.reply.position();
    const ValueRef information = s.relayInformation;
    const std::size_t echo = information ? 2u + information.length() : 0;
    x.reply.release();
    // A reply that reaches the client's size with its end byte is moved, not only a longer one.
    if (end + echo + 1 >= s.maxReplySize) {
        std::uint8_t file[256];
        std::uint8_t name[kSnameSize + 1];
        const std::size_t fileLength = bootFileName(x, file, sizeof file);
        const std::size_t nameLength = serverName(x, name, sizeof name, true);
        const std::size_t limit = s.maxReplySize - 4u - echo;
        const std::size_t start = overflowPoint(x.reply, movable, end, limit);
        // Options that stay in the options field end before the echo and the end byte.
        overloadOptions(x.reply, start, end, s.maxReplySize - 1u - echo,
                        std::span<const std::uint8_t>(file, fileLength),
                        std::span<const std::uint8_t>(name, nameLength), x.profile.useOpt != 0, bootp);
    }
    if (echo != 0) x.reply.writeString(kRelayInformation, information.data(), information.length());
    const std::size_t minimum = (bootp && x.in.settings.shortBootpReplies) ? kBootpReply : kMinimumReply;
    return finishReply(x.reply, minimum);
}

}  // namespace

void startReply(ReplyWriter& reply, std::span<const std::uint8_t> request, std::uint16_t hardwareLength) {
    const std::size_t copied = std::min(request.size(), kMinimumReply);
    reply.bytes(0, request.data(), copied);
    reply.fill(copied, 0, kReplyBufferSize - copied);
    reply.u8(kHlen, static_cast<std::uint8_t>(hardwareLength));
    reply.u8(kOp, kBootReply);
}

std::size_t writeProbeAnswer(ReplyWriter& reply, Ipv4 interfaceAddress) {
    reply.ipv4(kYiaddr, 0);
    reply.ipv4(kSiaddr, interfaceAddress);
    reply.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
    const auto options = probeOptions(kOffer);
    reply.bytes(kOptions, options.data(), options.size());
    reply.fill(kOptions + options.size(), 0, kMinimumReply - kOptions - options.size());
    return kMinimumReply;
}

std::size_t writeServedReply(EngineTables& c, const RequestInput& in, const Decision& d, const ClientRecord& rec,
                             const OptionCodeList& defaultOptions, ReplyWriter& reply, bool& offSubnet) {
    const RequestView& s = in.view;
    Render x{c, in, d, rec, *d.selection.profile, reply, defaultOptions};
    x.mask = replyMask(x.profile, rec.address);
    writeHeader(x, offSubnet);

    const int type = d.rules.replyType;
    if (d.bootp) {
        x.announced = d.leaseTime;
        if (s.bareBootp) {
            reply.fill(kCookie, 0, kVendorAreaSize);
            return kBootpReply;
        }
    } else {
        if (type == 0) return 0;
        if (type == kNak) {
            reply.u8(kFlags, reply.at(kFlags) | kBroadcastFlag);
            for (std::size_t field : {kCiaddr, kYiaddr, kSiaddr}) reply.ipv4(field, 0);
            reply.fill(kSname, 0, kSnameSize);
            reply.fill(kFile, 0, kFileSize);
        }
        if (s.messageType == kInform) reply.ipv4(kYiaddr, 0);
        x.announced = type == kOffer ? offeredLease(x) : d.leaseTime;
    }

    reply.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
    reply.setPosition(kOptions);
    // A relay agent drops a reply that lacks its information: no other option takes its room.
    if (s.relayInformation) reply.reserve(2u + s.relayInformation.length());
    if (!d.bootp) {
        reply.putByteOption(kMessageType, static_cast<std::uint8_t>(type));
        reply.putAddressOption(kServerIdentifier, s.interfaceAddress);
        if (s.messageType != kInform && type != kNak) reply.putU32Option(kLeaseTime, x.announced);
    }
    const std::size_t movable = reply.position();
    // A DHCP client's identifier goes back as it came (RFC 6842): a client that shares its
    // hardware address with others tells its own replies by it.
    if (!d.bootp) {
        const auto clientId = s.clientIdOption.value();
        if (reply.writeString(kClientIdentifier, clientId.data(), clientId.size())) x.sent.set(kClientIdentifier);
    }
    // A NAK configures nothing (RFC 2131 leaves every other option out of it): a client takes
    // no router, name server or boot file from the server that refused it.
    if (d.bootp || type != kNak) {
        writeRequestedOptions(x);
        if (s.parameterList[0] == 0) reply.copyProfileOptions(0, x.profile, rec, &x.sent);
    }
    return finish(x, d.bootp, movable);
}

}  // namespace tolmark::dhcp
