#include "manager/pipe/pipe_worker.h"

namespace tolmark::manager {

PipeWorker::PipeWorker(std::string pipeName, std::chrono::milliseconds timeout)
    : pipe_(std::make_unique<ManagerPipe>(std::move(pipeName), timeout)), runner_(std::make_unique<QObject>()) {
    thread_.setObjectName(QStringLiteral("pipe worker"));
    runner_->moveToThread(&thread_);
    thread_.start();
}

// The jobs queued behind the one that runs are dropped, so a server that stopped answering does
// not hold the program's end for one time-out per job.
void PipeWorker::stop() {
    stopping_->store(true);
    thread_.quit();
    thread_.wait();
}

PipeWorker::~PipeWorker() {
    stop();
    runner_.reset();
}

}  // namespace tolmark::manager
