#include "manager/pipe/pipe_worker.h"

namespace tolmark::manager {

PipeWorker::PipeWorker(std::string pipeName, std::chrono::milliseconds timeout)
    : pipe_(std::make_unique<ManagerPipe>(std::move(pipeName), timeout)), runner_(std::make_unique<QObject>()) {
    thread_.setObjectName(QStringLiteral("pipe worker"));
    runner_->moveToThread(&thread_);
    thread_.start();
}

// Jobs already queued still run (each is bounded by the pipe time-out); their results go to
// contexts that must outlive this object, as the window that owns it does.
PipeWorker::~PipeWorker() {
    thread_.quit();
    thread_.wait();
    runner_.reset();
}

}  // namespace tolmark::manager
