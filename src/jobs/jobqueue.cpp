#include "jobs/jobqueue.h"

#include <QTimer>
#include <unordered_set>

namespace {
// Queues with waiters to wake: a waiter may end its session, and with it
// the queue that is waking it.
std::unordered_set<const JobQueue*>& Waking() {
    static std::unordered_set<const JobQueue*> queues;
    return queues;
}
}  // namespace

JobQueue::~JobQueue() {
    closed_ = true;
    // Nobody is left to post to: what still waits for an end hears of it now.
    wakeWaiters();
    Waking().erase(this);
}

void JobQueue::wakeWaiters() {
    wakePosted_ = false;
    while (Waking().count(this) && !woken_.empty()) {
        const auto woken = std::exchange(woken_, {});
        for (std::coroutine_handle<> h : woken) h.resume();
    }
}

QString JobQueue::CancelledBy(const QString& who) { return QStringLiteral("Avbrutet av %1.").arg(who); }

void JobQueue::setState(JobRun& run, JobState state, const QString& text) {
    Job& j = run.record;
    j.state = state;
    if (state == JobState::Running) j.started = QDateTime::currentDateTimeUtc();
    if (!text.isEmpty()) j.text = text;
    if (!j.finished()) {
        Q_EMIT changed(j);
        return;
    }
    j.ended = QDateTime::currentDateTimeUtc();
    if (!j.started.isValid() && state != JobState::Cancelled) j.started = j.ended;
    Q_EMIT changed(j);
    // Whoever awaits the end is resumed from the event loop: a handler of
    // changed may still be running, and the waiter may free what it uses.
    if (run.waiters_.empty()) return;
    for (std::coroutine_handle<> h : std::exchange(run.waiters_, {})) woken_.push_back(h);
    Waking().insert(this);
    if (!std::exchange(wakePosted_, true)) QMetaObject::invokeMethod(this, &JobQueue::wakeWaiters, Qt::QueuedConnection);
}

std::shared_ptr<JobRun> JobQueue::submit(std::shared_ptr<JobRun> run) {
    Job& j = run->record;
    if (j.id.isEmpty()) j.id = NewJobId();
    if (!j.created.isValid()) j.created = QDateTime::currentDateTimeUtc();
    if (closed_) {
        setState(*run, JobState::Cancelled, QStringLiteral("Servern stannar: jobbet startades inte."));
        return run;
    }
    queue_.push_back(run);
    setState(*run, JobState::Queued);
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

bool JobQueue::cancel(const QString& id, const QString& why) {
    for (auto it = queue_.begin(); it != queue_.end(); ++it)
        if ((*it)->record.id == id) {
            const std::shared_ptr<JobRun> run = *it;
            queue_.erase(it);
            setState(*run, JobState::Cancelled, why + QStringLiteral(" Det startade aldrig."));
            return true;
        }
    if (running_ && running_->record.id == id) {
        if (running_->cancelRequested) return true;
        running_->cancelRequested = true;
        running_->cancelText = why;
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
        setState(*run, JobState::Cancelled, why);
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
    setState(*run, JobState::Running);
    QCoro::connect(run->body(*run), this, [this, run] { finish(run); });
}

void JobQueue::finish(const std::shared_ptr<JobRun>& run) {
    if (running_ == run) running_.reset();
    const Job& j = run->record;
    if (run->cancelRequested) {
        setState(*run, JobState::Cancelled, run->cancelText.isEmpty() ? QStringLiteral("Avbrutet.") : run->cancelText);
    } else if (run->failure) {
        setState(*run, JobState::Failed, *run->failure);
    } else {
        bool failed = j.state == JobState::Failed;
        for (const JobProgram& p : j.programs) failed = failed || p.result == ProgramResult::Failed;
        setState(*run, failed ? JobState::Failed : JobState::Done);
    }
    if (!running_) Q_EMIT idle();
    startNext();
}
