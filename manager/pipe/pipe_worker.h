#pragma once
// Runs the manager's pipe transactions on a thread of their own, one job at a time in the order
// they were posted, so the window's thread never waits for the server. A job gets the ManagerPipe
// and returns a value; that value is handed to a callback on the thread of a context object (the
// window), which drops it if the context is gone.

#include <QCoreApplication>
#include <QEventLoop>
#include <QMetaObject>
#include <QObject>
#include <QPointer>
#include <QThread>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>
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
    // Jobs still queued when the worker goes are dropped unrun.
    template <typename Job, typename Done>
    void post(QObject* context, Job job, Done done) {
        QMetaObject::invokeMethod(
            runner_.get(),
            [pipe = pipe_.get(), stopping = stopping_, guard = QPointer<QObject>(context), job = std::move(job),
             done = std::move(done)]() mutable {
                if (stopping->load()) return;
                auto result = runJob(*pipe, job);
                QMetaObject::invokeMethod(
                    QCoreApplication::instance(),
                    [guard, done = std::move(done), result = std::move(result)]() mutable {
                        if (guard) done(std::move(result));
                    },
                    Qt::QueuedConnection);
            },
            Qt::QueuedConnection);
    }

    // Runs a job after the jobs already posted and returns its value. The dialogs use it where
    // they must know the answer before they go on (a sheet that may close only when the server
    // took its change). The window's thread does not block meanwhile: it runs an event loop that
    // repaints and keeps timers and posted callbacks going, but holds back the user's input until
    // the answer is there, so nothing is started twice. The wait indicator shows the wait.
    template <typename Job>
    auto call(Job job) -> decltype(job(std::declval<ManagerPipe&>())) {
        using Result = decltype(job(std::declval<ManagerPipe&>()));
        // Without the thread nothing would ever answer: the job runs here instead, where it is
        // the pipe's only user, and its answer (a failure within the pipe time-out) is still true.
        if (!running()) return runJob(*pipe_, job);
        std::optional<Result> result;
        QEventLoop loop;
        post(&loop, std::move(job), [&result, &loop](Result r) {
            result = std::move(r);
            loop.quit();
        });
        WaitScope scope(*this);
        // The callback may run before exec() is reached only if it is processed by an event loop
        // in between, which nothing here starts.
        loop.exec(QEventLoop::ExcludeUserInputEvents);
        return std::move(*result);
    }

    // Called with true when a call starts waiting and with false when the last one is answered:
    // the window shows a busy cursor and disables the OK and Apply buttons meanwhile.
    void setWaitIndicator(std::function<void(bool)> indicator) { indicator_ = std::move(indicator); }
    bool waiting() const { return waits_ > 0; }
    // False when the worker's thread could not be started, or has been stopped: nothing
    // reaches the server through post() then.
    bool running() const { return thread_.isRunning(); }
    // Ends the thread: the job that runs now ends within the pipe time-out; the jobs queued behind
    // it, and those posted later, are dropped unrun.
    void stop();

private:
    // The job's requests share one verdict on the pipe; it ends with the job, however the job ends.
    template <typename Job>
    static auto runJob(ManagerPipe& pipe, Job& job) {
        struct JobScope {
            ManagerPipe& pipe;
            explicit JobScope(ManagerPipe& p) : pipe(p) { pipe.beginJob(); }
            ~JobScope() { pipe.endJob(); }
            JobScope(const JobScope&) = delete;
            JobScope& operator=(const JobScope&) = delete;
        } scope(pipe);
        return job(pipe);
    }

    class WaitScope {
    public:
        explicit WaitScope(PipeWorker& worker) : worker_(worker) {
            if (worker_.waits_++ == 0 && worker_.indicator_) worker_.indicator_(true);
        }
        ~WaitScope() {
            if (--worker_.waits_ == 0 && worker_.indicator_) worker_.indicator_(false);
        }
        WaitScope(const WaitScope&) = delete;
        WaitScope& operator=(const WaitScope&) = delete;

    private:
        PipeWorker& worker_;
    };

    std::unique_ptr<ManagerPipe> pipe_;  // used on the worker thread only
    std::shared_ptr<std::atomic<bool>> stopping_ = std::make_shared<std::atomic<bool>>(false);
    std::function<void(bool)> indicator_;
    int waits_ = 0;
    QThread thread_;
    std::unique_ptr<QObject> runner_;  // lives on the worker thread
};

}  // namespace tolmark::manager
