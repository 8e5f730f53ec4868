#include "server/host/run_as_user.h"

#include <cstdio>

namespace tolmark {
namespace {

using platform::kServerCapabilities;

// "cap_net_bind_service,cap_net_raw" of those in effect; "none" without any.
std::string capabilitiesInEffect(platform::ProcessIdentity& identity) {
    std::string names;
    for (platform::Capability c : kServerCapabilities) {
        if (!identity.hasCapability(c)) continue;
        if (!names.empty()) names += ',';
        names += platform::capabilityName(c);
    }
    return names.empty() ? "none" : names;
}

RunAsOutcome refused(std::string_view name, const std::string& reason) {
    return {false, "DHCP  Error   RunAsUser " + std::string(name) + ": " + reason + "; not started"};
}

RunAsOutcome running(const platform::UserAccount& account, platform::ProcessIdentity& identity) {
    char text[160];
    std::snprintf(text, sizeof text, "DHCP  Start   as user %s (uid %u, gid %u), capabilities ", account.name.c_str(),
                  static_cast<unsigned>(account.uid), static_cast<unsigned>(account.gid));
    return {true, text + capabilitiesInEffect(identity)};
}

}  // namespace

RunAsOutcome takeRunAsUser(std::string_view name, platform::ProcessIdentity& identity) {
    if (name.empty()) return {};
    const std::optional<platform::UserAccount> account = identity.findUser(name);
    if (!account) return refused(name, "no such user");
    // Root named as the user: the server stays as it was started, with all of root's rights.
    if (account->uid == 0 && identity.effectiveUser() == 0) return running(*account, identity);

    std::string error;
    if (identity.effectiveUser() == account->uid) {
        if (!identity.limitTo(kServerCapabilities, error)) return refused(name, error);
        return running(*account, identity);
    }
    if (!identity.mayChangeUser()) {
        return refused(name,
                       "started as uid " + std::to_string(identity.effectiveUser()) + ", which cannot change user");
    }
    if (!identity.changeTo(*account, kServerCapabilities, error)) return refused(name, error);
    return running(*account, identity);
}

}  // namespace tolmark
