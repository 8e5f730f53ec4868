#pragma once
// Profile selection: the profiles that apply to a request (class profiles, the relay or
// interface profile of its network) and the record and options profile that serve it, with
// the dynamic address found in the pool of the chosen profile.

#include <cstdint>

#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

bool classMatches(const Profile& profile, const RequestView& summary, std::uint16_t wildcard);
// The relay-class profile of the request's relay, or the interface profile of its interface.
const Profile* networkProfile(const ProfileList& profiles, const RequestView& summary, std::uint16_t wildcard);
bool macRangeAllows(const MacRangeTable& table, const RequestView& summary);

Selection serveKnownClient(EngineContext& context, const Request& request, ClientRecord& firstMatch);
Selection serveUnregisteredClient(EngineContext& context, const Request& request);

}  // namespace tolmark::dhcp
