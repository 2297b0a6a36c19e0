// A send and a fetch clicked in the window against the simulated machine over
// TCP, seen in both lists.
#include "machine-sim/simmachine.h"
#include "windowfixture.h"

#include "controls/reportlist.h"
#include <QHeaderView>
#include <QLabel>

#include "common/ini.h"

#include <QAction>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <QComboBox>
#include <QPointer>
#include <QPushButton>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTreeView>

TEST(EndToEnd, SendAndFetchOverTcpShowInBothLists) {
    QTemporaryDir memory;
    SimMachine sim(memory.path());
    ASSERT_TRUE(sim.listen(0, QHostAddress::LocalHost));
    sim.storeProgram("O7010", "O7010(HUS)\r\nG0 X0\r\nM30\r\n");
    sim.storeProgram("O8000", "O8000\r\nM30\r\n");

    WindowHome h;
    h.program("O100.NC", "(NOTE)%O100(AXEL)\r\nG1 X5\r\n%");
    h.program("O200", "%O200\r\n%");  // what a machine without an extension lists
    h.ini("SvarTimeout=3000\r\nRecTimeout=3000\r\n" +
          h.machine(1, "Fräs A",
                    "Typ=0\r\nGetDir=True\r\nRecTimeout=3000\r\nPort=" + QByteArray::number(sim.serverPort()) +
                        "\r\n") +
          h.machine(2, "Svarv B", "Extension=\r\n"));
    frm_main& w = h.open();
    auto* remote = h.child<QAbstractItemView>("RemoteFilesLV");
    auto* local = h.child<QAbstractItemView>("FileListView");
    // The window's job has ended once the machine may be changed again.
    auto idle = [&] { return WaitUntil([&] { return h.child<QComboBox>("cmbMaskiner")->isEnabled(); }); };

    // Selecting the machine at start asked for its list.
    ASSERT_TRUE(WaitUntil([&] { return remote->model()->rowCount() == 2; }));

    // After the send the list is asked for again, so a second send of the
    // same program asks before it overwrites.
    auto* send = h.child<QPushButton>("cmdSend");
    ASSERT_TRUE(ClickRow(local, "O100.NC"));
    send->click();
    ASSERT_TRUE(idle());
    ASSERT_TRUE(w.remoteNames().contains("O100"));
    EXPECT_TRUE(sim.program("O100").contains("G1 X5"));
    h.ui.answers << OperatorPanel::Answer::No;
    ASSERT_TRUE(ClickRow(local, "O100.NC"));
    send->click();
    ASSERT_TRUE(idle());
    EXPECT_EQ(h.ui.texts(), QStringList{"Filen finns redan i maskinen. Skriva över?"});
    h.ui.shown.clear();

    // The box itself: the job waits for it while the click has long returned
    // (a box of its own loop would be closed unanswered after 3 s), and "Ja" sends.
    h.program("O100.NC", "(NOTE)%O100(AXEL)\r\nG1 X7\r\n%");
    const auto hook = std::exchange(Hooks().message, {});
    bool returned = false;
    QTimer::singleShot(3000, &w, [&] {
        if (auto* open = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); open && !returned) open->reject();
    });
    ASSERT_TRUE(ClickRow(local, "O100.NC"));
    send->click();
    returned = true;
    QMessageBox* box = nullptr;
    ASSERT_TRUE(WaitUntil([&] { return (box = w.findChild<QMessageBox*>()) && box->isVisible(); }, 2000));
    EXPECT_EQ(box->text(), "Filen finns redan i maskinen. Skriva över?");
    for (QAbstractButton* b : box->buttons())
        if (b->text() == "Ja") b->click();
    ASSERT_TRUE(idle());
    EXPECT_TRUE(sim.program("O100").contains("G1 X7"));
    Hooks().message = hook;

    ASSERT_TRUE(ClickRow(remote, "O7010"));
    auto* rec = h.child<QPushButton>("cmdRec");
    rec->click();
    ASSERT_TRUE(idle());
    ASSERT_TRUE(WaitUntil([&] { return Column(local, 0).contains("O7010.NC"); }));
    EXPECT_TRUE(h.home.read("ncprog/O7010.NC").contains("G0 X0"));

    // "Jämför med maskin" shows in a column of the machine's list.
    auto* tree = h.child<QTreeView>("RemoteFilesLV");
    EXPECT_TRUE(tree->isColumnHidden(2));
    h.program("O100.NC", "(NOTE)%O100(AXEL)\r\nG1 X6\r\n%");
    w.findChild<QAction*>("mnuCompare")->trigger();
    ASSERT_TRUE(idle());
    EXPECT_FALSE(tree->isColumnHidden(2));
    EXPECT_EQ(Column(remote, 0), (QStringList{"O100", "O7010", "O8000"}));
    EXPECT_EQ(Column(remote, 2), (QStringList{"Olika", "Lika", "Bara i maskinen"}));
    EXPECT_LE(tree->header()->length(), tree->viewport()->width());  // the comparison column is not clipped
    // "Olika" opens the library's program beside the machine's copy.
    QString difference;
    h.ui.onDialog = [&](QDialog& d) { difference = d.windowTitle() + '|' + d.findChild<QLabel*>("lblDiff")->text(); };
    ASSERT_TRUE(ClickRow(remote, "O100"));
    Q_EMIT h.child<ReportList>("RemoteFilesLV")->itemDoubleClicked();
    h.ui.onDialog = {};
    EXPECT_TRUE(difference.startsWith("Skillnad - O100|1 ")) << difference.toStdString();
    // The column goes with the list and folder it describes: after a fetch,
    // and after switching to a machine whose list is not asked for.
    ASSERT_TRUE(ClickRow(remote, "O8000"));
    rec->click();
    EXPECT_TRUE(tree->isColumnHidden(2));
    ASSERT_TRUE(idle());
    w.findChild<QAction*>("mnuCompare")->trigger();
    ASSERT_TRUE(idle());
    EXPECT_FALSE(tree->isColumnHidden(2));
    w.selectMachine(1);
    EXPECT_TRUE(tree->isColumnHidden(2));
    EXPECT_TRUE(h.ui.shown.isEmpty()) << h.ui.texts().join(QLatin1Char('|')).toStdString();

    // Without an extension every program name would be empty: the missing setting is named.
    ASSERT_TRUE(ClickRow(local, "O200"));
    send->click();
    EXPECT_EQ(h.ui.texts(), QStringList{"Maskinen \"Svarv B\" har ingen \"Filändelse för program\" (Inställningar, "
                                        "fliken Avancerat). Ange den innan program sänds."});
}

TEST(EndToEnd, ClosingWhileASendWaitsEndsTheSendThenTheWindow) {
    // A machine that takes the program and never answers.
    QTcpServer silent;
    ASSERT_TRUE(silent.listen(QHostAddress::LocalHost));
    WindowHome h;
    h.program("O1.NC", "%O1\r\nG1 X1\r\n%");
    h.ini("SvarTimeout=60000\r\n" + h.machine(1, "Fräs A", "Port=" + QByteArray::number(silent.serverPort()) + "\r\n"));
    h.open();
    ASSERT_TRUE(ClickRow(h.child<QAbstractItemView>("FileListView"), "O1.NC"));
    QPointer<frm_main> w = h.window.release();
    w->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(&silent, &QTcpServer::newConnection, [&] {
        QTcpSocket* c = silent.nextPendingConnection();
        QObject::connect(c, &QTcpSocket::readyRead, [&, c] {
            if (c->readAll().contains('%') && w) w->close();
        });
    });
    bool sending = false, goneWhileSending = false;
    QEventLoop loop;
    QObject::connect(w, &QObject::destroyed, &loop, [&] {
        goneWhileSending = sending;
        loop.quit();
    });
    QTimer::singleShot(0, [&] {
        sending = true;
        w->findChild<QPushButton*>("cmdSend")->click();
        sending = false;
    });
    QTimer::singleShot(30000, &loop, &QEventLoop::quit);  // only so that a hang fails
    loop.exec();
    EXPECT_TRUE(w.isNull());
    EXPECT_FALSE(sending || goneWhileSending);
    EXPECT_TRUE(h.home.read("fenmo32.log").contains("Programmet avslutat."));
}

TEST(EndToEnd, MachineCannotChangeWhileASendWaits) {
    QTemporaryDir memoryA, memoryB;
    SimMachine simA(memoryA.path()), simB(memoryB.path());
    ASSERT_TRUE(simA.listen(0, QHostAddress::LocalHost));
    ASSERT_TRUE(simB.listen(0, QHostAddress::LocalHost));
    WindowHome h;
    h.program("O1.NC", "%O1\r\nG1 X1\r\n%");
    h.program("O2.NC", "%O2\r\nG1 X2\r\n%");
    // Both machines take their programs from the same folder.
    h.ini("SvarTimeout=3000\r\n" +
          h.machine(1, "Fräs A", "Port=" + QByteArray::number(simA.serverPort()) + "\r\n") +
          h.machine(2, "Svarv B", "Port=" + QByteArray::number(simB.serverPort()) + "\r\n"));
    frm_main& w = h.open();
    auto* machines = h.child<QComboBox>("cmbMaskiner");
    auto* setup = h.child<QAction>("mnuArkivSetup");
    auto* local = h.child<QAbstractItemView>("FileListView");

    // While the machine holds the first program and the PC waits for its
    // answer, the operator tries the list and the setup entry.
    QList<bool> openDuring;
    bool abortNext = false;
    QObject::connect(&simA, &SimMachine::messageReceived, &w, [&] {
        openDuring << (machines->isEnabled() || setup->isEnabled());
        WriteIni("Program", "LastMachine", "Svarv B");
        Key(machines, Qt::Key_Down);
        setup->trigger();
        h.child<QPushButton>("cmdDir")->click();  // would take the send's connection
        if (abortNext) h.child<QPushButton>("cmdAbort")->click();
    });
    ASSERT_TRUE(ClickRow(local, "O1.NC"));
    ASSERT_TRUE(ClickRow(local, "O2.NC", Qt::ControlModifier));
    h.child<QPushButton>("cmdSend")->click();
    ASSERT_TRUE(WaitUntil([&] { return machines->isEnabled(); }));
    EXPECT_EQ(openDuring, (QList<bool>{false, false}));
    EXPECT_EQ(simA.programs(), (QStringList{"O1", "O2"}));
    EXPECT_TRUE(simB.programs().isEmpty());
    EXPECT_EQ(machines->currentText(), "Fräs A");
    EXPECT_TRUE(machines->isEnabled() && setup->isEnabled());

    // An aborted send opens them again too.
    abortNext = true;
    ASSERT_TRUE(ClickRow(local, "O1.NC"));
    h.child<QPushButton>("cmdSend")->click();
    ASSERT_TRUE(WaitUntil([&] { return machines->isEnabled(); }));
    EXPECT_EQ(openDuring.size(), 3);
    EXPECT_TRUE(w.station().aborted());
    EXPECT_TRUE(machines->isEnabled() && setup->isEnabled());
    EXPECT_EQ(h.ui.reports(), 0);
}
