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
        RequestBuilder builder;
        builder.chaddr(mac(1)).type(kDiscover);
        c.build(builder);
        const Bytes datagram = builder.bytes();
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
    Bytes codes200(200, 1), codes2(200, 2);
    struct Case {
        const char* name;
        std::function<void(RequestBuilder&)> build;
        std::uint8_t code;
        std::string joined;  // "-": none held
    } cases[] = {
        {"client identifier",
         [](RequestBuilder& b) {
             b.option(kClientIdentifier,
                      "\x01"
                      "ab")
                 .option(kClientIdentifier, "cd");
         },
         kClientIdentifier,
         "\x01"
         "abcd"},
        {"with other options and pads between",
         [](RequestBuilder& b) {
             b.option(kVendorClass, "PXEClient:")
                 .address(kRequestedAddress, 1)
                 .raw({0, 0})
                 .option(kVendorClass, "Arch");
         },
         kVendorClass, "PXEClient:Arch"},
        {"user class",
         [](RequestBuilder& b) {
             b.option(kUserClass,
                      "\x02"
                      "ab")
                 .option(kUserClass,
                         "\x01"
                         "c");
         },
         kUserClass,
         "\x02"
         "ab\x01"
         "c"},
        {"host name", [](RequestBuilder& b) { b.option(kHostName, "host.").option(kHostName, "example"); }, kHostName,
         "host.example"},
        {"an empty instance adds nothing", [](RequestBuilder& b) { b.option(kHostName, "pc").option(kHostName, ""); },
         kHostName, "pc"},
        {"cut at 255 bytes", [&](RequestBuilder& b) { b.option(kVendorClass, a200).option(kVendorClass, b200); },
         kVendorClass, a200 + std::string(55, 'b')},
        {"three instances",
         [](RequestBuilder& b) { b.option(kHostName, "a").option(kHostName, "b").option(kHostName, "c"); }, kHostName,
         "abc"},
        {"an instance running past the datagram ends the walk",
         [](RequestBuilder& b) {
             b.option(kHostName, "pc").raw({kHostName, 9, 'x'}).noEnd().length(300 - 48);
         },
         kHostName, "pc"},
        {"parameter request list",
         [](RequestBuilder& b) {
             b.option(kParameterList, {1, 3}).option(kParameterList, {6, 15});
         },
         kParameterList, "\x01\x03\x06\x0f"},
        {"parameter request list cut at 255 codes",
         [&](RequestBuilder& b) { b.option(kParameterList, codes200).option(kParameterList, codes2); }, kParameterList,
         std::string(200, '\x01') + std::string(55, '\x02')},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RequestBuilder builder;
        builder.chaddr(mac(1)).type(kDiscover);
        c.build(builder);
        const Bytes datagram = builder.bytes();
        RequestSummary summary;
        parseRequest(datagram, summary);
        switch (c.code) {
            case kClientIdentifier:
                EXPECT_EQ(text(summary.clientIdOption), c.joined);
                break;
            case kVendorClass:
                EXPECT_EQ(text(summary.vendorClass), c.joined);
                break;
            case kUserClass:
                EXPECT_EQ(text(summary.userClassOption), c.joined);
                break;
            case kHostName:
                EXPECT_EQ(text(summary.hostName), c.joined);
                break;
            case kParameterList:
                EXPECT_EQ(std::string(reinterpret_cast<const char*>(summary.parameterList.data())), c.joined);
                break;
        }
    }
}

}  // namespace
}  // namespace tolmark::dhcp::testing
