#pragma once
// The last step of deciding: with the record and profile chosen, what the request gets (served
// or ignored), the lease, the host name and the message rules' verdict.

#include "server/dhcp/decision.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

// Completes a decision whose selection is made (decision.selection, with its plan).
void decideServing(const RequestInput& request, Decision& decision);

// The DHCP request would be refused (no OFFER, no ACK) if the selection served it at this
// address: the address is not worth testing.
bool refusedAt(const RequestInput& request, const Selection& selection, Ipv4 address);

// The client already holds the selection's address here, leased and not yet expired.
bool currentLease(const Selection& selection, std::int64_t now);

// The address that serves the selection: the record's or the planned one.
Ipv4 servingAddress(const Selection& selection);

// The name "DNSBase" gives a dynamic client at this address: "DNSBase" itself under
// "DNSBaseOnly", else "DNSBase" and the four address bytes; empty without "DNSBase".
std::string_view baseHostName(const Profile& profile, Ipv4 address, char (&buffer)[kHostNameChars + 1]);

// The name a static entry with a stored host name gives its client: that name up to the first
// character a DNS label cannot hold under "DNSSend", else "DNSBase" under "DNSBaseOnly", else
// none.
std::string_view staticHostName(const Profile& profile, const ClientRecord& record);

// The subnet mask the reply carries for the address.
Ipv4 replyMask(const Profile& profile, Ipv4 address);

// Where the request leaves its record seen: through its relay agent, or at the interface it
// arrived on. A client that renews or informs straight from its address (ciaddr, no giaddr) is
// still where its lease was given: behind the relay of a relay profile's lease, or of a class
// profile's (whose pool serves any network), and its lease keeps counting there. Only a lease
// of an interface's own pool is seen where the request arrives.
// record: the one before the request (nullptr: a new one).
Ipv4 seenViaAfter(const ProfileList& profiles, const RequestView& request, const ClientRecord* record);

}  // namespace tolmark::dhcp
