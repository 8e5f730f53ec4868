#pragma once
// The 5-second poll of the server's status: one status request per tick through the pipe worker
// (a tick while one is still on its way is skipped), the first contact that fetches every
// settings block again, and the change bits that tell the window what to rewrite.

#include <QObject>
#include <QTimer>

#include "manager/pipe/pipe_worker.h"
#include "manager/window/server_state.h"

namespace tolmark::manager {

// Refresh bits of a tick.
inline constexpr int kListChanged = 1;
inline constexpr int kStatusChanged = 2;

class ServerPoll : public QObject {
    Q_OBJECT
public:
    ServerPoll(PipeWorker& worker, ServerState& state, int periodMs, QObject* parent);

    void start() { timer_.start(); }
    void stop() { timer_.stop(); }
    void tick();
    // The lists are read again at the next tick (pending bit 0).
    void markListsChanged() { pendingBits_ |= kListChanged; }

signals:
    // The state was updated; bits say what changed.
    void polled(int bits);
    // The first successful status after start brought the settings blocks again.
    void firstContact();
    // The server answered, but refused its status or answered short: not a server to manage.
    void refused();
    // A request failed at the pipe.
    void pipeFailed();

private:
    struct Result;
    void onResult(const Result& result);
    // Takes the lease store a tick brought; a change rewrites the status bar.
    void noteLeaseStore(const PipeResult<LeaseStoreReply>& reply);

    PipeWorker& worker_;
    ServerState& state_;
    QTimer timer_;
    int pendingBits_ = 0;
    int firstContact_ = -1;  // -1 until the first successful status reply
    bool tickPending_ = false;
};

}  // namespace tolmark::manager
