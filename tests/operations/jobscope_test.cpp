// A job owns its conversation and nothing else: the machine's own loads and
// stores never follow a job's folder, a job's cancel never cuts the
// machine's own store, a cut program waits for a person, and an answer that
// came whole counts whatever its connection does next.
#include "opshop.h"
#include "server/jobpanel.h"

#include <QTcpServer>
#include <gtest/gtest.h>

namespace {
// A job that holds the station until released, as a long transfer would.
struct Holding {
    bool released = false;
    std::shared_ptr<JobRun> submit(Station& st, OperatorPanel* panel) {
        return st.Submit(JobKind::Send, QStringLiteral("verb test"), [this, &st](JobRun&) -> QCoro::Task<void> {
            const auto free = [this] { return released; };
            co_await st.WaitFor(free);
        }, panel);
    }
};
}  // namespace

TEST(JobScope, TheMachinesOwnRequestsUseTheLibraryWhateverAJobsFolder) {
    OpShop o(Link::Tcp);
    o.shop.home.write("ncprog/O1.NC", "LIBRARY\r\n");
    o.shop.home.write("other/O1.NC", "OTHER\r\n");
    o.sim.connectToPc(QStringLiteral("127.0.0.1"), o.st.ListeningPort());
    o.sim.storeProgram("O5", "STORED\r\n");
    JobPanel elsewhere(true);
    Holding hold;
    const auto job = hold.submit(o.st, &elsewhere);
    ASSERT_TRUE(WaitUntil([&] { return job->record.state == JobState::Running; }));
    o.sim.request(SimMachine::Command::Load, "O1");
    o.sim.request(SimMachine::Command::Save, "O5");
    ASSERT_TRUE(o.sim.waitForRequests(10000));
    EXPECT_EQ(o.sim.program("O1"), QByteArray("LIBRARY\r\n"));
    EXPECT_EQ(o.shop.file("O5.NC"), QByteArray("STORED\r\n"));
    EXPECT_FALSE(o.shop.home.exists("other/O5.NC"));

    // Its cancel ends it, and a store the machine sends meanwhile arrives whole.
    const QByteArray big = QByteArray("G1 X1.\r\n").repeated(400000);
    o.sim.storeProgram("O6", big);
    o.sim.setSplit(64 * 1024, 5);  // long enough to be caught in the middle, however fast the loop
    o.sim.request(SimMachine::Command::Save, "O6");
    ASSERT_TRUE(WaitUntil([&] { return o.st.MachineReceiving(); }));
    o.st.jobs().cancel(job->record.id, JobQueue::CancelledBy(QStringLiteral("webb 127.0.0.9")));
    ASSERT_TRUE(o.sim.waitForRequests(20000));
    EXPECT_TRUE(o.sim.lastRequestOk());
    ASSERT_TRUE(WaitUntil([&] { return job->record.finished(); }));
    EXPECT_EQ(job->record.state, JobState::Cancelled);
    EXPECT_EQ(job->record.text, QStringLiteral("Avbrutet av webb 127.0.0.9."));
    EXPECT_EQ(o.shop.file("O6.NC").size(), big.size());
}

// Protocol 1: after a cut send only a person says the machine is clear; a
// job's "yes" (overwrite) never does.
TEST(JobScope, ACutProgramWaitsForAPersonNotAnOverwriteFlag) {
    OpShop o(Link::Short1);
    o.shop.home.write("ncprog/O2.NC", "%\r\nO2\r\nM30\r\n%");
    CutSend(o, QByteArray(2000, 'X'));
    ASSERT_EQ(o.st.CutProgram(), QStringLiteral("O1"));

    const auto sendWithYes = [&] {
        auto panel = std::make_shared<JobPanel>(true);
        auto job = SubmitRequest(o.st, JobRequest{JobKind::Send, o.shop.send, {"O2.NC"}}, QStringLiteral("webb 127.0.0.9"),
                                 panel);
        EXPECT_TRUE(WaitUntil([&] { return job->record.finished(); }));
        return job->record;
    };
    const QByteArray before = o.sim.lastReceived();
    const Job refused = sendWithYes();
    EXPECT_EQ(refused.state, JobState::Failed);
    EXPECT_EQ(refused.text, QStringLiteral("Väntar: maskinen kan ha en ofullständig del av O1."));
    EXPECT_EQ(o.sim.lastReceived(), before);  // nothing went out
    EXPECT_FALSE(o.sim.hasProgram("O2"));

    EXPECT_TRUE(o.st.ConfirmCut(QStringLiteral("verb eva")));
    EXPECT_FALSE(o.st.ConfirmCut(QStringLiteral("verb eva")));
    ASSERT_FALSE(o.shop.jobs.isEmpty());
    const Job& cleared = o.shop.jobs.last();
    EXPECT_EQ(cleared.kind, JobKind::Clear);
    EXPECT_EQ(cleared.by, QStringLiteral("verb eva"));
    // Confirmed: the next job goes out.
    EXPECT_EQ(sendWithYes().state, JobState::Done);
    EXPECT_TRUE(WaitUntil([&] { return o.sim.lastReceived() != before; }));
}

// A machine that answers a fetch whole and then closes its connection: the
// program is fetched, not "broken off before the machine answered".
TEST(JobScope, AnAnswerThatArrivedWholeCountsWhateverTheConnectionDoesNext) {
    Shop shop;
    QTcpServer machine;
    ASSERT_TRUE(machine.listen(QHostAddress::LocalHost));
    shop.machine([&](MachineSettings& m) { m.Port = QString::number(machine.serverPort()); });
    QObject::connect(&machine, &QTcpServer::newConnection, [&] {
        QTcpSocket* s = machine.nextPendingConnection();
        QObject::connect(s, &QTcpSocket::readyRead, [s] {
            if (!s->readAll().contains('%')) return;
            s->write(Request("LOD", "O77", "%\r\nO77\r\nG0 X1.\r\nM30\r\n", "", "R"));
            s->disconnectFromHost();
        });
    });
    shop.panel.selectedRemote = {"O77"};
    const auto job = shop.station.Submit(JobKind::Fetch, QStringLiteral("verb test"),
                                         [&](JobRun&) { return cmdRec_Click(shop.station, shop.panel.fetch()); });
    ASSERT_TRUE(WaitUntil([&] { return job->record.finished(); }));
    EXPECT_EQ(job->record.state, JobState::Done) << job->record.text.toStdString();
    EXPECT_TRUE(shop.file("O77.NC").contains("G0 X1."));
}
