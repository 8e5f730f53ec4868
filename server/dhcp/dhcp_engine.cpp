#include "server/dhcp/dhcp_engine.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/dns_message.h"
#include "server/dhcp/identity_match.h"
#include "server/dhcp/ignored_clients.h"
#include "server/dhcp/probe_message.h"
#include "server/dhcp/profile_selection.h"
#include "server/dhcp/reply_writer.h"
#include "server/dhcp/request_parser.h"

namespace tolmark::dhcp {
namespace {

constexpr std::uint32_t kInfiniteLease = 0xFFFFFFFFu;
constexpr std::size_t kMaxHostName = 158;

// Everything one request needs on its way through the steps; lives on the stack.
struct Exchange {
    EngineContext& c;
    Request& r;
    ReplyWriter& reply;
    const OptionCodeList& defaultOptions;
    ClientRecord* record = nullptr;
    const Profile* profile = nullptr;
    std::uint32_t leaseTime = 0;  // T
    std::uint32_t announced = 0;  // L
    Ipv4 mask = 0;
    char hostName[kMaxHostName + 1] = {};
    std::size_t hostNameLength = 0;
    bool useBootFile2 = false;
    char suffix[1600] = {};
};

// The probe's own options with OFFER, then zeros: a message that only carries the probe's marks
// gets the same well-formed answer as the probe, none of its other option bytes.
std::size_t answerProbe(ReplyWriter& reply, Ipv4 interfaceAddress) {
    reply.ipv4(kYiaddr, 0);
    reply.ipv4(kSiaddr, interfaceAddress);
    reply.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
    const auto options = probeOptions(kOffer);
    reply.bytes(kOptions, options.data(), options.size());
    reply.fill(kOptions + options.size(), 0, kMinimumReply - kOptions - options.size());
    return kMinimumReply;
}

HardwareAddressText hw(const RequestView& s) { return formatHardwareAddress(s.hardwareAddress); }

bool selectsBootFile2(const Profile& p, const RequestView& s) {
    if (p.vendorClassId.empty() || !s.vendorClass) return false;
    return s.vendorClass.length() >= p.vendorClassId.size() &&
           std::memcmp(s.vendorClass.data(), p.vendorClassId.data(), p.vendorClassId.size()) == 0;
}

// The boot file name as it is sent: expanded, with a 0 byte counted under "ZeroTerminate".
std::size_t bootFileName(const Exchange& x, std::uint8_t* out, std::size_t capacity) {
    const std::string& file = x.useBootFile2 ? x.profile->bootFile2 : x.profile->bootFile;
    std::size_t n = expandTemplate(file, *x.record, reinterpret_cast<char*>(out), capacity - 1);
    if (x.r.settings.zeroTerminate && n != 0) out[n++] = 0;
    return n;
}

// The server name: "BootName", or the interface address when it is exactly "%S".
std::size_t serverName(const Exchange& x, std::uint8_t* out, std::size_t capacity, bool terminate) {
    std::string_view name = x.profile->bootName;
    AddressText dotted = formatIpv4(x.r.view.interfaceAddress);
    if (name == "%S") name = dotted.c_str();
    std::size_t n = std::min(name.size(), capacity - 1);
    std::memcpy(out, name.data(), n);
    if (terminate && x.r.settings.zeroTerminate && n != 0) out[n++] = 0;
    return n;
}

void chooseHostName(Exchange& x) {
    const Profile& p = *x.profile;
    ClientRecord& rec = *x.record;
    const RequestView& s = x.r.view;
    std::string_view name;
    char built[kMaxHostName + 1];
    if (x.r.outcome.fixedAddress && !rec.hostName.empty()) {
        if (p.dnsSend != 0) {
            std::string_view stored = rec.hostName;
            std::size_t stop = stored.find_first_of("\t !#%'&()*+./:;<=>?@[\\]{|}");
            name = stored.substr(0, stop);
        } else if (!p.dnsBase.empty() && p.dnsBaseOnly != 0) {
            name = p.dnsBase;
        }
    } else if (p.dnsAccept != 0 && s.hostName) {
        std::size_t n = std::min<std::size_t>(s.hostName.length(), kMaxHostName);
        std::string_view sent(reinterpret_cast<const char*>(s.hostName.data()), n);
        rec.hostName = sent.substr(0, sent.find('\0'));
        name = rec.hostName;
    } else if (!p.dnsBase.empty()) {
        if (p.dnsBaseOnly != 0) {
            name = p.dnsBase;
        } else {
            int n = std::snprintf(built, sizeof built, "%s-%u-%u-%u-%u", p.dnsBase.c_str(), ipv4Octet(rec.address, 0),
                                  ipv4Octet(rec.address, 1), ipv4Octet(rec.address, 2), ipv4Octet(rec.address, 3));
            name =
                std::string_view(built, n < 0 ? 0 : std::min<std::size_t>(static_cast<std::size_t>(n), kMaxHostName));
        }
    }
    x.hostNameLength = std::min(name.size(), kMaxHostName);
    name.copy(x.hostName, x.hostNameLength);  // an empty view may have no data at all
}

void writeHeader(Exchange& x) {
    ReplyWriter& reply = x.reply;
    const RequestView& s = x.r.view;
    const Profile& p = *x.profile;
    const Ipv4 address = x.record->address;
    reply.ipv4(kYiaddr, address);
    x.r.outcome.offSubnet = (x.mask & address) != (x.mask & s.interfaceAddress);
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

// "<head> <hardware address> (<address>)<suffix>[ if <interface>]". The texts are made only when
// the line is written: formatting them for nothing was a fifth of a request's cost.
void logWithSuffix(Exchange& x, int level, const char* head, Ipv4 address, bool withInterface) {
    if (x.c.log.level() < level) return;
    const RequestView& s = x.r.view;
    relaySuffix(s, x.suffix, sizeof x.suffix);
    if (withInterface) {
        x.c.log.line(level, false, "%s %s (%s)%s if %s\n", head, hw(s).c_str(), formatIpv4(address).c_str(), x.suffix,
                     formatIpv4(s.interfaceAddress).c_str());
    } else {
        x.c.log.line(level, false, "%s %s (%s)%s\n", head, hw(s).c_str(), formatIpv4(address).c_str(), x.suffix);
    }
}

void ackOutcome(Exchange& x) {
    RequestView& s = x.r.view;
    if (x.c.log.level() >= 1) {
        relaySuffix(s, x.suffix, sizeof x.suffix);
        x.c.log.line(1, false, "DHCP  Request %s ACK %s %u%s if %s\n", hw(s).c_str(),
                     formatIpv4(x.record->address).c_str(), x.leaseTime, x.suffix,
                     formatIpv4(s.interfaceAddress).c_str());
    }
    x.r.outcome.replyType = kAck;
    x.announced = x.leaseTime;
}

void nakOutcome(Exchange& x, Ipv4 about) {
    x.reply.u8(kFlags, x.reply.at(kFlags) | kBroadcastFlag);
    for (std::size_t field : {kCiaddr, kYiaddr, kSiaddr}) x.reply.ipv4(field, 0);
    x.r.outcome.replyType = kNak;
    if (x.c.log.level() >= 1)
        x.c.log.line(1, false, "DHCP  Request %s (%s) NAK\n", hw(x.r.view).c_str(), formatIpv4(about).c_str());
}

// Marks the list the record lives in as changed, so that the change reaches its file.
void recordChanged(Exchange& x) {
    if (x.record->list() == ClientList::Dynamic) x.c.clients.markChanged(ClientList::Dynamic);
}

void clearIdentity(Exchange& x) { x.c.clients.setIdentity(*x.record, Identity{}); }

void clearExpiry(Exchange& x) { x.c.clients.setExpiry(*x.record, 0); }

// The DHCP state rules; false when there is no reply.
bool applyMessageRules(Exchange& x) {
    RequestView& s = x.r.view;
    ClientRecord& rec = *x.record;
    const bool fixed = x.r.outcome.fixedAddress;
    const bool changeIp = x.r.settings.changeIp;
    switch (s.messageType) {
        case kDiscover: {
            logWithSuffix(x, 2, "DHCP  Discov.", s.sourceAddress, true);
            x.r.outcome.replyType = kOffer;
            x.announced = x.leaseTime;
            // A client with a current lease is told the time it has left.
            if (ClientRecord* lease = findByRequest(x.c, x.r, ClientList::Dynamic, true);
                lease != nullptr && lease->expiry > x.r.now) {
                std::int64_t left = lease->expiry - x.r.now;
                x.announced = left > kInfiniteLease ? kInfiniteLease : static_cast<std::uint32_t>(left);
            }
            return true;
        }
        case kRequest:
            if (s.serverIdentifier != 0) {
                if (s.serverIdentifier == s.interfaceAddress) {
                    ackOutcome(x);
                    return true;
                }
                // The client chose another server.
                if (!fixed) clearIdentity(x);
                clearExpiry(x);
                recordChanged(x);
                return false;
            }
            if (s.requestedAddress != 0) {
                if (s.requestedAddress == rec.address && (!changeIp || fixed)) {
                    ackOutcome(x);
                    return true;
                }
                clearExpiry(x);
                recordChanged(x);
                const bool otherSubnet = (s.requestedAddress & x.mask) != (rec.address & x.mask);
                if (s.ciaddr == 0 && (fixed || x.r.settings.soleServer || otherSubnet)) {
                    nakOutcome(x, s.requestedAddress);
                    return true;
                }
                if (x.c.log.level() >= 1)
                    x.c.log.line(1, false, "DHCP  Request %s (%s) ignored\n", hw(s).c_str(),
                                 formatIpv4(s.requestedAddress).c_str());
                return false;
            }
            if (s.ciaddr == 0 || (s.ciaddr == rec.address && (!changeIp || fixed))) {
                ackOutcome(x);
                return true;
            }
            clearExpiry(x);
            recordChanged(x);
            nakOutcome(x, s.ciaddr);
            return true;
        case kDecline:
            logWithSuffix(x, 1, "DHCP  Decline", s.requestedAddress, false);
            if (!fixed) {
                clearIdentity(x);
                x.c.clients.markChanged(ClientList::Dynamic);
            }
            return false;
        case kRelease:
            logWithSuffix(x, 1, "DHCP  Release", s.ciaddr, false);
            clearExpiry(x);
            x.c.clients.markChanged(ClientList::Dynamic);
            return false;
        case kInform:
            logWithSuffix(x, 1, "DHCP  Inform ", s.sourceAddress, true);
            x.reply.ipv4(kYiaddr, 0);
            x.r.outcome.replyType = kAck;
            x.announced = x.leaseTime;
            return true;
        default:
            return false;
    }
}

void writeRequestedOption(Exchange& x, std::uint8_t code) {
    const Profile& p = *x.profile;
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
            w.writeString(code, reinterpret_cast<const std::uint8_t*>(x.hostName), x.hostNameLength);
            break;
        case kBootSize: {
            const std::int32_t size = x.useBootFile2 ? p.bootSize2 : p.bootSize;
            if (size != 0) w.writeU16(code, static_cast<std::uint16_t>(size));
            break;
        }
        case kDomainName:
            w.writeString(code, p.dnsName);
            break;
        case kRootPath:
            if (!p.rootPath.empty()) {
                char path[256];
                std::size_t n = expandTemplate(p.rootPath, *x.record, path, sizeof path - 1);
                if (x.r.settings.zeroTerminate && n != 0) path[n++] = 0;
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
        default:
            w.copyProfileOptions(code, p, *x.record);
            break;
    }
}

// Requested options in the client's order (or "DefaultOptions"), with the profile's
// "SendOptions" sent even when not requested.
void writeRequestedOptions(Exchange& x) {
    const RequestView& s = x.r.view;
    const std::uint8_t* list = s.parameterList[0] != 0 ? s.parameterList : x.defaultOptions.codes.data();
    const std::uint8_t* send = x.profile->sendOptions.codes.data();
    std::size_t listSize = 0, sendSize = 0;
    const std::size_t listCap = s.parameterList[0] != 0 ? s.parameterListSize : x.defaultOptions.codes.size();
    while (listSize < listCap && list[listSize] != 0) ++listSize;
    while (sendSize < x.profile->sendOptions.codes.size() && send[sendSize] != 0) ++sendSize;

    std::size_t i = 0, j = 0;
    while (!x.reply.pastHardLimit()) {
        // A "SendOptions" code still to come in the list is written when the list gets there.
        while (j < sendSize && std::find(list + i, list + listSize, send[j]) != list + listSize) ++j;
        if (j < sendSize)
            writeRequestedOption(x, send[j++]);
        else if (i < listSize)
            writeRequestedOption(x, list[i++]);
        else
            break;
    }
}

// The start of the last option that begins below the size the client accepts, less room for
// the overload option.
std::size_t overflowPoint(const ReplyWriter& reply, std::size_t end, std::size_t limit) {
    std::size_t last = kOptions;
    std::size_t p = kOptions;
    while (p < end) {
        if (p < limit) last = p;
        p += reply.at(p) == kPad ? 1 : 2u + reply.at(p + 1);
    }
    return last;
}

std::size_t finish(Exchange& x, bool bootp) {
    const RequestView& s = x.r.view;
    const std::size_t end = x.reply.position();
    // A reply that reaches the client's size with its end byte is moved, not only a longer one.
    if (end + 1 >= s.maxReplySize) {
        std::uint8_t file[256];
        std::uint8_t name[kSnameSize + 1];
        const std::size_t fileLength = bootFileName(x, file, sizeof file);
        const std::size_t nameLength = serverName(x, name, sizeof name, true);
        const std::size_t start = overflowPoint(x.reply, end, s.maxReplySize - 4u);
        overloadOptions(x.reply, start, end, std::span<const std::uint8_t>(file, fileLength),
                        std::span<const std::uint8_t>(name, nameLength), x.profile->useOpt != 0, bootp);
    }
    const std::size_t minimum = (bootp && x.r.settings.shortBootpReplies) ? kBootpReply : kMinimumReply;
    return finishReply(x.reply, minimum);
}

}  // namespace

DhcpEngine::DhcpEngine(ClientTable& clients, const ProfileList& profiles, const InterfaceTable& interfaces,
                       const SettingsHolder& settings, LogSink& log, const platform::Clock& clock,
                       platform::ArpProber* arp)
    : context_{clients, profiles, interfaces, log, arp}, settings_(settings), clock_(clock) {}

const EngineSettings& DhcpEngine::engineSettings() {
    const std::uint64_t generation = settings_.generation();
    if (generation != typedGeneration_) {
        typed_ = settings_.withDhcp([](const DhcpSettings& d) { return EngineSettings::from(d); });
        typedGeneration_ = generation;
    }
    return typed_;
}

ReplyPlan DhcpEngine::process(std::span<const std::uint8_t> request, std::span<std::uint8_t> reply,
                              const Arrival& arrival) {
    RequestSummary summary;
    summary.interfaceAddress = arrival.interfaceAddress;
    summary.sourceAddress = arrival.sourceAddress;
    RequestView view;
    Outcome outcome;
    const std::size_t length = answer(request, reply, summary, view, outcome);
    return ReplyPlan{.length = length,
                     .messageType = outcome.replyType,
                     .relayAddress = view.relayAddress,
                     .sourceAddress = summary.sourceAddress,
                     .offSubnet = outcome.offSubnet,
                     .fixedAddress = outcome.fixedAddress,
                     .parked = outcome.parked};
}

std::size_t DhcpEngine::answer(std::span<const std::uint8_t> request, std::span<std::uint8_t> replyBuffer,
                               RequestSummary& summary, RequestView& s, Outcome& outcome) {
    if (request.size() < kMinRequestLength || replyBuffer.size() < kReplyBufferSize) return 0;
    const EngineSettings& g = engineSettings();
    Request r{request, s, g, clock_.now(), false, clock_.milliseconds(), outcome};

    // The reply is built over a copy of the request, so that every field not set is echoed.
    const std::size_t copied = std::min(request.size(), kMinimumReply);
    ReplyWriter reply(replyBuffer);
    reply.bytes(0, request.data(), copied);
    reply.fill(copied, 0, replyBuffer.size() - copied);
    parseRequest(request, summary);
    reply.u8(kHlen, static_cast<std::uint8_t>(summary.hardwareLength));
    reply.u8(kOp, kBootReply);

    if (isProbe(request.first(copied))) {
        s.relayAddress = summary.giaddr;
        return answerProbe(reply, summary.interfaceAddress);
    }
    r.interfaceTrusted = context_.interfaces.isTrusted(summary.interfaceAddress);
    applySettings(summary, g, r.interfaceTrusted, s);
    if (!acceptable(s, g)) {
        return recordIgnored(context_, r, s.dhcp ? kIgnoredDhcp : kIgnoredBootp, reply);
    }

    Selection selection;
    if (ClientRecord* first = findByRequest(context_, r, ClientList::Static, false)) {
        selection = serveKnownClient(context_, r, *first);
    } else {
        selection = serveUnregisteredClient(context_, r);
    }
    // A request waiting for an address test is neither answered nor ignored now.
    if (outcome.parked) return 0;
    if (!selection || selection.record->address == kNeverServe) {
        return recordIgnored(context_, r, kIgnoredKeepClass, reply);
    }

    Exchange x{context_, r, reply, g.defaultOptions};
    x.record = selection.record;
    x.profile = selection.profile;
    const bool bootp = !s.dhcp;
    std::uint32_t lease = static_cast<std::uint32_t>(x.profile->lease);
    if (lease == 0) {
        if (!bootp) return recordIgnored(context_, r, kIgnoredDhcp, reply);
        lease = kInfiniteLease;
    }
    x.leaseTime = lease;

    ClientRecord& rec = *x.record;
    rec.lastAccess = r.now;
    context_.clients.setSeenVia(rec, s.relayAddress != 0 ? s.relayAddress : s.interfaceAddress);
    if (bootp || (s.messageType != kDiscover && s.messageType != kInform))
        context_.clients.setExpiry(rec, r.now + lease);
    recordChanged(x);

    chooseHostName(x);
    x.mask = x.profile->subnetMask != 0 ? x.profile->subnetMask : classMask(rec.address);
    x.useBootFile2 = selectsBootFile2(*x.profile, s);
    writeHeader(x);

    if (bootp) {
        if (context_.log.level() >= 1) {
            relaySuffix(s, x.suffix, sizeof x.suffix);
            context_.log.line(1, false, "BOOTP Request %s assigned %s%s if %s\n", hw(s).c_str(),
                              formatIpv4(rec.address).c_str(), x.suffix, formatIpv4(s.interfaceAddress).c_str());
        }
        x.announced = lease;
        if (s.bareBootp) {
            reply.fill(kCookie, 0, kVendorAreaSize);
            return kBootpReply;
        }
    } else if (!applyMessageRules(x)) {
        return 0;
    }

    reply.bytes(kCookie, kCookieBytes, sizeof kCookieBytes);
    reply.setPosition(kOptions);
    if (!bootp) {
        if (outcome.replyType == 0) return 0;
        reply.putByteOption(kMessageType, static_cast<std::uint8_t>(outcome.replyType));
        reply.putAddressOption(kServerIdentifier, s.interfaceAddress);
        if (s.messageType != kInform && outcome.replyType != kNak) reply.putU32Option(kLeaseTime, x.announced);
    }
    writeRequestedOptions(x);
    if (s.parameterList[0] == 0) reply.copyProfileOptions(0, *x.profile, rec);
    if (s.relayInformation && reply.position() + 2 + s.relayInformation.length() < kHardLimit) {
        reply.writeString(kRelayInformation, s.relayInformation.data(), s.relayInformation.length());
    }
    const std::size_t length = finish(x, bootp);
    // Acknowledged clients with a name get it registered, away from the request path.
    if (dnsQueue_ != nullptr && (bootp || outcome.replyType == kAck) && x.profile->dnsUpdate != 0 &&
        x.hostNameLength != 0) {
        dnsQueue_->push(DnsUpdate{std::string(x.hostName, x.hostNameLength), x.profile->dnsName, rec.address, x.mask,
                                  x.announced, x.profile->dns[0],
                                  dhcidIdentifier(s.clientIdentifier.value(),
                                                  std::span<const std::uint8_t>(s.hardwareAddress, s.hardwareLength))});
    }
    return length;
}

}  // namespace tolmark::dhcp
