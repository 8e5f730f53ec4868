#include "platform/name_service.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstring>

namespace tolmark::platform {
namespace {

class SystemNameService final : public NameService {
public:
    std::optional<Ipv4> addressOf(const std::string& name) override {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* found = nullptr;
        if (name.empty() || ::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
            return std::nullopt;
        }
        std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
        for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
            if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
                sockaddr_in sa;
                std::memcpy(&sa, a->ai_addr, sizeof sa);
                return sa.sin_addr.s_addr;
            }
        }
        return std::nullopt;
    }

    std::optional<std::string> nameOf(Ipv4 address) override {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = address;
        char host[NI_MAXHOST];
        if (::getnameinfo(reinterpret_cast<const sockaddr*>(&sa), sizeof sa, host, sizeof host, nullptr, 0,
                          NI_NAMEREQD) != 0) {
            return std::nullopt;
        }
        return std::string(host);
    }
};

}  // namespace

std::unique_ptr<NameService> makeNameService() { return std::make_unique<SystemNameService>(); }

}  // namespace tolmark::platform
