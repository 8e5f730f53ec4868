#include "manager/window/server_poll.h"

namespace tolmark::manager {

struct ServerPoll::Result {
    PipeResult<ServerStatus> status;
    PipeResult<LeaseStoreReply> leaseStore;
    std::optional<unsigned> untrustedUid;
    std::optional<ServerBlocks> firstContact;
};

ServerPoll::ServerPoll(PipeWorker& worker, ServerState& state, int periodMs, QObject* parent)
    : QObject(parent), worker_(worker), state_(state) {
    timer_.setInterval(periodMs);
    connect(&timer_, &QTimer::timeout, this, &ServerPoll::tick);
}

void ServerPoll::tick() {
    // A poll still on its way (each is bounded by the pipe time-out) makes this one superfluous.
    if (tickPending_) return;
    tickPending_ = true;
    const bool firstContact = firstContact_ < 0;
    worker_.post(
        this,
        [firstContact](ManagerPipe& pipe) {
            Result r;
            r.status = pipe.getStatus(-1);
            pipe.takeStatusChanges();
            if (r.status.failed()) r.untrustedUid = pipe.untrustedServerUid();
            // The lease database can come and go at any time: asked at every tick.
            if (r.status.ok()) r.leaseStore = pipe.getLeaseStore();
            if (firstContact && r.status.ok()) r.firstContact = ServerBlocks::fetch(pipe, false);
            return r;
        },
        [this](Result r) {
            tickPending_ = false;
            onResult(r);
        });
}

void ServerPoll::noteLeaseStore(const PipeResult<LeaseStoreReply>& reply) {
    std::optional<LeaseStoreReply> store;
    if (reply.ok()) store = reply.value;
    if (reply.failed() || store == state_.leaseStore) return;
    state_.leaseStore = std::move(store);
    pendingBits_ |= kStatusChanged;
}

void ServerPoll::onResult(const Result& r) {
    int bits = 0;
    state_.untrustedUid = r.untrustedUid;
    noteLeaseStore(r.leaseStore);
    if (r.status.failed()) {
        emit pipeFailed();
        state_.stateCode = kStatePipeFailure;
        bits = kListChanged | kStatusChanged;
    } else if (!r.status.ok()) {
        emit refused();
        return;
    } else if (firstContact_ >= 0) {
        const ServerStatus& s = r.status.value;
        bits = pendingBits_ | s.statusChanged;
        if (s.tftpTransfers != state_.activeTftp) bits |= kStatusChanged;
        if (stateFromStatus(s) != state_.stateCode) bits |= kListChanged | kStatusChanged;
        state_.status = s;
        state_.activeTftp = s.tftpTransfers;
        state_.stateCode = stateFromStatus(s);
        pendingBits_ = 0;
    } else {
        state_.status = r.status.value;
        state_.activeTftp = state_.status.tftpTransfers;
        state_.stateCode = stateFromStatus(state_.status);
        if (r.firstContact) {
            if (r.firstContact->general.failed()) emit pipeFailed();
            state_.take(*r.firstContact);
            emit firstContact();
        }
        pendingBits_ |= kListChanged;
        firstContact_ = r.firstContact && r.firstContact->general.ok() ? 1 : 0;
        bits = kListChanged | kStatusChanged;
    }
    emit polled(bits);
}

}  // namespace tolmark::manager
