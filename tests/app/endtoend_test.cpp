// A send and a fetch clicked in the window against the simulated machine over
// TCP, seen in both lists.
#include "machine-sim/simmachine.h"
#include "windowfixture.h"

#include <QPushButton>
#include <QTemporaryDir>

TEST(EndToEnd, SendAndFetchOverTcpShowInBothLists) {
    QTemporaryDir memory;
    SimMachine sim(memory.path());
    ASSERT_TRUE(sim.listen(0, QHostAddress::LocalHost));
    sim.storeProgram("O7010", "O7010(HUS)\r\nG0 X0\r\nM30\r\n");
    sim.storeProgram("O8000", "O8000\r\nM30\r\n");

    WindowHome h;
    h.program("O100.NC", "(NOTE)%O100(AXEL)\r\nG1 X5\r\n%");
    h.ini("SvarTimeout=3000\r\nRecTimeout=3000\r\n" + h.machine(1, "Mazak",
                                                                "Typ=0\r\nGetDir=True\r\nRecTimeout=3000\r\nPort=" +
                                                                    QByteArray::number(sim.serverPort()) + "\r\n"));
    frm_main& w = h.open();
    auto* remote = h.child<QAbstractItemView>("RemoteFilesLV");
    auto* local = h.child<QAbstractItemView>("FileListView");

    // Selecting the machine at start asked for its list.
    ASSERT_TRUE(WaitUntil([&] { return remote->model()->rowCount() == 2; }));
    EXPECT_EQ(Column(remote, 0), (QStringList{"O7010", "O8000"}));

    ASSERT_TRUE(ClickRow(local, "O100.NC"));
    h.child<QPushButton>("cmdSend")->click();
    ASSERT_TRUE(WaitUntil([&] { return sim.hasProgram("O100"); }));
    EXPECT_TRUE(sim.program("O100").contains("G1 X5"));
    h.child<QPushButton>("cmdDir")->click();
    ASSERT_TRUE(WaitUntil([&] { return w.remoteNames().contains("O100"); }));

    ASSERT_TRUE(ClickRow(remote, "O7010"));
    auto* rec = h.child<QPushButton>("cmdRec");
    ASSERT_TRUE(rec->isEnabled());
    rec->click();
    ASSERT_TRUE(WaitUntil([&] { return Column(local, 0).contains("O7010.NC"); }));
    EXPECT_TRUE(h.home.read("ncprog/O7010.NC").contains("G0 X0"));
    EXPECT_EQ(h.ui.reports(), 0);
    EXPECT_TRUE(h.ui.shown.isEmpty()) << h.ui.texts().join(QLatin1Char('|')).toStdString();
}
