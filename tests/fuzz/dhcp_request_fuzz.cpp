// Fuzz target: one received datagram through the DHCP engine to its reply, as the receive loop
// runs it, against a fixed configuration loaded through the real readers (profiles with pools,
// interface, relay, vendor, user and hardware classes, option lines that overflow into the
// header fields, static entries from an ethers file) and a clock that the input moves on.
//
// Byte 0 steers: bits 0-1 pick one of four engines whose settings differ (client identifiers,
// relay information, BOOTP, address tests), bit 2 the receiving interface, bits 3-4 the
// source address, bits 5-7 how far the clock moves first. Byte 1 says which address tests get
// an answer, and whether answers come late (the request is parked and handed over again). The
// rest is the datagram. The reply must be a well-formed message: op 2, at least 300 bytes,
// inside the reply buffer, and every option area ending inside its bounds. The queued name
// registrations are encoded as the DNS worker would. The client table is rebuilt when it
// grows past a limit, so that runs stay bounded and reproducible.

#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings.h"
#include "config/settings_holder.h"
#include "config/tests/temp_directory.h"
#include "server/dhcp/dhcp_engine.h"
#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/dns_message.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/leases/client_files.h"
#include "server/leases/client_table.h"
#include "tests/fuzz/fuzz_support.h"
#include "tests/fuzz/fuzz_target.h"
#include "tests/support/fakes.h"

namespace tolmark::fuzz {
namespace {

using namespace tolmark::dhcp;

const Ipv4 kServer = makeIpv4(192, 168, 1, 1);
const Ipv4 kOther = makeIpv4(172, 16, 0, 1);
const Ipv4 kRelay = makeIpv4(10, 20, 0, 1);

// Dynamic and ignored records beyond this rebuild the whole state.
constexpr std::size_t kClientLimit = 400;

constexpr const char* kConfiguration = R"([Dorvane]
Profile0=Standard
Profile1=Remote
Profile2=Boot
Profile3=Second
Profile4=Phones
Profile5=Users
Trusted=172.16.0.1
DefaultOptions=1 3 6 15 44 46 47 51 54 58 59

[Standard]
InterfaceIP=192.168.1.1
BaseIP=192.168.1.100
Range=40
SubnetMask=255.255.255.0
GatewayIP=192.168.1.1
DNS1IP=192.168.1.1
DNS2IP=192.168.1.2
WINS1IP=192.168.1.3
NTP1IP=192.168.1.4
Lease=3600
DNSName=lan.example
BootFile=pxelinux.0
BootName=%S
NextIP=192.168.1.5
Substitution=1
Opt43=43 6 1 4 0 0 0 1
Opt60=60 9 "PXEClient
Opt119=119 12 "%H-%A-%N
Opt150=150 8 192.168.1.6 192.168.1.7

[Remote]
RelayIP=10.20.0.1
CircuitID="port1
BaseIP=10.20.0.100
Range=30
SubnetMask=255.255.255.0
GatewayIP=10.20.0.1
Lease=600
RootPath=/srv/nfs/%1/%2

[Boot]
VendorClass="PXEClient
BaseIP=192.168.1.200
Range=10
SubnetMask=255.255.255.0
BootFile=boot/a-long-directory-name-for-the-first-boot-file-that-nearly-fills-the-file-field-of-the-header/pxelinux.0
BootFile2=efi/grubx64.efi
VendorClassId=PXEClient
Alternate=1
UseOpt=1
ZeroTerminate=1
Opt200=200 200 "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx
Opt201=201 200 "yyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyyy

[Second]
InterfaceIP=172.16.0.1
BaseIP=172.16.0.0
Range=50
SubnetMask=255.255.0.0
Lease=120

[Phones]
MacClass=00:04:f2
BaseIP=192.168.1.137
Range=5
SubnetMask=255.255.255.0

[Users]
UserClass="lab
BaseIP=192.168.1.170
Range=5
SubnetMask=255.255.255.0
DNSSend=1
DNSName=users.example
)";

constexpr const char* kEthers =
    "00:11:22:33:44:01\t192.168.1.50\n"
    "00:11:22:33:44:02 printer\t192.168.1.51\t:1700000000\tStandard\t# %1 first word\n"
    "01aabbccddeeff\t192.168.1.52\tBoot\n"
    "C706f727431\t10.20.0.50\tRemote\n"
    "00:11:22:33:44:03\t0.0.0.0\tSecond\n";

// Answers the address tests for the addresses whose low bit differs from the steering bit;
// with the late bit the first test of an address is still pending, as on a real network.
class SteeredArp final : public platform::ArpProber {
public:
    platform::ProbeResult probe(int, Ipv4, Ipv4 target) override {
        if (late && asked_.insert(target).second) return {};
        if (((ipv4Octet(target, 3) ^ answerBit) & 1) == 0) return {platform::ProbeState::Free, {}};
        return {platform::ProbeState::Taken, {0x02, 0, 0, 0, 0, ipv4Octet(target, 3)}};
    }
    platform::WakeEvent& completed() override { return completed_; }
    void reset(std::uint8_t steer) {
        answerBit = steer & 1;
        late = (steer & 2) != 0;
        asked_.clear();
    }

    std::uint8_t answerBit = 0;
    bool late = false;

private:
    std::set<Ipv4> asked_;
    platform::WakeEvent completed_;
};

class State {
public:
    State() {
        writeFile(directory_.file("Dorvane.ini"), kConfiguration);
        writeFile(directory_.file("ethers"), kEthers);
        ConfigStore store(directory_.file("registry.ini"));
        FUZZ_REQUIRE(store.setIniPath(directory_.path(), "Dorvane"));
        testing::FakeHostAddresses host;
        host.rows = {{kServer, makeIpv4(255, 255, 255, 0), 2}, {kOther, makeIpv4(255, 255, 0, 0), 3}};
        FUZZ_REQUIRE(interfaces_.build(store, kGeneralSection, host, clock_.now(), log_));
        DhcpSettings base;
        readGeneralSettings(store, kGeneralSection, directory_.path(), base);
        FUZZ_REQUIRE(profiles_.load(store, base.defaultOptions, interfaces_, log_, true) == 6);
        for (const Profile& p : profiles_.profiles()) FUZZ_REQUIRE(p.selectorKind != SelectorKind::None && p.hasPool());
        ClientFiles files = clientFilePaths(store, directory_.path());
        FUZZ_REQUIRE(loadClientFiles(clients_, profiles_, files, base.general, log_, clock_.now()).staticTotal == 5);

        for (std::size_t i = 0; i < engines_.size(); ++i) {
            settings_[i].update([&](DhcpSettings& d, TftpSettings&, MulticastSettings&) {
                d = base;
                vary(d.general, i);
            });
            engines_[i] =
                std::make_unique<DhcpEngine>(clients_, profiles_, interfaces_, settings_[i], log_, clock_, &arp_);
            engines_[i]->setDnsUpdateQueue(&dnsQueue_);
        }
    }

    void run(std::span<const std::uint8_t> input) {
        Steering steer(input);
        const std::uint8_t how = steer.byte();
        arp_.reset(steer.byte());
        static constexpr std::int64_t kSteps[] = {0, 1, 30, 300, 1800, 3600, 36000, 864000};
        clock_.advance(kSteps[how >> 5]);
        static const Ipv4 kSources[] = {0, kRelay, makeIpv4(192, 168, 1, 120), makeIpv4(172, 16, 1, 7)};
        const Arrival arrival{(how & 4) ? kOther : kServer, kSources[(how >> 3) & 3]};

        // Exactly sized, so that the sanitizer sees every read past the datagram.
        const std::vector<std::uint8_t> datagram(steer.rest().begin(), steer.rest().end());
        if (datagram.size() < kMinRequestLength || datagram[kOp] != kBootRequest) return;  // the loop drops them
        reply_.fill(0xEE);
        ReplyPlan plan = engines_[how & 3]->process(datagram, reply_, arrival);
        // A request parked for its address test comes back once the answer is in, as the
        // receive loop hands it over again.
        for (int again = 0; plan.parked && again < 256; ++again) {
            FUZZ_REQUIRE(plan.length == 0);
            plan = engines_[how & 3]->process(datagram, reply_, arrival);
        }
        FUZZ_REQUIRE(!plan.parked);
        checkReply(plan);
        encodeQueuedUpdates();
    }

    bool full() const { return clients_.size(ClientList::Dynamic) + clients_.size(ClientList::Ignored) > kClientLimit; }

private:
    static void writeFile(const std::string& path, const char* text) { testing::writeFile(path, text); }

    static void vary(GeneralSettings& g, std::size_t variant) {
        switch (variant) {
            case 1:  // identified by client identifier, host name or relay information
                g.enableId = 3;
                g.name2Uc = 1;
                g.enableRa = 1;
                g.relaySrc = 1;
                g.relayLimit = 0;
                break;
            case 2:  // BOOTP answered in full, only known clients, addresses tested first
                g.bootp = 2;
                g.magicNumber = 0;
                g.regOnly = 1;
                g.testIp = 1;
                g.changeIp = 1;
                g.zeroTerminate = 0;
                break;
            case 3:  // no hardware addresses: client identifiers and relay information only
                g.enableMac = 0;
                g.enableId = 1;
                g.enableRa = 1;
                g.relayAgent = 1;
                g.autoExclude = 0;
                g.updateEthers = 0;
                break;
            default:
                break;
        }
    }

    // Every option area ends with 255 inside its bounds, each option lying wholly inside.
    static bool wellFormedArea(std::span<const std::uint8_t> area) {
        std::size_t p = 0;
        while (p < area.size()) {
            if (area[p] == kEnd) return true;
            if (area[p] == kPad) {
                ++p;
                continue;
            }
            if (p + 1 >= area.size() || p + 2 + area[p + 1] > area.size()) return false;
            p += 2u + area[p + 1];
        }
        return false;
    }

    void checkReply(const ReplyPlan& plan) const {
        if (plan.length == 0) return;
        FUZZ_REQUIRE(plan.length >= kBootpReply && plan.length <= reply_.size());
        const std::span<const std::uint8_t> reply(reply_.data(), plan.length);
        FUZZ_REQUIRE(reply[kOp] == kBootReply && reply[kHlen] <= kChaddrSize);
        // No client is given an address of this host, nor a network's own or broadcast address
        // (the pools of "Second" and "Phones" take such addresses in, or overlap another).
        const Ipv4 given = makeIpv4(reply[kYiaddr], reply[kYiaddr + 1], reply[kYiaddr + 2], reply[kYiaddr + 3]);
        for (const Ipv4 never : {kServer, kOther, makeIpv4(172, 16, 0, 0), makeIpv4(192, 168, 1, 255)})
            FUZZ_REQUIRE(given != never);
        if (!std::equal(std::begin(kCookieBytes), std::end(kCookieBytes), reply.begin() + kCookie)) {
            FUZZ_REQUIRE(plan.messageType == 0);
            return;
        }
        const std::span<const std::uint8_t> options = reply.subspan(kOptions);
        FUZZ_REQUIRE(wellFormedArea(options));
        int overload = 0;
        int messageType = 0;
        for (std::size_t p = 0; options[p] != kEnd; p += options[p] == kPad ? 1 : 2u + options[p + 1]) {
            if (options[p] == kOverload && options[p + 1] == 1) overload = options[p + 2];
            if (options[p] == kMessageType && options[p + 1] == 1) messageType = options[p + 2];
        }
        FUZZ_REQUIRE(overload <= 3);
        if (overload & 1) FUZZ_REQUIRE(wellFormedArea(reply.subspan(kFile, kFileSize)));
        if (overload & 2) FUZZ_REQUIRE(wellFormedArea(reply.subspan(kSname, kSnameSize)));
        FUZZ_REQUIRE(plan.messageType == 0 || plan.messageType == messageType);
    }

    // The worker's half of a registration: both records of each update as messages.
    void encodeQueuedUpdates() {
        for (const DnsUpdate& update : dnsQueue_.takeAll()) {
            DnsEntryPair entries;
            if (makeDnsEntries(update, entries) != DnsEntryResult::Ok) continue;
            for (const DnsRecordEntry* entry : {&entries.forward, &entries.reverse}) {
                for (DnsMessageKind kind : {DnsMessageKind::Check, DnsMessageKind::Update}) {
                    FUZZ_REQUIRE(encodeDnsMessage(kind, *entry, 1, message_, true) <= message_.size());
                }
            }
        }
    }

    testing::TempDirectory directory_;
    FormattingLog log_{3};
    testing::FakeClock clock_;
    InterfaceTable interfaces_;
    ProfileList profiles_;
    ClientTable clients_{log_};
    SteeredArp arp_;
    DnsUpdateQueue dnsQueue_;
    std::array<SettingsHolder, 4> settings_;
    std::array<std::unique_ptr<DhcpEngine>, 4> engines_;
    std::array<std::uint8_t, kReplyBufferSize> reply_{};
    std::array<std::uint8_t, kDnsMessageCapacity> message_{};
};

std::unique_ptr<State>& state() {
    static std::unique_ptr<State> instance;
    return instance;
}

// A request as clients send it: header, cookie, options, end, padded to 300 bytes.
class Request {
public:
    Request(std::uint8_t steer, int type, std::uint8_t last) : bytes_(kOptions, 0) {
        bytes_.insert(bytes_.begin(), {steer, 0});
        header(kOp, {kBootRequest, 1, 6});
        header(kXid, {0x12, 0x34, 0x56, last});
        header(kChaddr, {0x00, 0x11, 0x22, 0x33, 0x44, last});
        header(kCookie, {kCookieBytes[0], kCookieBytes[1], kCookieBytes[2], kCookieBytes[3]});
        if (type != 0) option(kMessageType, {static_cast<std::uint8_t>(type)});
    }
    Request& header(std::size_t offset, std::initializer_list<std::uint8_t> value) {
        std::copy(value.begin(), value.end(), bytes_.begin() + 2 + static_cast<std::ptrdiff_t>(offset));
        return *this;
    }
    Request& option(std::uint8_t code, std::initializer_list<std::uint8_t> value) {
        bytes_.push_back(code);
        bytes_.push_back(static_cast<std::uint8_t>(value.size()));
        bytes_.insert(bytes_.end(), value);
        return *this;
    }
    Request& text(std::uint8_t code, std::string_view value) {
        bytes_.push_back(code);
        bytes_.push_back(static_cast<std::uint8_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        return *this;
    }
    Input done() const {
        Input out = bytes_;
        out.push_back(kEnd);
        if (out.size() < 2 + 300) out.resize(2 + 300, 0);
        return out;
    }

private:
    Input bytes_;
};

}  // namespace

std::vector<Input> seeds() {
    const std::initializer_list<std::uint8_t> everything = {1,  3,  6,  12, 15, 17,  28,  42,  43, 44,
                                                            46, 47, 60, 66, 67, 119, 150, 200, 201};
    return {
        Request(0, kDiscover, 0x10).option(kParameterList, {1, 3, 6, 15, 119}).done(),
        Request(0, kRequest, 0x10)
            .option(kRequestedAddress, {192, 168, 1, 100})
            .option(kServerIdentifier, {192, 168, 1, 1})
            .text(kHostName, "laptop")
            .done(),
        Request(0, kRequest, 0x01).header(kCiaddr, {192, 168, 1, 50}).done(),
        Request(0, kRelease, 0x10)
            .header(kCiaddr, {192, 168, 1, 100})
            .option(kServerIdentifier, {192, 168, 1, 1})
            .done(),
        Request(0, kDecline, 0x10)
            .option(kRequestedAddress, {192, 168, 1, 100})
            .option(kServerIdentifier, {192, 168, 1, 1})
            .done(),
        Request(0, kInform, 0x02).header(kCiaddr, {192, 168, 1, 51}).option(kParameterList, {1, 3, 6}).done(),
        Request(0, kBootp, 0x01).done(),
        Request(2, kBootp, 0x20).done(),
        Request(0, kDiscover, 0x30)
            .text(kVendorClass, "PXEClient:Arch:00007")
            .option(kMaxMessageSize, {0x05, 0xDC})
            .option(kParameterList, everything)
            .done(),
        Request(0x09, kDiscover, 0x40)
            .header(kGiaddr, {10, 20, 0, 1})
            .option(kRelayInformation, {1, 5, 'p', 'o', 'r', 't', '1', 2, 3, 'r', 'i', 'd'})
            .done(),
        Request(0x05, kDiscover, 0x41).option(kRelayInformation, {1, 5, 'p', 'o', 'r', 't', '1'}).done(),
        Request(0x01, kDiscover, 0x50)
            .option(kClientIdentifier, {1, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff})
            .text(kHostName, "host.lab")
            .done(),
        Request(0x01, kDiscover, 0x51).text(kUserClass, "\x03lab").option(kAutoConfigure, {1}).done(),
        Request(0x02, kDiscover, 0x52).header(kChaddr, {0x00, 0x04, 0xf2, 1, 2, 3}).done(),
        Request(0x20, kRequest, 0x53).header(kHlen, {20}).option(kRequestedAddress, {172, 16, 1, 9}).done(),
        Request(0x04, kDiscover, 0x54).text(kHostName, "a.b.c").option(kParameterList, everything).done(),
        Request(0x03, kRequest, 0x55)
            .text(kUserClass, "\x03lab")
            .text(kHostName, "user7")
            .option(kRequestedAddress, {192, 168, 1, 170})
            .done(),
        // More options in file and sname.
        Request(0x01, kRequest, 0x56)
            .option(kOverload, {3})
            .header(kFile, {kHostName, 3, 'p', 'c', '1', kEnd})
            .header(kSname, {kRequestedAddress, 4, 192, 168, 1, 120, kEnd})
            .done(),
    };
}

std::vector<std::string> dictionary() {
    return {std::string(kCookieBytes, kCookieBytes + 4),
            "\x35\x01\x01",
            "\x35\x01\x03",
            "\x36\x04\xc0\xa8\x01\x01",
            "\x32\x04\xc0\xa8\x01\x64",
            "\x34\x01\x03",
            "\x39\x02\x05\xdc",
            "\x3c\x09PXEClient",
            "\x52\x07\x01\x05port1",
            "\x0c\x04host",
            "\x3d\x07\x01\xaa\xbb\xcc\xdd\xee\xff",
            "\x37\x04\x01\x03\x06\x0f",
            "\xff"};
}

}  // namespace tolmark::fuzz

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    auto& state = tolmark::fuzz::state();
    if (!state || state->full()) state = std::make_unique<tolmark::fuzz::State>();
    state->run({data, size});
    return 0;
}
