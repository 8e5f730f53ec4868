#pragma once
// Who a request comes from, which client record serves it, and which profiles apply: the
// options profile and the profile whose pool supplies a dynamic address. Refused clients are
// recorded in the ignored list.

#include <cstddef>
#include <cstdint>
#include <span>

#include "server/dhcp/engine_context.h"
#include "server/dhcp/reply_writer.h"

namespace tolmark::dhcp {

// The identity a new record for this request receives.
Identity requestIdentity(const RequestSummary& summary, bool relayValuesIdentify);

// The first record of the list that the request identifies, searching after `after` when
// given. Strict: no fallback from relay values to the client identifier and hardware address.
ClientRecord* findByRequest(EngineContext& context, const Request& request, ClientList list, bool strict,
                            const ClientRecord* after = nullptr);

bool classMatches(const Profile& profile, const RequestSummary& summary, std::uint16_t wildcard);
// The relay-class profile of the request's relay, or the interface profile of its interface.
const Profile* networkProfile(const ProfileList& profiles, const RequestSummary& summary, std::uint16_t wildcard);
bool macRangeAllows(const MacRangeTable& table, const RequestSummary& summary);

Selection serveKnownClient(EngineContext& context, const Request& request, ClientRecord& firstMatch);
Selection serveUnregisteredClient(EngineContext& context, const Request& request);

// Class argument for recordIgnored.
inline constexpr int kIgnoredBootp = 0;
inline constexpr int kIgnoredDhcp = 1;
inline constexpr int kIgnoredKeepClass = 2;
// The ignored list keeps at most this many clients, the most recent ones.
inline constexpr std::size_t kMaxIgnoredClients = 4096;
// Records a refused request in the ignored list and logs it; returns the reply length (548 for
// the answer that tells a client not to auto-configure, else 0).
std::size_t recordIgnored(EngineContext& context, const Request& request, int classArgument, ReplyWriter& reply);

// The identification details of a log line (" rc ...", " rr ...", " ci ...", " uc ...",
// " vc ...", " gw ...", " nm ..."), written into out.
void relaySuffix(const RequestSummary& summary, char* out, std::size_t capacity);

}  // namespace tolmark::dhcp
