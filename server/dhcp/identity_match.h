#pragma once
// Identity matching: which record of a list a request names, by its relay agent values, its
// client identifier or its hardware address, and the identity a new record for it receives.

#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// The identity a new record for this request receives; withoutRemoteId: as if the request
// carried no remote ID (a record keyed by the circuit ID).
Identity requestIdentity(const RequestView& summary, bool relayValuesIdentify, bool withoutRemoteId = false);

// The first record of the list that the request identifies, searching after `after` when
// given. Strict: no fallback from relay values to the client identifier and hardware address.
ClientRecord* findByRequest(ClientTable& table, const RequestInput& request, ClientList list, bool strict,
                            const ClientRecord* after = nullptr);

// A client renewing directly on a trusted interface is found by its address when it was
// leased by relay values.
bool directRenewalOnTrusted(const RequestInput& request);
// The first record after `after` of a relay identity kind that holds the address.
ClientRecord* findRelayKindByAddress(ClientTable& table, ClientList list, Ipv4 address, const ClientRecord* after);

}  // namespace tolmark::dhcp
