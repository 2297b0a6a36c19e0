#pragma once
// One machine's jobs: one runs on its link at a time, the rest wait their
// turn. Each job is a coroutine; the queue starts the next when one ends,
// and never waits for anything itself.
#include "jobs/job.h"
#include <QCoro/QCoroTask>
#include <QObject>
#include <deque>
#include <functional>
#include <memory>

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
};

class JobQueue : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~JobQueue() override;

    // Queues a job; it starts at once when the link is free.
    std::shared_ptr<JobRun> submit(std::shared_ptr<JobRun> run);
    // A queued job is taken out; a running one is ended by stopRunning.
    // False when the id is neither.
    bool cancel(const QString& id);
    // How a running job is stopped (the station's abort).
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

Q_SIGNALS:
    // Every change of a job's state, with the job as it is then.
    void changed(const Job& job);

private:
    void startNext();
    void finish(const std::shared_ptr<JobRun>& run);
    std::deque<std::shared_ptr<JobRun>> queue_;
    std::shared_ptr<JobRun> running_;
    bool closed_ = false;
    bool starting_ = false;
};
