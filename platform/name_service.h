#pragma once
// The host's name service (hosts file, DNS, whatever the system is configured to ask), for the
// host names of static clients.

#include <memory>
#include <optional>
#include <string>

#include "base/ipv4.h"

namespace tolmark::platform {

class NameService {
public:
    virtual ~NameService() = default;
    // The first IPv4 address of the name, or nothing.
    virtual std::optional<Ipv4> addressOf(const std::string& name) = 0;
    // The name of the address, or nothing when the service has none.
    virtual std::optional<std::string> nameOf(Ipv4 address) = 0;
};
std::unique_ptr<NameService> makeNameService();

}  // namespace tolmark::platform
