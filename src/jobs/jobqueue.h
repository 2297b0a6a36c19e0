#pragma once
// One machine's jobs: one runs on its link at a time, the rest wait their
// turn. Each job is a coroutine; the queue starts the next when one ends,
// and never waits for anything itself. Only the queue writes a job's state.
#include "jobs/job.h"
#include <QCoro/QCoroTask>
#include <QObject>
#include <coroutine>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class OperatorPanel;

class JobRun {
public:
    Job record;
    // Whoever submitted it sees the job's questions and texts here; null: the machine's own panel.
    OperatorPanel* panel = nullptr;
    // The operation; it fills in record.programs and record.text as it goes.
    std::function<QCoro::Task<void>(JobRun&)> body;
    bool cancelRequested = false;
    // Adds a result row.
    void row(const QString& name, const QString& file, qint64 bytes, const QByteArray& sha256, ProgramResult result,
             const QString& text) {
        record.programs.append({name, file, bytes, sha256, result, text});
    }
    // The job could not do its work (the line busy, the machine refused, a
    // cut program unconfirmed): it ends failed with why, whatever its rows say.
    void fail(const QString& why) {
        if (!failure) failure = why;
    }
    const std::optional<QString>& failed() const { return failure; }

    // Resumes once, from the event loop, after the job has ended; never
    // inside the signal that tells its end. Await it by name (gcc 12
    // destroys a temporary made inside a co_await twice).
    struct Ended {
        std::shared_ptr<JobRun> run;
        bool await_ready() const noexcept { return run->record.finished(); }
        void await_suspend(std::coroutine_handle<> h) { run->waiters_.push_back(h); }
        void await_resume() const noexcept {}
    };

private:
    friend class JobQueue;
    std::optional<QString> failure;
    QString cancelText;
    std::vector<std::coroutine_handle<>> waiters_;
};

class JobQueue : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~JobQueue() override;

    // Queues a job; it starts at once when the link is free.
    std::shared_ptr<JobRun> submit(std::shared_ptr<JobRun> run);
    // A queued job is taken out; a running one is ended by stopRunning.
    // why: the job's text, e.g. "Avbrutet av webb 10.0.0.7.". False when
    // the id is neither.
    bool cancel(const QString& id, const QString& why);
    // How a running job is stopped: its own exchange and send, nothing else.
    std::function<void()> stopRunning;
    // No job starts any more; those waiting are cancelled.
    void close(const QString& why);
    bool closed() const { return closed_; }

    const JobRun* running() const { return running_.get(); }
    std::shared_ptr<JobRun> runningJob() const { return running_; }
    QList<Job> queued() const;
    // A job that ran elsewhere (the machine's own load or store), told as ended.
    void record(const Job& job) { Q_EMIT changed(job); }
    int waiting() const { return int(queue_.size()); }

    // Resumes now whoever waits for a job that has ended (their wake-up is
    // otherwise posted); for an owner that goes away before the loop runs.
    void wakeWaiters();

    // "Avbrutet av WHO." for a cancel by who.
    static QString CancelledBy(const QString& who);

Q_SIGNALS:
    // Every change of a job's state, with the job as it is then.
    void changed(const Job& job);
    // Nothing runs any more (the link is the machine's own again).
    void idle();

private:
    void startNext();
    void finish(const std::shared_ptr<JobRun>& run);
    // The one place a job's state is written.
    void setState(JobRun& run, JobState state, const QString& text = {});
    std::deque<std::shared_ptr<JobRun>> queue_;
    std::shared_ptr<JobRun> running_;
    bool closed_ = false;
    bool starting_ = false;
    std::vector<std::coroutine_handle<>> woken_;
    bool wakePosted_ = false;
};
