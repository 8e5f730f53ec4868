#pragma once
// What the engine lock guards: the client table (records, lists, indexes, pools, journal) and
// the profiles. The receive loop holds it for the whole of one request; the control pipe, the
// saver of the client files, the host-name lookups and the lease database's follower take it
// around their use of either. docs/threads.md gives the order of all the server's locks.

#include "base/annotated_mutex.h"
#include "config/profiles.h"
#include "server/leases/client_table.h"

namespace tolmark {

struct EngineState {
    explicit EngineState(LogSink& log) : clients(log) {}

    Mutex lock;
    ClientTable clients GUARDED_BY(lock);
    ProfileList profiles GUARDED_BY(lock);

    // For those that keep a reference and take the lock themselves around every use of it
    // (the request processor's caller, the saver, the host-name lookups), and for the start,
    // before any other thread runs.
    ClientTable& clientsLockedByUser() NO_THREAD_SAFETY_ANALYSIS { return clients; }
    ProfileList& profilesLockedByUser() NO_THREAD_SAFETY_ANALYSIS { return profiles; }
};

}  // namespace tolmark
