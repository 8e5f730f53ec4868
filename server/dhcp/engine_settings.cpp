#include "server/dhcp/engine_settings.h"

namespace tolmark::dhcp {
namespace {

// "RelayAgent" bits.
constexpr int kRelayCircuit = 1;
constexpr int kRelayRemote = 2;
constexpr int kRelayNoTrustedLookup = 0x100;
constexpr int kRelayNotIdentity = 0x200;

}  // namespace

EngineSettings EngineSettings::from(const DhcpSettings& settings) {
    const GeneralSettings& g = settings.general;
    EngineSettings e;
    e.answerDhcp = g.dhcp != 0;
    e.answerBootp = g.bootp != 0;
    e.shortBootpReplies = g.bootp == 1;
    e.bootpWithoutCookie = g.magicNumber != 0;
    e.identifyByMac = g.enableMac != 0;
    e.clientIdFromOption = (g.enableId & 1) != 0;
    e.clientIdFromHostName = (g.enableId & 2) != 0;
    e.relayInformation = g.enableRa != 0;
    e.relayCircuitId = (g.relayAgent & kRelayCircuit) != 0;
    e.relayRemoteId = (g.relayAgent & kRelayRemote) != 0;
    e.trustedDirectRenewals = (g.relayAgent & kRelayNoTrustedLookup) == 0;
    e.relayValuesIdentify = (g.relayAgent & kRelayNotIdentity) == 0;
    e.relayAddressFromSource = g.relaySrc != 0;
    e.hostNameAsUserClass = g.name2Uc != 0;
    e.registeredOnly = g.regOnly != 0;
    e.changeIp = g.changeIp != 0;
    e.testIp = g.testIp != 0;
    e.soleServer = g.soleServer != 0;
    e.updateEthers = g.updateEthers != 0;
    e.zeroTerminate = g.zeroTerminate != 0;
    e.autoConfigure = g.autoConfigure != 0;
    e.relayLimit = g.relayLimit;
    e.idWildcard = g.idWildcard;
    e.macRange = g.macRange;
    e.defaultOptions = settings.defaultOptions;
    return e;
}

}  // namespace tolmark::dhcp
