// The engine with leases shared through a lease database: every lease is claimed before it is
// acknowledged, a lost claim is decided afresh once the holder is known, and while no claim
// can be made only current leases are served.

#include "server/dhcp/dhcp_protocol.h"
#include "server/dhcp/tests/engine_fixture.h"
#include "server/leases/client_rules.h"

namespace tolmark::dhcp::testing {
namespace {

class FakeSharedLeases final : public SharedLeases {
public:
    struct Claim {
        std::uint64_t ticket;
        LeaseFields lease;
        Identity previous;
    };
    struct Write {
        Ipv4 address;
        bool removal;
        bool operator==(const Write&) const = default;
    };
    bool claimsPossible() const override { return possible; }
    bool claim(std::uint64_t ticket, const LeaseFields& lease, const Identity& previous, std::int64_t) override {
        if (!possible) return false;
        claims.push_back({ticket, lease, previous});
        return true;
    }
    void writeJournal(ClientTable& table, std::int64_t) override {
        std::vector<JournalChange> changes;
        table.takeJournal(changes);
        for (const JournalChange& c : changes)
            writes.push_back({c.record != nullptr ? c.record->address.get() : c.previousAddress, c.record == nullptr});
    }
    bool possible = true;
    std::vector<Claim> claims;
    std::vector<Write> writes;
};

class SharedLeasesTest : public EngineTest {
protected:
    SharedLeasesTest() {
        clients_.setJournal(&journal_);
        engine_.setSharedLeases(&shared_);
    }
    ~SharedLeasesTest() override { clients_.setJournal(nullptr); }
    RequestBuilder select(const Mac& m, Ipv4 address) {
        return request(m).address(kServerIdentifier, kServer).address(kRequestedAddress, address);
    }
    // The answer to the last claim, and the request taken up again.
    Reply answer(ClaimOutcome outcome) {
        const std::uint64_t ticket = shared_.claims.back().ticket;
        engine_.claimAnswered(ticket, outcome);
        return resume(ticket);
    }

    LeaseJournal journal_;
    FakeSharedLeases shared_;
};

TEST_F(SharedLeasesTest, LeasesAreClaimedBeforeTheyAreAcknowledged) {
    // An offer promises nothing: no claim; the record it makes is written out.
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(100));
    EXPECT_TRUE(shared_.claims.empty());
    EXPECT_EQ(shared_.writes, (std::vector<FakeSharedLeases::Write>{{lan(100), false}}));

    // The REQUEST waits for its claim, which asks for the lease as it will stand.
    shared_.writes.clear();
    EXPECT_EQ(send(select(mac(1), lan(100))).length, 0u);
    ASSERT_TRUE(lastPlan_.parked);
    ASSERT_EQ(shared_.claims.size(), 1u);
    const FakeSharedLeases::Claim& claim = shared_.claims[0];
    EXPECT_EQ(claim.lease.address, lan(100));
    EXPECT_EQ(claim.lease.identity, hardwareIdentity(mac(1)));
    EXPECT_EQ(claim.lease.expiry, clock_.now() + 3600);
    EXPECT_EQ(claim.lease.profile.view(), "LAN");
    EXPECT_EQ(claim.previous, hardwareIdentity(mac(1)));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, 0) << "nothing is committed before the answer";
    EXPECT_EQ(resume(claim.ticket).length, 0u) << "no answer yet";
    EXPECT_TRUE(lastPlan_.parked);
    EXPECT_EQ(lastPlan_.ticket, claim.ticket);

    // Won: acknowledged from the decision; the claim wrote the lease, nothing is written again.
    clock_.advance(1);
    const Reply ack = answer(ClaimOutcome::Won);
    EXPECT_EQ(ack.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(ack.yiaddr, lan(100));
    EXPECT_EQ(dynamicAt(lan(100))->expiry, claim.lease.expiry) << "the lease the database holds";
    EXPECT_TRUE(shared_.writes.empty());
    EXPECT_TRUE(logged("DHCP  Request 00:11:22:33:44:01 ACK 192.168.1.100 3600 if 192.168.1.1\n"));

    // Claims whose requests are never taken up again (the receive loop let them go: waited too
    // long, or dropped at an address change) give their places back once they are stale;
    // otherwise, every place gone, no lease would ever be acknowledged again.
    for (std::size_t i = 0; i < DhcpEngine::kParkedPlaces; ++i) {
        send(request(mac(1)).ciaddr(lan(100)), lan(100));
        ASSERT_TRUE(lastPlan_.parked) << i;
    }
    clock_.advance(6);
    send(request(mac(1)).ciaddr(lan(100)), lan(100));
    EXPECT_TRUE(lastPlan_.parked);
    EXPECT_EQ(answer(ClaimOutcome::Won).find(kMessageType)->value, Bytes{kAck});
}

TEST_F(SharedLeasesTest, ALostClaimIsDecidedAgainWithTheHolderKnown) {
    EXPECT_EQ(send(discover(mac(2))).yiaddr, lan(100));
    EXPECT_EQ(send(select(mac(2), lan(100))).length, 0u);
    // Meanwhile the other server's lease of the address arrives: the holder.
    ClientFields holder;
    holder.address = lan(100);
    holder.identity = hardwareIdentity(mac(9));
    holder.expiry = clock_.now() + 600;
    holder.profile = "LAN";
    ASSERT_TRUE(applySharedLease(clients_, holder, false, profiles_, clock_.now()));
    // Decided afresh, the client is given the next address, claimed in its turn.
    EXPECT_EQ(answer(ClaimOutcome::Lost).length, 0u);
    ASSERT_TRUE(lastPlan_.parked);
    ASSERT_EQ(shared_.claims.size(), 2u);
    EXPECT_EQ(shared_.claims[1].lease.address, lan(101));
    EXPECT_EQ(answer(ClaimOutcome::Won).yiaddr, lan(101));
    EXPECT_EQ(dynamicAt(lan(100))->identity, hardwareIdentity(mac(9)));
    // A client whose claims keep being lost is left to ask again.
    for (int round = 0; round < DhcpEngine::kClaimRounds; ++round) {
        if (round == 0) send(select(mac(3), lan(102)));
        ASSERT_TRUE(lastPlan_.parked) << round;
        answer(ClaimOutcome::Lost);
    }
    EXPECT_FALSE(lastPlan_.parked);
    EXPECT_EQ(lastPlan_.length, 0u);
    EXPECT_EQ(shared_.claims.size(), 2u + DhcpEngine::kClaimRounds);
}

// A client renewing a lease another server gave a moment ago, before this server has seen it:
// the database, not this server's table, says whose the address is.
TEST_F(SharedLeasesTest, AnAddressTheClientNamesIsAskedOfTheDatabase) {
    EXPECT_EQ(send(request(mac(5)).ciaddr(lan(120)), lan(120)).length, 0u);
    ASSERT_EQ(shared_.claims.size(), 1u);
    EXPECT_EQ(shared_.claims[0].lease.address, lan(120));
    EXPECT_EQ(shared_.claims[0].previous, hardwareIdentity(mac(5)));
    const Reply ack = answer(ClaimOutcome::Won);
    EXPECT_EQ(ack.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(ack.yiaddr, lan(120));
    EXPECT_EQ(dynamicAt(lan(120))->identity, hardwareIdentity(mac(5)));
    EXPECT_EQ(dynamicAt(lan(100)), nullptr) << "no record where the pool search would have put it";
    // Not the client's in the database: refused as before.
    send(request(mac(6)).ciaddr(lan(130)), lan(130));
    const Reply nak = answer(ClaimOutcome::Lost);
    EXPECT_EQ(nak.find(kMessageType)->value, Bytes{kNak});
}

TEST_F(SharedLeasesTest, WithoutTheDatabaseOnlyCurrentLeasesAreServed) {
    EXPECT_EQ(send(discover(mac(1))).yiaddr, lan(100));
    send(select(mac(1), lan(100)));
    answer(ClaimOutcome::Won);
    shared_.possible = false;
    shared_.writes.clear();
    clock_.advance(60);

    // Renewal from memory, for the time the lease has left and no longer: another server that
    // reaches the database gives the address away once the lease there has ended.
    const std::int64_t ends = dynamicAt(lan(100))->expiry;
    const Reply renewal = send(request(mac(1)).ciaddr(lan(100)), lan(100));
    EXPECT_EQ(renewal.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(renewal.u32Option(kLeaseTime), 3600u - 60u);
    EXPECT_EQ(dynamicAt(lan(100))->expiry, ends);
    // No new address: no offer, no acknowledgement, nothing changed.
    const std::size_t known = records(ClientList::Dynamic).size();
    EXPECT_EQ(send(discover(mac(3))).length, 0u);
    EXPECT_EQ(send(select(mac(3), lan(101))).length, 0u);
    EXPECT_EQ(records(ClientList::Dynamic).size(), known);
    EXPECT_FALSE(lastPlan_.parked);

    // A claim the database could not answer gives nothing either; a current lease still is.
    shared_.possible = true;
    send(discover(mac(4)));
    send(select(mac(4), lan(101)));
    EXPECT_EQ(answer(ClaimOutcome::Unavailable).length, 0u);
    EXPECT_EQ(dynamicAt(lan(101))->expiry, 0);
    clock_.advance(40);
    send(request(mac(1)).ciaddr(lan(100)), lan(100));
    const Reply unconfirmed = answer(ClaimOutcome::Unavailable);
    EXPECT_EQ(unconfirmed.find(kMessageType)->value, Bytes{kAck});
    EXPECT_EQ(unconfirmed.u32Option(kLeaseTime), 3600u - 100u);
    EXPECT_EQ(dynamicAt(lan(100))->expiry, ends);

    // Less than an eighth of it left: no answer, so that the client rebinds through any server
    // rather than renew here ever faster.
    shared_.possible = false;
    clock_.advance(3600 - 100 - 3600 / 8 + 1);
    EXPECT_EQ(send(request(mac(1)).ciaddr(lan(100)), lan(100)).length, 0u);
    EXPECT_EQ(dynamicAt(lan(100))->expiry, ends);
}

}  // namespace
}  // namespace tolmark::dhcp::testing
