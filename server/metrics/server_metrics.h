#pragma once
// The counters the server keeps while it runs, counted where things happen: the receive loop
// (messages, replies, claims), the TFTP listener and transfers, the control pipe, the ARP
// prober, the housekeeping thread (DNS, saves). Each counter is a relaxed atomic: a request
// pays one uncontended add per counter, takes no lock and allocates nothing. The groups written
// by different threads sit on cache lines of their own, so that the TFTP transfer threads do
// not take the receive loop's line away from it.
//
// Readers (the /metrics page, GetStats) read each counter on its own: a page may show a reply
// counted whose request is not yet, never a count that goes down.

#include <atomic>
#include <cstdint>

#include "common/server_stats.h"

namespace tolmark {

class Counter {
public:
    void add(std::uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
    std::uint64_t load() const { return value_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uint64_t> value_{0};
};

// A DHCP message type (option 53; 0 for BOOTP) as the received counters group it.
StatCounter receivedCounterOf(int messageType);
// A reply's type (2 OFFER, 5 ACK, 6 NAK) or, for a reply the processor gave no DHCP type, the
// request's: a BOOTP request's reply (requestType 0, or -1 for one taken up again after a
// wait) is BOOTP, a DISCOVER's is the offer that tells an ignored client not to configure
// itself. Nothing counts any other.
bool replyCounterOf(int messageType, int requestType, StatCounter& counter);

// Written by the service thread (the receive loop) and the ARP prober.
struct alignas(64) DhcpCounters {
    Counter received[7];  // StatCounter::ReceivedBootp ... ReceivedOther
    Counter replies[4];   // RepliesOffer ... RepliesBootp
    Counter sendFailures;
    Counter ignored;
    Counter malformed;
    Counter testsNoAnswer;
    Counter testsAnswered;
    Counter claimsWon;
    Counter claimsLost;
    Counter claimsUnavailable;

    void countReceived(int messageType);
    void countReply(int messageType, int requestType);
};

// Written by the TFTP listener and its transfer threads.
struct alignas(64) TftpCounters {
    Counter started;
    Counter endedDone;
    Counter endedTimeout;
    Counter endedAborted;
    Counter endedFailed;
    Counter refused;
    Counter sentBytes;
    Counter receivedBytes;

    // outcome: kOutcomeDone, kOutcomeTimeout, kOutcomeAborted or any other (failed).
    void countEnd(std::int32_t outcome);
};

// Written by the control pipe's listener and connections, and by the housekeeping thread.
struct alignas(64) ServiceCounters {
    Counter controlConnections;
    Counter controlConnectionsRefused;
    Counter controlRequestsRefused;
    Counter dnsSent;
    Counter dnsSucceeded;
    Counter dnsFailed;
    Counter leaseSaves;
    Counter leaseSaveFailures;
    Counter leaseSaveMicroseconds;
};

struct ServerMetrics {
    DhcpCounters dhcp;
    TftpCounters tftp;
    ServiceCounters service;

    // Copies every counter into the record (the others, kept elsewhere, are the caller's).
    void copyTo(ServerStats& stats) const;
};

}  // namespace tolmark
