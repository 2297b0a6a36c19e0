// One machine's queue on its own: who is cancelled by what, the state a job
// ends in, and a waiter that is resumed once, after the queue is done with it.
#include "jobs/jobqueue.h"
#include "support/wait.h"

#include <gtest/gtest.h>
#include <QRegularExpression>
#include <QSet>
#include <array>

namespace {
// A job's body that runs until opened (awaited through a pointer: a task
// copies what it awaits).
struct Gate {
    std::coroutine_handle<> waiting;
    bool open = false;
    struct Wait {
        Gate* gate;
        bool await_ready() const noexcept { return gate->open; }
        void await_suspend(std::coroutine_handle<> h) { gate->waiting = h; }
        void await_resume() const noexcept {}
    };
    void release() {
        open = true;
        if (auto h = std::exchange(waiting, {})) h.resume();
    }
};

std::shared_ptr<JobRun> Queue(JobQueue& q, std::function<QCoro::Task<void>(JobRun&)> body) {
    auto run = std::make_shared<JobRun>();
    run->record.machine = QStringLiteral("Fräs 1");
    run->body = std::move(body);
    return q.submit(run);
}

QCoro::Task<void> Held(Gate& gate, JobRun& run, ProgramResult result) {
    co_await Gate::Wait{&gate};
    run.row(QStringLiteral("O1"), {}, 0, {}, result, {});
}
}  // namespace

// Jobs by the thousand in one second each keep an id of their own: the
// server's table is keyed by it, and a repeat hid a job.
TEST(JobQueue, IdsNeverRepeat) {
    QSet<QString> ids;
    const QRegularExpression form(QStringLiteral("^\\d{8}-\\d{6}-[0-9a-f]{8}$"));
    for (int i = 0; i < 200000; ++i) {
        const QString id = NewJobId();
        ASSERT_TRUE(form.match(id).hasMatch()) << id.toStdString();
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 200000);
}

TEST(JobQueue, CancelsEndsAndFailuresTellTheTruth) {
    JobQueue q;
    Gate gate;
    q.stopRunning = [&] { gate.release(); };
    int started = 0;
    const auto first = Queue(q, [&](JobRun& r) {
        ++started;
        return Held(gate, r, ProgramResult::Ok);
    });
    const auto second = Queue(q, [&](JobRun& r) {
        ++started;
        return Held(gate, r, ProgramResult::Ok);
    });
    ASSERT_TRUE(WaitUntil([&] { return first->record.state == JobState::Running; }));
    // Queued: out of the queue, never started; running: its own stop, and it says who.
    EXPECT_TRUE(q.cancel(second->record.id, JobQueue::CancelledBy(QStringLiteral("webb 127.0.0.9"))));
    EXPECT_EQ(second->record.state, JobState::Cancelled);
    EXPECT_EQ(second->record.text, QStringLiteral("Avbrutet av webb 127.0.0.9. Det startade aldrig."));
    EXPECT_TRUE(q.cancel(first->record.id, JobQueue::CancelledBy(QStringLiteral("verb eva"))));
    EXPECT_EQ(first->record.state, JobState::Cancelled);
    EXPECT_EQ(first->record.text, QStringLiteral("Avbrutet av verb eva."));
    EXPECT_FALSE(q.cancel(first->record.id, QStringLiteral("igen")));  // ended: nothing to cancel
    EXPECT_EQ(started, 1);

    // A failed row, or a failure the job told, is never "done"; rows all good are.
    struct Case {
        ProgramResult row;
        QString failure;
        JobState state;
    };
    for (const Case& c : {Case{ProgramResult::Ok, {}, JobState::Done}, Case{ProgramResult::Failed, {}, JobState::Failed},
                          Case{ProgramResult::Ok, QStringLiteral("Linjen är upptagen."), JobState::Failed}}) {
        Gate g;
        const auto run = Queue(q, [&](JobRun& r) {
            if (!c.failure.isEmpty()) r.fail(c.failure);
            return Held(g, r, c.row);
        });
        ASSERT_TRUE(WaitUntil([&] { return run->record.state == JobState::Running; }));
        g.release();
        EXPECT_EQ(run->record.state, c.state);
        if (!c.failure.isEmpty()) EXPECT_EQ(run->record.text, c.failure);
        EXPECT_TRUE(run->record.ended.isValid());
    }

    // Closed: what waits is cancelled, what comes later never starts.
    Gate g;
    const auto running = Queue(q, [&](JobRun& r) { return Held(g, r, ProgramResult::Ok); });
    const auto waiting = Queue(q, [&](JobRun& r) { return Held(g, r, ProgramResult::Ok); });
    ASSERT_TRUE(WaitUntil([&] { return running->record.state == JobState::Running; }));
    q.close(QStringLiteral("Servern stannar."));
    EXPECT_EQ(waiting->record.state, JobState::Cancelled);
    EXPECT_EQ(Queue(q, [&](JobRun& r) { return Held(g, r, ProgramResult::Ok); })->record.state, JobState::Cancelled);
    g.release();
    EXPECT_EQ(running->record.state, JobState::Done);
}

// Several clients wait for their own jobs while the queue tells every change
// twice in one pass (an end, then the next start): each waiter is resumed
// exactly once, from the event loop, and may end its frame there.
TEST(JobQueue, AWaiterIsResumedOnceAfterItsJobEnded) {
    JobQueue q;
    std::array<Gate, 3> gates;
    std::vector<std::shared_ptr<JobRun>> runs;
    for (Gate& g : gates) runs.push_back(Queue(q, [&g](JobRun& r) { return Held(g, r, ProgramResult::Ok); }));
    int resumed = 0;
    bool inSignal = false, resumedInSignal = false;
    // Resumed inside the signal, a waiter would free its frame under the queue's feet.
    QObject::connect(&q, &JobQueue::changed, [&] { inSignal = true; });
    QObject::connect(&q, &JobQueue::changed, [&] { inSignal = false; });
    const auto waitFor = [&](std::shared_ptr<JobRun> run) -> QCoro::Task<void> {
        JobRun::Ended ended{run};  // named: gcc 12 destroys a co_await's temporary twice
        co_await ended;
        resumedInSignal = resumedInSignal || inSignal;
        ++resumed;
    };
    std::vector<QCoro::Task<void>> waiters;
    for (const auto& r : runs) waiters.push_back(waitFor(r));
    ASSERT_TRUE(WaitUntil([&] { return runs[0]->record.state == JobState::Running; }));
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(WaitUntil([&] { return runs[i]->record.state == JobState::Running; }));
        gates[i].release();
    }
    ASSERT_TRUE(WaitUntil([&] { return resumed == 3; }));
    Settle(50);
    EXPECT_EQ(resumed, 3);
    EXPECT_FALSE(resumedInSignal);
    // A job already ended is not waited for at all.
    EXPECT_TRUE(JobRun::Ended{runs[0]}.await_ready());
}
