#pragma once
// The host's IPv4 address table and its change notifications.

#include <cstdint>
#include <memory>
#include <vector>

#include "base/ipv4.h"
#include "platform/wake_event.h"

namespace tolmark::platform {

struct HostAddress {
    Ipv4 address = 0;
    Ipv4 mask = 0;
    int ifIndex = 0;  // index of the base device (aliases share their device's index)
};

class HostAddressSource {
public:
    virtual ~HostAddressSource() = default;
    // Replaces rows with the host's current table in its order; false when it cannot be read.
    virtual bool read(std::vector<HostAddress>& rows) = 0;
};
std::unique_ptr<HostAddressSource> makeHostAddressSource();

class AddressChangeWatcher {
public:
    virtual ~AddressChangeWatcher() = default;
    // Waits without limit for a change of any IPv4 address, or until stop is signalled.
    // Returns Readable on a change, Woken on stop, Error when the wait itself failed.
    virtual WaitResult waitForChange(const WakeEvent& stop) = 0;
};
std::unique_ptr<AddressChangeWatcher> makeAddressChangeWatcher();

}  // namespace tolmark::platform
