#pragma once
// DNS dynamic update messages: the records a client's registration consists of, and the two
// messages that register one of them. The check message asks the server whether the record is
// already there (its prerequisites only); the update message replaces the record set.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/ipv4.h"
#include "server/dhcp/dns_update_queue.h"

namespace tolmark::dhcp {

inline constexpr std::uint16_t kDnsPort = 53;
// RFC 1035: 63 bytes a label, 255 bytes for a whole name in its wire form.
inline constexpr std::size_t kDnsMaxLabel = 63;
inline constexpr std::size_t kDnsMaxName = 255;
// Largest message either side of an exchange may hold: an answer is read into this many bytes.
// Names are written without compression: the longest message, the removal of an A record, holds
// the zone and four records named by the full name, with a DHCID's 35 bytes of data, so that
// for the longest names it takes about 1400 bytes.
inline constexpr std::size_t kDnsMessageCapacity = 1536;

// One record to register: an A record (address not 0) or a PTR record (address 0, target set).
struct DnsRecordEntry {
    std::string zone;
    std::string name;
    std::string target;
    Ipv4 address = 0;
    std::uint32_t ttl = 0;
    Ipv4 server = 0;
    // The data of the DHCID record that marks a name as this client's (A records only; empty:
    // the name is registered without one).
    std::vector<std::uint8_t> dhcid = {};

    bool isPtr() const { return address == 0; }
};

struct DnsEntryPair {
    DnsRecordEntry forward;
    DnsRecordEntry reverse;
};

enum class DnsEntryResult { Ok, NoName, BadName };

// The forward and reverse records of a registration. NoName: the host name is empty (nothing
// to register). BadName: the host label or the full name cannot be written as a DNS name; why,
// when given, then says which (for the log).
DnsEntryResult makeDnsEntries(const DnsUpdate& update, DnsEntryPair& out, const char** why = nullptr);

// The reverse zone of an address: as many leading address bytes as the mask's first three
// bytes say, reversed, with ".in-addr.arpa".
std::string reverseZone(Ipv4 address, Ipv4 mask);
// "d.c.b.a.in-addr.arpa" for the address a.b.c.d.
std::string reverseName(Ipv4 address);
// How many address bytes a reverse zone names: 3 for "c.b.a.in-addr.arpa", 0 for a name that is
// not a reverse zone of one to three bytes.
unsigned reverseZoneBytes(std::string_view zone);
// The reverse zone of this many leading address bytes (1 to 3) that holds a reverse name
// ("d.c.b.a.in-addr.arpa"): with 2, "b.a.in-addr.arpa". None when the name has no such zone.
std::optional<std::string_view> reverseZoneOfName(std::string_view name, unsigned bytes);

// True when text can be written as a DNS name: non-empty labels of at most 63 bytes each and
// at most 255 bytes in wire form.
bool isValidDnsName(std::string_view text);
// True when text is one host label: 1 to 63 letters, digits and hyphens, not starting or
// ending with a hyphen. A client's name that is not one is not registered.
bool isValidHostLabel(std::string_view text);
// True when the two host names register one DNS name: their host labels (the text up to the
// first ".", which the domain follows) are equal but for the case of ASCII letters.
bool sameRegisteredName(std::string_view a, std::string_view b);

// The identifier a DHCID record is made from (RFC 4701): type 1 and the client identifier when
// the client sent one, else type 0 and the hardware type followed by the hardware address. The
// hardware type is 1 (Ethernet) whatever the request said: a lease keeps its client's hardware
// address but not its type, and the removal of an ended lease's names rebuilds the record from
// the lease alone, so a type taken from the request would leave such a client's names in place.
// Clients without an address in the header (InfiniBand, FireWire) are named by their identifier.
std::vector<std::uint8_t> dhcidIdentifier(std::span<const std::uint8_t> clientIdentifier,
                                          std::span<const std::uint8_t> hardwareAddress);
// The DHCID record's data: the identifier type, digest type 1, and the SHA-256 digest of the
// identifier followed by the full name in DNS wire form (lower case). Empty without identity.
std::vector<std::uint8_t> dhcidData(std::span<const std::uint8_t> identity, std::string_view fullName);

// Check: whether the record exists with this value. Update: replace the record set (PTR, and A
// records without a DHCID, these only while the name has no DHCID: a client without an identity
// takes no other client's name). Add: the A record and the DHCID, only while the name is not in use.
// Replace: the A record set, only while the name's DHCID is this client's. Remove: a lease that
// ended takes its record away, only where it is still the lease's: an A record (with the DHCID)
// while the name's DHCID is this client's and its one address is this one, a PTR record while
// it names this target alone. An A record without a DHCID is never removed.
enum class DnsMessageKind { Check, Update, Add, Replace, Remove };

// Encodes the message into out and returns its length, or 0 when it does not fit (or a name is
// not valid). padOddLength appends one zero byte to a message of odd length.
std::size_t encodeDnsMessage(DnsMessageKind kind, const DnsRecordEntry& entry, std::uint16_t id,
                             std::span<std::uint8_t> out, bool padOddLength);

// What an answer says: the response code when it is a response to the message with this ID.
std::optional<unsigned> readDnsAnswerCode(std::span<const std::uint8_t> answer, std::uint16_t id);

inline constexpr unsigned kDnsRcodeNoError = 0;
inline constexpr unsigned kDnsRcodeNxDomain = 3;
inline constexpr unsigned kDnsRcodeYxDomain = 6;
inline constexpr unsigned kDnsRcodeYxRrset = 7;
inline constexpr unsigned kDnsRcodeNxRrset = 8;
inline constexpr unsigned kDnsRcodeNotAuth = 9;
inline constexpr unsigned kDnsRcodeNotZone = 10;

}  // namespace tolmark::dhcp
