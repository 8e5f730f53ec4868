#pragma once
// Runs the manager's pipe transactions on a thread of their own, one job at a time in the order
// they were posted, so the window never waits for the server. A job gets the ManagerPipe and
// returns a value; that value is handed to a callback on the thread of a context object (the
// window), which drops it if the context is gone.

#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <future>
#include <memory>
#include <string>
#include <utility>

#include "manager/pipe/manager_pipe.h"

namespace tolmark::manager {

class PipeWorker {
public:
    explicit PipeWorker(std::string pipeName = {}, std::chrono::milliseconds timeout = kPipeTimeout);
    ~PipeWorker();
    PipeWorker(const PipeWorker&) = delete;
    PipeWorker& operator=(const PipeWorker&) = delete;

    // The value reaches the context's thread through the application object, and the callback
    // runs only if the context still exists then (a dialog may close while its job runs).
    template <typename Job, typename Done>
    void post(QObject* context, Job job, Done done) {
        QMetaObject::invokeMethod(
            runner_.get(),
            [pipe = pipe_.get(), guard = QPointer<QObject>(context), job = std::move(job),
             done = std::move(done)]() mutable {
                auto result = job(*pipe);
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [guard, done = std::move(done), result = std::move(result)]() mutable {
                        if (guard) done(std::move(result));
                    },
                    Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    }

    // Runs a job after the jobs already posted and waits for its value. The dialogs use it: they
    // are modal, and a page must know whether the server took a change before the sheet closes.
    // Never call it from a job.
    template <typename Job>
    auto call(Job job) -> decltype(job(std::declval<ManagerPipe&>())) {
        using Result = decltype(job(std::declval<ManagerPipe&>()));
        auto task = std::make_shared<std::packaged_task<Result()>>(
            [pipe = pipe_.get(), job = std::move(job)]() mutable { return job(*pipe); });
        std::future<Result> result = task->get_future();
        QMetaObject::invokeMethod(
            runner_.get(), [task] { (*task)(); }, Qt::QueuedConnection);
        return result.get();
    }

private:
    std::unique_ptr<ManagerPipe> pipe_;  // used on the worker thread only
    QThread thread_;
    std::unique_ptr<QObject> runner_;  // lives on the worker thread
};

}  // namespace tolmark::manager
