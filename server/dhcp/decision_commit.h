#pragma once
// Committing a decision: every change it names, applied to the client table in one go under
// the engine lock, with the lines that log the request and the DNS registration it queues.

#include "server/dhcp/decision.h"
#include "server/dhcp/dns_update_queue.h"
#include "server/dhcp/engine_context.h"

namespace tolmark::dhcp {

struct Committed {
    // The record that serves the request (Serve); none for an INFORM answered without one.
    ClientRecord* record = nullptr;
    bool ignoredRecorded = false;  // Ignored: the request is in the ignored list
};

// A Serve decision whose record could not be had (no memory) is committed as ignored.
Committed commitDecision(EngineTables& tables, const RequestInput& request, Decision& decision,
                         DnsUpdateQueue* dnsQueue);

}  // namespace tolmark::dhcp
