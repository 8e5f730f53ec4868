#pragma once
// The settings the engine decides by, typed: built from the general settings block whenever
// the settings change, so that policy reads flags and values instead of the block's integers
// and bit masks.

#include <cstdint>

#include "common/settings_blocks.h"
#include "config/settings.h"

namespace tolmark::dhcp {

struct EngineSettings {
    bool answerDhcp = true;               // "DHCP"
    bool answerBootp = true;              // "BOOTP" not 0
    bool shortBootpReplies = true;        // "BOOTP" 1: BOOTP replies of 300 bytes
    bool bootpWithoutCookie = true;       // "MagicNumber": a request without the cookie is bare BOOTP
    bool identifyByMac = true;            // "EnableMAC"
    bool clientIdFromOption = false;      // "EnableID" bit 1: option 61 identifies the client
    bool clientIdFromHostName = false;    // "EnableID" bit 2: else the host name does
    bool relayInformation = false;        // "EnableRA": option 82 is taken
    bool relayCircuitId = true;           // "RelayAgent" bit 1: its circuit ID is used
    bool relayRemoteId = true;            // "RelayAgent" bit 2: its remote ID is used
    bool trustedDirectRenewals = true;    // not "RelayAgent" 0x100: renewals on trusted interfaces found by address
    bool relayValuesIdentify = true;      // not "RelayAgent" 0x200: relay values are the client's identity
    bool relayAddressFromSource = false;  // "RelaySrc": answer the relay at the datagram's source
    bool hostNameAsUserClass = false;     // "Name2UC"
    bool registeredOnly = false;          // "RegOnly"
    bool changeIp = false;                // "ChangeIP"
    bool testIp = false;                  // "TestIP"
    bool soleServer = false;              // "SoleServer"
    bool updateEthers = true;             // "UpdateEthers" not 0
    bool zeroTerminate = true;            // "ZeroTerminate"
    bool autoConfigure = true;            // "AutoConfigure"
    std::int32_t relayLimit = 1;          // "RelayLimit"
    std::uint16_t idWildcard = 46;        // "IdWildcard"
    MacRangeTable macRange{};             // "MacRange"
    OptionCodeList defaultOptions;        // "DefaultOptions"

    static EngineSettings from(const DhcpSettings& settings);
};

}  // namespace tolmark::dhcp
