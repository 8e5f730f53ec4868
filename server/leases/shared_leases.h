#pragma once
// Leases shared with other servers through a lease database, as the engine and the control
// pipe see it: a claim asks whether an address may be given to a client (answered later, by
// ticket), and the client table's journal is written out after every change. Without a lease
// database nothing here is used.

#include <array>
#include <cstdint>
#include <string_view>

#include "common/client_record.h"

namespace tolmark {

class ClientTable;
struct ClientRecord;

// A text of at most N bytes kept inside its owner: claims and writes are queued on the
// request path, which allocates nothing.
template <std::size_t N>
struct FixedText {
    std::uint8_t length = 0;
    std::array<char, N> bytes{};
    std::string_view view() const { return {bytes.data(), length}; }
    void assign(std::string_view text) {
        length = static_cast<std::uint8_t>(text.size() < N ? text.size() : N);
        text.copy(bytes.data(), length);
    }
};

// A dynamic client record as a claim or a write carries it.
struct LeaseFields {
    Ipv4 address = 0;
    Ipv4 seenVia = 0;
    std::int64_t lastAccess = 0;
    std::int64_t expiry = 0;
    Identity identity;
    FixedText<kProfileNameChars> profile;
    FixedText<kHostNameChars> hostName;
    FixedText<kRemarkChars> remark;

    static LeaseFields from(const ClientFields& fields);
    static LeaseFields from(const ClientRecord& record);
    ClientFields toClientFields() const;
};

enum class ClaimOutcome : std::uint8_t {
    Won,          // the address is the client's, in the database
    Lost,         // the database gives it to another client
    Unavailable,  // no answer from the database: nothing may be promised
};

// The database's answer to one claim, by the ticket it was asked with.
struct ClaimAnswer {
    std::uint64_t ticket = 0;
    ClaimOutcome outcome = ClaimOutcome::Unavailable;
};

class SharedLeases {
public:
    virtual ~SharedLeases() = default;
    // True while claims can be made.
    virtual bool claimsPossible() const = 0;
    // Asks for lease.address for lease.identity, granted when the address is free (or expired
    // at now) or still previous's; false when no claim can be made now. The answer comes back
    // with the ticket.
    virtual bool claim(std::uint64_t ticket, const LeaseFields& lease, const Identity& previous, std::int64_t now) = 0;
    // Writes out what the table's journal holds. Called under the engine lock.
    virtual void writeJournal(ClientTable& table, std::int64_t now) = 0;
};

}  // namespace tolmark
