#include "jobs/jobqueue.h"

#include <QTimer>

JobQueue::~JobQueue() { closed_ = true; }

std::shared_ptr<JobRun> JobQueue::submit(std::shared_ptr<JobRun> run) {
    Job& j = run->record;
    if (j.id.isEmpty()) j.id = NewJobId();
    if (!j.created.isValid()) j.created = QDateTime::currentDateTimeUtc();
    if (closed_) {
        j.state = JobState::Cancelled;
        j.ended = j.created;
        if (j.text.isEmpty()) j.text = QStringLiteral("Servern stannar: jobbet startades inte.");
        Q_EMIT changed(j);
        return run;
    }
    j.state = JobState::Queued;
    queue_.push_back(run);
    Q_EMIT changed(j);
    // Started from the event loop, so that whoever submitted it has its
    // answer (the job's id) out before the job's first step.
    if (!running_ && !starting_) {
        starting_ = true;
        QTimer::singleShot(0, this, [this] {
            starting_ = false;
            startNext();
        });
    }
    return run;
}

bool JobQueue::cancel(const QString& id) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
        if ((*it)->record.id == id) {
            const std::shared_ptr<JobRun> run = *it;
            queue_.erase(it);
            run->record.state = JobState::Cancelled;
            run->record.ended = QDateTime::currentDateTimeUtc();
            run->record.text = QStringLiteral("Avbrutet innan det startade.");
            Q_EMIT changed(run->record);
            return true;
        }
    if (running_ && running_->record.id == id) {
        running_->cancelRequested = true;
        if (stopRunning) stopRunning();
        return true;
    }
    return false;
}

void JobQueue::close(const QString& why) {
    closed_ = true;
    while (!queue_.empty()) {
        const std::shared_ptr<JobRun> run = queue_.front();
        queue_.pop_front();
        run->record.state = JobState::Cancelled;
        run->record.ended = QDateTime::currentDateTimeUtc();
        run->record.text = why;
        Q_EMIT changed(run->record);
    }
}

QList<Job> JobQueue::queued() const {
    QList<Job> list;
    for (const auto& r : queue_) list << r->record;
    return list;
}

void JobQueue::startNext() {
    if (running_ || closed_ || queue_.empty()) return;
    running_ = queue_.front();
    queue_.pop_front();
    std::shared_ptr<JobRun> run = running_;
    run->record.state = JobState::Running;
    run->record.started = QDateTime::currentDateTimeUtc();
    Q_EMIT changed(run->record);
    QCoro::connect(run->body(*run), this, [this, run] { finish(run); });
}

void JobQueue::finish(const std::shared_ptr<JobRun>& run) {
    Job& j = run->record;
    j.ended = QDateTime::currentDateTimeUtc();
    if (run->cancelRequested) {
        j.state = JobState::Cancelled;
        if (j.text.isEmpty()) j.text = QStringLiteral("Avbrutet.");
    } else if (j.state == JobState::Running) {
        bool failed = false;
        for (const JobProgram& p : j.programs) failed = failed || p.result == ProgramResult::Failed;
        j.state = failed ? JobState::Failed : JobState::Done;
    }
    if (running_ == run) running_.reset();
    Q_EMIT changed(j);
    startNext();
}
