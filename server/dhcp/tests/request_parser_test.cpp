// The summary holds what the client sent, whatever the settings; the view applies them: which
// option identifies the client, the user class made of the host name, relay information only
// from a relay or a trusted interface, and the relay address under "RelaySrc".

#include "server/dhcp/request_parser.h"

#include <algorithm>
#include <functional>
#include <string>

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/tests/engine_fixture.h"

namespace tolmark::dhcp::testing {
namespace {

std::string text(ValueRef value) {
    return value ? std::string(reinterpret_cast<const char*>(value.data()), value.length()) : std::string("-");
}

// A DISCOVER of 00:11:22:33:44:01 with what build adds.
Bytes discoverWith(const std::function<void(RequestBuilder&)>& build) {
    RequestBuilder builder;
    builder.chaddr(mac(1)).type(kDiscover);
    build(builder);
    return builder.bytes();
}

TEST(RequestParser, TheViewAppliesTheSettingsToWhatWasSent) {
    const Bytes relayInfo{1, 2, 'c', '1', 2, 2, 'r', '1'};
    struct Case {
        const char* name;
        std::function<void(RequestBuilder&)> build;
        std::function<void(EngineSettings&)> settings;
        bool trusted;
        const char* clientId;
        const char* userClass;  // the value bytes; a made one: length, name
        const char* circuit;
        const char* remote;
        Ipv4 relay;
    } cases[] = {
        {"option 61 wins over the host name when both are enabled",
         [](RequestBuilder& b) {
             b.option(kHostName, "first").option(kClientIdentifier, "id61").option(kHostName, "second");
         },
         [](EngineSettings& g) { g.clientIdFromOption = g.clientIdFromHostName = true; }, false, "id61", "-", "-", "-",
         0},
        {"without option 61 the host name identifies, its parts joined",
         [](RequestBuilder& b) { b.option(kHostName, "first").option(kHostName, "second"); },
         [](EngineSettings& g) { g.clientIdFromOption = g.clientIdFromHostName = true; }, false, "firstsecond", "-",
         "-", "-", 0},
        {"an option 61 of one byte identifies nobody, an empty host name neither",
         [](RequestBuilder& b) { b.option(kClientIdentifier, "\x01").option(kHostName, ""); },
         [](EngineSettings& g) { g.clientIdFromOption = g.clientIdFromHostName = true; }, false, "-", "-", "-", "-", 0},
        {"option 61 counts only when enabled", [](RequestBuilder& b) { b.option(kClientIdentifier, "id61"); },
         [](EngineSettings&) {}, false, "-", "-", "-", "-", 0},
        {"the user class made of the host name, unless option 77 came",
         [](RequestBuilder& b) { b.option(kHostName, "pc1").option(kHostName, "pc2"); },
         [](EngineSettings& g) { g.hostNameAsUserClass = true; }, false, "-", "\x06pc1pc2", "-", "-", 0},
        {"option 77 before the host name keeps its place",
         [](RequestBuilder& b) { b.option(kUserClass, "uc").option(kHostName, "pc1"); },
         [](EngineSettings& g) { g.hostNameAsUserClass = true; }, false, "-", "uc", "-", "-", 0},
        {"relay information from a relay",
         [&](RequestBuilder& b) { b.giaddr(makeIpv4(10, 9, 0, 1)).option(kRelayInformation, relayInfo); },
         [](EngineSettings& g) { g.relayInformation = true; }, false, "-", "-", "c1", "r1", makeIpv4(10, 9, 0, 1)},
        {"without a relay only on a trusted interface",
         [&](RequestBuilder& b) { b.option(kRelayInformation, relayInfo); },
         [](EngineSettings& g) { g.relayInformation = true; }, false, "-", "-", "-", "-", 0},
        {"trusted", [&](RequestBuilder& b) { b.option(kRelayInformation, relayInfo); },
         [](EngineSettings& g) { g.relayInformation = true; }, true, "-", "-", "c1", "r1", 0},
        {"only the sub-options enabled",
         [&](RequestBuilder& b) { b.giaddr(makeIpv4(10, 9, 0, 1)).option(kRelayInformation, relayInfo); },
         [](EngineSettings& g) { g.relayInformation = true, g.relayCircuitId = false; }, false, "-", "-", "-", "r1",
         makeIpv4(10, 9, 0, 1)},
        {"RelaySrc answers the relay at the source address",
         [&](RequestBuilder& b) { b.giaddr(makeIpv4(10, 9, 0, 1)); },
         [](EngineSettings& g) { g.relayAddressFromSource = true; }, false, "-", "-", "-", "-", makeIpv4(10, 9, 9, 9)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes datagram = discoverWith(c.build);
        RequestSummary summary;
        summary.sourceAddress = makeIpv4(10, 9, 9, 9);
        parseRequest(datagram, summary);
        EngineSettings settings;
        c.settings(settings);
        RequestView view;
        applySettings(summary, settings, c.trusted, view);
        EXPECT_EQ(text(view.clientIdentifier), c.clientId);
        EXPECT_EQ(text(view.userClass), c.userClass);
        EXPECT_EQ(text(view.circuitId), c.circuit);
        EXPECT_EQ(text(view.remoteId), c.remote);
        EXPECT_EQ(view.relayAddress, c.relay);
        // The summary keeps what was sent, settings or not.
        const bool sent = std::find(datagram.begin() + kOptions, datagram.end(), kRelayInformation) != datagram.end();
        EXPECT_EQ(text(summary.circuitIdOption), sent ? "c1" : "-");
        EXPECT_EQ(text(summary.remoteIdOption), sent ? "r1" : "-");
    }
}

// A value longer than one option is sent as several options of the same code, joined in order
// wherever they stand (RFC 3396); a joined value keeps to the 255 bytes one value can hold.
TEST(RequestParser, RepeatedOptionsAreJoinedInOrder) {
    const std::string a200(200, 'a'), b200(200, 'b');
    struct Case {
        const char* name;
        std::function<void(RequestBuilder&)> build;
        ValueRef RequestSummary::*field;  // nullptr: the parameter list
        std::string joined;
    } cases[] = {
        {"client identifier, other options and pads between",
         [](auto& b) {
             b.option(kClientIdentifier, "id")
                 .address(kRequestedAddress, 1)
                 .raw({0, 0})
                 .option(kClientIdentifier, "61");
         },
         &RequestSummary::clientIdOption, "id61"},
        {"vendor class cut at 255 bytes", [&](auto& b) { b.option(kVendorClass, a200).option(kVendorClass, b200); },
         &RequestSummary::vendorClass, a200 + std::string(55, 'b')},
        {"host name in three parts, one empty",
         [](auto& b) { b.option(kHostName, "a").option(kHostName, "").option(kHostName, "c"); },
         &RequestSummary::hostName, "ac"},
        {"a part running past the datagram ends the walk",
         [](auto& b) {
             b.option(kHostName, "pc").raw({kHostName, 9, 'x'}).noEnd().length(252);
         },
         &RequestSummary::hostName, "pc"},
        {"parameter list",
         [](auto& b) {
             b.option(kParameterList, {'A', 'B'}).option(kParameterList, {'C'});
         },
         nullptr, "ABC"},
        {"parameter list cut at 255 codes",
         [&](auto& b) { b.option(kParameterList, a200).option(kParameterList, b200); }, nullptr,
         a200 + std::string(55, 'b')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes datagram = discoverWith(c.build);
        RequestSummary summary;
        parseRequest(datagram, summary);
        const std::string list(reinterpret_cast<const char*>(summary.parameterList.data()));
        EXPECT_EQ(c.field != nullptr ? text(summary.*c.field) : list, c.joined);
    }
}

// Option 52 in a request: the client put more options into `file` (1), `sname` (2) or both
// (3). They are read after the option area, `file` first, each within its own field.
TEST(RequestParser, OverloadedFieldsAreReadAfterTheOptions) {
    const Bytes pc{kHostName, 2, 'p', 'c', kEnd};
    const Bytes wanted{kRequestedAddress, 4, 10, 0, 0, 7, kEnd};
    struct Case {
        const char* name;
        int overload;  // -1: no option 52
        Bytes file, sname;
        std::string hostName;
        Ipv4 requested;
    } cases[] = {
        {"file", 1, pc, wanted, "mainpc", 0},
        {"sname", 2, pc, wanted, "main", makeIpv4(10, 0, 0, 7)},
        {"both, file first", 3, pc, Bytes{kHostName, 1, 'x', kEnd}, "mainpcx", 0},
        {"without option 52 the fields are names", -1, pc, wanted, "main", 0},
        {"an option running past its field is dropped", 1, Bytes{kHostName, 200, 'y'}, {}, "main", 0},
        {"an option 52 inside a field changes nothing", 1, Bytes{kOverload, 1, 2, kEnd}, wanted, "main", 0},
        {"a field without end byte ends at its size", 1, Bytes(128, kPad), {}, "main", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes datagram = discoverWith([&](RequestBuilder& b) {
            b.option(kHostName, "main");
            if (c.overload >= 0) b.option(kOverload, {std::uint8_t(c.overload)});
        });
        std::copy_n(c.file.begin(), std::min(c.file.size(), kFileSize), datagram.begin() + kFile);
        std::copy_n(c.sname.begin(), std::min(c.sname.size(), kSnameSize), datagram.begin() + kSname);
        RequestSummary summary;
        parseRequest(datagram, summary);
        EXPECT_EQ(text(summary.hostName), c.hostName);
        EXPECT_EQ(summary.requestedAddress, c.requested);
        EXPECT_EQ(summary.messageType, kDiscover);
    }
}

}  // namespace
}  // namespace tolmark::dhcp::testing
