#pragma once
// Runs the manager's pipe transactions on a thread of their own, one job at a time in the order
// they were posted, so the window never waits for the server. A job gets the ManagerPipe and
// returns a value; that value is handed to a callback on the thread of a context object (the
// window), which drops it if the context is gone.

#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <memory>
#include <string>
#include <utility>

#include "manager/manager_pipe.h"

namespace tolmark::manager {

class PipeWorker {
public:
    explicit PipeWorker(std::string pipeName = {}, std::chrono::milliseconds timeout = kPipeTimeout);
    ~PipeWorker();
    PipeWorker(const PipeWorker&) = delete;
    PipeWorker& operator=(const PipeWorker&) = delete;

    template <typename Job, typename Done>
    void post(QObject* context, Job job, Done done) {
        QMetaObject::invokeMethod(
            runner_.get(),
            [pipe = pipe_.get(), context, job = std::move(job), done = std::move(done)]() mutable {
                auto result = job(*pipe);
                QMetaObject::invokeMethod(
                    context,
                    [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); },
                    Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    }

private:
    std::unique_ptr<ManagerPipe> pipe_;  // used on the worker thread only
    QThread thread_;
    std::unique_ptr<QObject> runner_;  // lives on the worker thread
};

}  // namespace tolmark::manager
