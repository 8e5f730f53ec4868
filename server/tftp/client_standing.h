#pragma once
// The standing of a client address for the access rules: a static entry with the address whose
// profile exists makes it known through that profile; otherwise the first profile whose pool
// holds the address does.

#include <optional>
#include <string>

#include "config/profiles.h"
#include "server/tftp/request_parser.h"

namespace tolmark::tftp {

// staticProfile: the profile name of the static entry with this address, if there is one (an
// empty name stands for the first profile).
ClientStanding standingOf(Ipv4 address, const ProfileList& profiles, const std::optional<std::string>& staticProfile);

}  // namespace tolmark::tftp
