#pragma once
// The request processor with everything it works on held by one fixture: a client table,
// profiles, an interface table built from a scripted host, settings, a capturing log, a fake
// clock and a scripted ARP requester. Requests are crafted field by field; replies are read
// back into header fields and the options in the order a client would see them.

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <initializer_list>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "config/config_store.h"
#include "config/interface_table.h"
#include "config/profiles.h"
#include "config/settings_holder.h"
#include "server/dhcp/dhcp_engine.h"
#include "server/leases/client_table.h"
#include "server/leases/engine_state.h"
#include "tests/support/fakes.h"

namespace tolmark::dhcp::testing {

using Bytes = std::vector<std::uint8_t>;
using Mac = std::array<std::uint8_t, 6>;

// The server's addresses: 192.168.1.1/24 on interface index 2, 172.16.0.1/16 on index 3.
inline const Ipv4 kServer = makeIpv4(192, 168, 1, 1);
inline const Ipv4 kOther = makeIpv4(172, 16, 0, 1);

// 00:11:22:33:44:<last>
Mac mac(std::uint8_t last);
Identity hardwareIdentity(const Mac& mac);

// A BOOTP/DHCP request: a 236-byte header, the cookie, the options as added, then the end byte;
// padded to 300 bytes as clients send them unless an exact length is asked for.
class RequestBuilder {
public:
    RequestBuilder();
    RequestBuilder& op(std::uint8_t value) { return set(0, {value}); }
    RequestBuilder& htype(std::uint8_t value) { return set(1, {value}); }
    RequestBuilder& hlen(std::uint8_t value) { return set(2, {value}); }
    RequestBuilder& xid(std::uint32_t value);
    RequestBuilder& flags(std::uint16_t value) { return set(10, {std::uint8_t(value >> 8), std::uint8_t(value)}); }
    RequestBuilder& ciaddr(Ipv4 address) { return setAddress(12, address); }
    RequestBuilder& giaddr(Ipv4 address) { return setAddress(24, address); }
    RequestBuilder& chaddr(std::span<const std::uint8_t> bytes);  // at most 16
    RequestBuilder& noCookie() { return cookie_ = false, *this; }
    RequestBuilder& type(int messageType) { return option(53, {std::uint8_t(messageType)}); }
    RequestBuilder& option(std::uint8_t code, std::span<const std::uint8_t> value);
    RequestBuilder& option(std::uint8_t code, std::initializer_list<std::uint8_t> value) {
        return option(code, std::span<const std::uint8_t>(value.begin(), value.size()));
    }
    RequestBuilder& option(std::uint8_t code, std::string_view text) {
        return option(code,
                      std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
    RequestBuilder& address(std::uint8_t code, Ipv4 address);
    // Bytes put into the option area as they stand.
    RequestBuilder& raw(std::initializer_list<std::uint8_t> bytes) {
        return options_.insert(options_.end(), bytes), *this;
    }
    RequestBuilder& noEnd() { return end_ = false, *this; }
    RequestBuilder& length(std::size_t exact) { return length_ = exact, *this; }  // cut or zero-filled
    Bytes bytes() const;

private:
    RequestBuilder& set(std::size_t offset, std::initializer_list<std::uint8_t> bytes);
    RequestBuilder& setAddress(std::size_t offset, Ipv4 address);

    std::array<std::uint8_t, 236> header_{};
    bool cookie_ = true;
    Bytes options_;
    bool end_ = true;
    std::size_t length_ = 0;  // 0: at least 300
};

struct ReplyOption {
    std::uint8_t code = 0;
    Bytes value;
};

// A reply as the client reads it; options include those overloaded into `file` and `sname`.
struct Reply {
    std::size_t length = 0;  // 0: no reply
    Bytes bytes;
    std::uint8_t op = 0, hlen = 0;
    std::uint32_t xid = 0;
    std::uint16_t flags = 0;
    Ipv4 ciaddr = 0, yiaddr = 0, siaddr = 0, giaddr = 0;
    Bytes chaddr, sname, file;  // whole fields
    bool cookie = false;
    int overload = 0;
    std::vector<ReplyOption> options;
    bool wellFormed = false;  // every option area ends with 255 inside its bounds

    explicit operator bool() const { return length != 0; }
    std::vector<std::uint8_t> codes() const;
    const ReplyOption* find(std::uint8_t code) const;
    Ipv4 addressOption(std::uint8_t code) const;
    std::uint32_t u32Option(std::uint8_t code) const;
    std::string text(std::uint8_t code) const;
    static std::string fieldText(const Bytes& field);  // up to the first 0 byte
};
Reply readReply(std::span<const std::uint8_t> buffer, std::size_t length);

// Answers ARP tests for the addresses it is given at once; addresses in `pending` have no
// answer yet (Pending) until the test takes them out.
class FakeArpProber final : public platform::ArpProber {
public:
    platform::ProbeResult probe(int ifIndex, Ipv4 source, Ipv4 target) override;
    platform::WakeEvent& completed() override { return completed_; }
    std::map<Ipv4, Mac> answers;
    std::set<Ipv4> pending;
    std::vector<std::string> calls;  // "ifIndex source target"

private:
    platform::WakeEvent completed_;
};

class EngineTest : public ::testing::Test {
protected:
    EngineTest();
    ~EngineTest() override;

    // "LAN": interface class for kServer, pool 192.168.1.100 + 50, lease 3600, router and DNS
    // the server itself.
    static Profile lanProfile();
    // Appends option lines ("code length value") to the profile's option area.
    static void addOptionLines(Profile& profile, std::initializer_list<std::string_view> lines);
    void useProfiles(std::vector<Profile> profiles) { profiles_.assign(std::move(profiles)); }
    template <typename F>
    void settings(F&& change) {
        settings_.update([&](DhcpSettings& d, TftpSettings&, MulticastSettings&) { change(d); });
    }

    RequestBuilder message(const Mac& m, int type) { return RequestBuilder().chaddr(m).type(type); }
    RequestBuilder discover(const Mac& m) { return message(m, 1); }
    RequestBuilder request(const Mac& m) { return message(m, 3); }

    // Runs one request as the receive loop does: a zeroed summary with the addresses filled in.
    Reply send(const RequestBuilder& request, Ipv4 source = 0, Ipv4 interface = kServer);
    Reply send(std::span<const std::uint8_t> datagram, Ipv4 source = 0, Ipv4 interface = kServer);
    // Takes a parked request up again.
    Reply resume(std::uint64_t ticket);
    // DISCOVER and REQUEST of a client; the address it was given (0 when refused).
    Ipv4 bind(const Mac& m);

    ClientRecord& addStatic(const Mac& m, Ipv4 address, std::string_view profile);
    // A dynamic record of the LAN pool at that address, linked in address order.
    ClientRecord& addDynamic(const Mac& m, Ipv4 address, std::int64_t expiry);
    std::vector<ClientRecord*> records(ClientList list);
    ClientRecord* dynamicAt(Ipv4 address);
    bool logged(std::string_view line) const;

    static Ipv4 lan(std::uint8_t last) { return makeIpv4(192, 168, 1, last); }

    std::string directory_;
    tolmark::testing::CapturingLog log_{2};
    tolmark::testing::FakeClock clock_;
    EngineState state_{log_};
    // The tests drive the engine on one thread and read the table and profiles directly.
    ClientTable& clients_ = state_.clientsLockedByUser();
    ProfileList& profiles_ = state_.profilesLockedByUser();
    InterfaceTable interfaces_;
    SettingsHolder settings_;
    FakeArpProber arp_;
    DhcpEngine engine_{clients_, profiles_, interfaces_, settings_, log_, clock_, &arp_};
    ReplyPlan lastPlan_;
};

}  // namespace tolmark::dhcp::testing
