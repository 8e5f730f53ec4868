#pragma once
// What deciding found for one request, before anything changes: the record that serves it (an
// existing one, or the dynamic address a pool search found), the profile its options come from,
// the reply, and every change the request makes to the client table. Committing applies the
// changes; the reply writer reads the decision and the committed record.

#include <cstdint>
#include <string_view>

#include "config/profiles.h"
#include "server/leases/client_table.h"

namespace tolmark::dhcp {

// A lease time that never ends.
inline constexpr std::uint32_t kInfiniteLease = 0xFFFFFFFFu;

// Where a client's dynamic address comes from, as the pool search found it.
struct AddressPlan {
    enum class Source : std::uint8_t { None, Own, Reuse, New };
    Source source = Source::None;
    ClientRecord* record = nullptr;  // Own and Reuse: the record
    Identity identity;               // the client's identity as the pool keys it
    PoolRef pool;
    // New: the address at this offset of the pool, linked after `after` (nullptr: at the head).
    std::uint32_t offset = 0;
    ClientRecord* after = nullptr;
    bool appended = false;  // `after` was the last record of the dynamic list
    // "ChangeIP" on a DISCOVER: the client's own leases met before the address it moves to are
    // given up first, and the pool searched again.
    bool giveUpOwnFirst = false;
    // The record is keyed by the circuit ID: the remote ID no longer counts for this request.
    bool dropRemoteId = false;
    // The address is to be tested (ARP) before it is given out.
    bool test = false;
    // The address the client named, not one the pool search found (leases shared with other
    // servers: one of them may have given it a moment ago). A new record goes where the pool's
    // address order puts it.
    bool named = false;
    // No address left for the client: every address of the pool is leased and none expired.
    bool exhausted = false;

    explicit operator bool() const { return source != Source::None; }
    Ipv4 address() const;
};

// The notes that end a search without a record, logged when the request is committed.
enum class SelectionNote : std::uint8_t {
    None,
    RegisteredOnly,
    MacRange,
    NoProfile,
    NoSubnetProfile,  // an INFORM from an address no network profile's subnet holds
    NoDynamicAddress,
    PoolExhausted
};

// The record and profile that serve a request.
struct Selection {
    ClientRecord* record = nullptr;  // an existing record (a static address, a released lease, ...)
    AddressPlan plan;                // or the dynamic address to be committed
    const Profile* profile = nullptr;
    // A static entry that gives the client its class, not its address: seen now.
    ClientRecord* staticSeen = nullptr;
    bool markStatic = false;  // "UpdateEthers": the ethers file is written again
    enum class Remark : std::uint8_t { Keep, Profile, Clear };
    Remark remark = Remark::Keep;
    std::string_view remarkText;  // Remark::Profile: the profile's name
    std::string_view poolName;    // SelectionNote::PoolExhausted: the pool's profile
    bool fixedAddress = false;    // served from a static entry's address
    // An INFORM's client with no record in the pool: answered at the address it has (ciaddr),
    // with no record taken for it, since nothing is allocated for an INFORM.
    Ipv4 informedFrom = 0;
    SelectionNote note = SelectionNote::None;

    bool serves() const { return (record != nullptr || plan || informedFrom != 0) && profile != nullptr; }
};

// The DHCP message rules' verdict on a request that has a record.
enum class RuleLine : std::uint8_t { None, Discover, Ack, Nak, Ignored, Decline, Release, Inform };
struct RuleOutcome {
    int replyType = 0;  // 2 OFFER, 5 ACK, 6 NAK, 0 no DHCP reply
    bool clearIdentity = false;
    bool clearExpiry = false;
    bool markDynamic = false;  // the dynamic list changes whatever list the record is in
    bool otherServer = false;  // a REQUEST for another server: this server's offer ends
    RuleLine line = RuleLine::None;
    Ipv4 lineAddress = 0;  // the address the line is about
};

enum class Verdict : std::uint8_t {
    Silent,   // nothing changes and nothing is sent
    Ignored,  // recorded in the ignored list (and maybe told not to auto-configure)
    Parked,   // waits for an address test
    Serve,    // the record is served: changes, and a reply unless the rules say none
};

struct Decision {
    Verdict verdict = Verdict::Silent;
    Selection selection;
    int ignoredClass = 0;  // Ignored: kIgnoredBootp, kIgnoredDhcp or kIgnoredKeepClass

    // Serve:
    bool bootp = false;
    std::uint32_t leaseTime = 0;  // the profile's lease (infinite for BOOTP without one)
    bool setExpiry = false;       // the lease runs from now
    bool clientHostName = false;  // the record takes the name the client sent
    char hostName[kHostNameChars + 1] = {};
    std::size_t hostNameLength = 0;
    bool useBootFile2 = false;
    RuleOutcome rules;
    // The planned address is not taken: the request is refused (a NAK, or no reply) to a client
    // that has no record here, and gets nothing that a record would keep.
    bool takesNothing = false;
};

}  // namespace tolmark::dhcp
