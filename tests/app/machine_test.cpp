// Choosing a machine in the window: the serial port, the headers, the tree
// and the document menu.
#include "windowfixture.h"

#include <QAbstractItemView>
#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>

namespace {
QStringList VisibleDocuments(frm_main& w) {
    QStringList out;
    for (QAction* a : w.findChild<QMenu*>("mnuDoc")->actions())
        if (a->isVisible()) out << a->text() + QLatin1Char('=') + a->data().toString();
    return out;
}
int DocumentEntries(frm_main& w) { return w.findChildren<QAction*>("mnuDocs").size(); }

void Choose(WindowHome& h, int index) {
    auto* combo = h.child<QComboBox>("cmbMaskiner");
    combo->setCurrentIndex(index);
    Q_EMIT combo->activated(index);  // as when the operator picks the entry
}
}  // namespace

TEST(MachineSelection, SerialPortIsReopenedWithEachSerialMachineAndABusyOneIsReportedLast) {
    WindowHome h;
    QDir().mkpath(h.send + "/annan");
    h.program("annan/O5.NC", "%O5\r\n%");
    h.ini("LastMachine=Ingen\r\n" +
          h.machine(1, "Svarv", "Typ=1\r\nComPort=1\r\nBaudRate=9600\r\nSettings=,e,7,1\r\n") +
          h.machine(2, "Fräs", "Typ=2\r\nComPort=3\r\nBaudRate=4800\r\nSettings=,n,8,2\r\n") +
          h.machine(3, "Nät", "Typ=0\r\n") +
          h.machine(4, "Annan", "Typ=1\r\nGetDir=True\r\nSendPath=" + h.send.toUtf8() + "/annan\r\n"));
    h.open();
    EXPECT_EQ(h.port->openCount(), 0);

    const std::tuple<int, const char*, int> serial[] = {{0, "9600,e,7,1", 1}, {1, "4800,n,8,2", 3}};
    for (auto [index, settings, com] : serial) {
        Choose(h, index);
        EXPECT_TRUE(h.port->isOpen());
        EXPECT_EQ(h.port->openCount(), index + 1);
        EXPECT_EQ(h.port->lastSettings(), settings);
        EXPECT_EQ(h.port->lastCommPort(), com);
    }
    // A network machine leaves the serial port as it was.
    Choose(h, 2);
    EXPECT_TRUE(h.port->isOpen());
    EXPECT_EQ(h.port->openCount(), 2);
    EXPECT_EQ(h.child<QLineEdit>("txtRemoteHeader")->text(), "Nät");
    EXPECT_EQ(h.station().machine().Typ, 0);
    EXPECT_TRUE(h.ui.shown.isEmpty());

    h.port->setAvailable(false);
    Choose(h, 3);
    ASSERT_EQ(h.ui.shown.size(), 1);
    EXPECT_EQ(h.ui.shown[0].text, "Kan inte öppna COM porten.\r\nKontrollera inställningarna.\r\nCOM1: porten är upptagen");
    EXPECT_EQ(h.ui.shown[0].icon, MsgIcon::Critical);
    EXPECT_EQ(h.ui.shown[0].buttons, OperatorPanel::Buttons::Ok);
    // Headers, tree and list already show the machine.
    EXPECT_EQ(h.child<QLineEdit>("txtRemoteHeader")->text(), "Annan");
    EXPECT_EQ(h.w().treeFolder(), h.send + "/annan");
    EXPECT_EQ(Column(h.child<QAbstractItemView>("FileListView"), 0), QStringList{"O5.NC"});
}

TEST(MachineSelection, AnotherMachineClearsTheListAndEnablesOnlyWhatItCanDo) {
    WindowHome h;
    h.ini("LastMachine=Ingen\r\n" + h.machine(1, "Fräs") +
          h.machine(2, "Svarv", "Typ=3\r\nComPort=1\r\nBaudRate=9600\r\nSettings=,e,7,1\r\n"));
    frm_main& w = h.open();
    auto enabled = [&] {
        QStringList on;
        for (const char* name : {"cmdRec", "cmdDel", "cmdDir", "cmdChangeFolder"})
            if (h.child<QWidget>(name)->isEnabled()) on << name;
        for (const char* name : {"mnuRec", "mnuRecManual", "mnuCompare", "mnuDrip"})
            if (w.findChild<QAction*>(name)->isEnabled()) on << name;
        return on;
    };
    Choose(h, 0);
    w.fillRemoteList({{"O1000", "009"}});
    ASSERT_TRUE(ClickRow(h.child<QAbstractItemView>("RemoteFilesLV"), "O1000"));
    EXPECT_EQ(enabled(), (QStringList{"cmdRec", "cmdDel", "cmdDir", "cmdChangeFolder", "mnuRec", "mnuRecManual",
                                      "mnuCompare"}));

    // The tape lathe has no list: nothing of the mill's stays, and only sending and drip-feeding are offered.
    Choose(h, 1);
    EXPECT_EQ(h.child<QLineEdit>("txtRemoteHeader")->text(), "Svarv");
    EXPECT_TRUE(w.remoteNames().isEmpty());
    EXPECT_TRUE(w.remoteSelection().isEmpty());
    EXPECT_EQ(enabled(), QStringList{"mnuDrip"});

    Choose(h, 0);
    EXPECT_EQ(enabled(), (QStringList{"cmdDir", "cmdChangeFolder", "mnuRecManual", "mnuCompare"}));
}

TEST(MachineSelection, DocumentMenuIsRebuiltWithoutDuplicates) {
    WindowHome h;
    h.home.write("maskiner/TC-32B.dat",
                 "[Dokument]\r\nDok1=Verktygslista\r\nFil1=TOOLS\r\nDok2=Nollpunkter\r\nFil2=ZERO\r\n");
    h.home.write("maskiner/Tom.dat", "[Dokument]\r\nDok1=\r\nDok2=Aldrig\r\n");
    h.ini("LastMachine=Ingen\r\n" + h.machine(1, "A", "Modell=TC-32B\r\n") + h.machine(2, "B", "Modell=TC-32B\r\n") +
          h.machine(3, "Okänd") + h.machine(4, "Tom", "Modell=Tom\r\n"));
    frm_main& w = h.open();
    const QStringList two = {"Listor:=", "Verktygslista=TOOLS", "Nollpunkter=ZERO"};

    Choose(h, 0);
    Choose(h, 1);  // the same model again: one fresh set, the old one hidden
    EXPECT_EQ(VisibleDocuments(w), two);
    EXPECT_EQ(DocumentEntries(w), 5);
    for (QAction* a : w.findChildren<QAction*>("mnuDocs"))
        if (a->isVisible()) {
            EXPECT_EQ(a->isEnabled(), a->text() != QLatin1String("Listor:"));
        }

    Choose(h, 2);  // model "?": the menu stays as it was
    EXPECT_EQ(VisibleDocuments(w), two);
    EXPECT_EQ(DocumentEntries(w), 5);

    Choose(h, 3);  // Dok1 empty: only the heading
    EXPECT_EQ(VisibleDocuments(w), QStringList{"Listor:="});
}

TEST(MachineSelection, SetupReselectsTheLastMachineOrNothing) {
    WindowHome h;
    QDir().mkpath(h.send + "/b");
    h.ini("LastMachine=A\r\n" + h.machine(1, "A") +
          "[Maskin 2]\r\nNamn=B\r\nTyp=0\r\nGetDir=False\r\nSendPath=" + h.send.toUtf8() + "/b\r\n");
    frm_main& w = h.open();

    // The operator chooses B in the setup dialog.
    QString shownThere;
    h.ui.onDialog = [&](QDialog& d) {
        auto* list = d.findChild<QComboBox*>("cmbMaskiner");
        shownThere = list->currentText();
        list->setCurrentIndex(list->findText("B"));
    };
    w.mnuArkivSetup_Click();
    EXPECT_EQ(shownThere, "A");
    EXPECT_EQ(h.child<QComboBox>("cmbMaskiner")->currentText(), "B");
    EXPECT_EQ(h.station().machine().SendPath, h.send + "/b");

    // A name edited by hand: nothing selected, the machine applied before stays.
    h.ui.onDialog = nullptr;
    h.home.write("Fenmo32.INI", h.home.read("Fenmo32.INI").replace("LastMachine=B", "LastMachine=X"));
    w.mnuArkivSetup_Click();
    EXPECT_EQ(h.child<QComboBox>("cmbMaskiner")->currentIndex(), -1);
    EXPECT_EQ(h.station().machine().SendPath, h.send + "/b");
    EXPECT_EQ(h.ui.reports(), 0);
}
