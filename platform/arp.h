#pragma once
// The host's ARP cache, and ARP requests for an address.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>

#include "base/ipv4.h"

namespace tolmark::platform {

enum class ArpEntryType { Dynamic = 3, Static = 4 };

class ArpCache {
public:
    virtual ~ArpCache() = default;
    virtual bool setEntry(int ifIndex, Ipv4 address, const std::uint8_t* hardware6, ArpEntryType type) = 0;
    virtual bool deleteEntry(int ifIndex, Ipv4 address) = 0;
};
std::unique_ptr<ArpCache> makeArpCache();

class ArpRequester {
public:
    virtual ~ArpRequester() = default;
    // Sends an ARP request for target from the interface and waits up to timeoutMs for the
    // answer; the answering hardware address, or nothing.
    virtual std::optional<std::array<std::uint8_t, 6>> request(int ifIndex, Ipv4 source, Ipv4 target,
                                                               int timeoutMs) = 0;
};
std::unique_ptr<ArpRequester> makeArpRequester();

}  // namespace tolmark::platform
