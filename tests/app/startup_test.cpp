// Start-up and shut-down of the main window: the load's steps in their
// order and its failures.
#include "app/startup.h"
#include "common/ini.h"
#include "windowfixture.h"

#include <QAction>
#include <QComboBox>
#include <QLineEdit>
#include <QMenu>
#include <QTcpServer>
#include <QTreeWidget>

namespace {
int Selected(WindowHome& h) { return h.child<QComboBox>("cmbMaskiner")->currentIndex(); }
QString LastMachine() { return ReadIni("Program", "LastMachine", ""); }
}  // namespace

TEST(Startup, LastMachineChoosesItsEntryOrNothing) {
    {  // names the second machine
        WindowHome h;
        h.ini("LastMachine=Svarv\r\n" + h.machine(1, "Fräs") + h.machine(4, "Svarv"));
        h.open();
        EXPECT_EQ(Selected(h), 1);
        EXPECT_EQ(h.child<QLineEdit>("txtRemoteHeader")->text(), "Svarv");
        EXPECT_EQ(h.child<QLineEdit>("txtLocalHeader")->text(), h.send);
    }
    {  // names a machine that no longer exists: no fall-back to the first
        WindowHome h;
        h.ini("LastMachine=Borta\r\n" + h.machine(1, "Fräs"));
        frm_main& w = h.open();
        EXPECT_EQ(Selected(h), -1);
        EXPECT_TRUE(w.treeFolder().isEmpty());
        EXPECT_TRUE(h.station().machine().SendPath.isEmpty());
        EXPECT_EQ(h.child<QLineEdit>("txtRemoteHeader")->text(), "Maskin");
    }
    {  // absent: the first machine, and the choice is remembered
        WindowHome h;
        h.ini(h.machine(2, "Fräs") + h.machine(3, "Svarv"));
        h.open();
        EXPECT_EQ(Selected(h), 0);
        EXPECT_EQ(h.station().machine().SendPath, h.send);
        EXPECT_EQ(LastMachine(), "Fräs");
    }
}

TEST(Startup, BadGeneralSettingStopsTheLoadButTheWindowOpens) {
    WindowHome h;
    h.ini("HideBreak=True\r\nGeneralTimeout=abc\r\nSvarTimeout=1234\r\n" + h.machine(1, "Fräs"));
    StartupOptions options;
    options.splash = false;
    options.port = new MemorySerialPort;
    frm_main* w = RunStartup(options);
    EXPECT_TRUE(w->isVisible());
    ASSERT_EQ(h.ui.reports(), 1);
    EXPECT_TRUE(h.ui.shown[0].text.contains("Felnummer: 13"));
    EXPECT_TRUE(h.ui.shown[0].text.contains(" - Form_Load()\r\n"));
    EXPECT_EQ(h.ui.shown[0].title, "Fel");
    EXPECT_EQ(h.ui.shown[0].icon, MsgIcon::Critical);
    EXPECT_EQ(h.ui.shown[0].buttons, OperatorPanel::Buttons::OkCancel);
    // Read before the bad key: in force. After it: design-time values.
    EXPECT_TRUE(w->station().general().HideBreak);
    EXPECT_EQ(w->station().general().SvarTimeout, 4000);
    // The later steps never ran.
    EXPECT_EQ(w->findChild<QComboBox*>("cmbMaskiner")->count(), 0);
    EXPECT_EQ(w->station().ListeningPort(), 0);
    EXPECT_TRUE(h.home.read("error.log").contains("Ett fel uppstod."));
    delete w;
}

TEST(Startup, BusyListeningPortIsReportedAndTheWindowOpens) {
    QTcpServer occupant;
    ASSERT_TRUE(occupant.listen(QHostAddress::LocalHost, 0));
    WindowHome h;
    h.ini("[Program]\r\nListenPort=" + QByteArray::number(occupant.serverPort()) + "\r\n" + h.machine(1, "Fräs"),
          false);
    h.open();
    ASSERT_EQ(h.ui.shown.size(), 1);
    EXPECT_EQ(h.ui.shown[0].text,
              "Den inställda porten är upptagen. Gå in i inställningar och ställ in en annan port.");
    EXPECT_EQ(h.ui.shown[0].title, "Fenmo32");
    EXPECT_EQ(h.ui.shown[0].icon, MsgIcon::Critical);
    EXPECT_EQ(h.ui.reports(), 0);
    EXPECT_EQ(Selected(h), 0);  // the steps before it ran
}

TEST(Startup, WithoutMachinesTheWindowOpensEmptyAndQuitLogsTheEnd) {
    WindowHome h;
    h.ini("LastMachine=Borta\r\n");
    frm_main& w = h.open();
    EXPECT_EQ(h.child<QComboBox>("cmbMaskiner")->count(), 0);
    EXPECT_TRUE(w.treeFolder().isEmpty());
    EXPECT_EQ(h.child<QTreeWidget>("FolderTreeview")->topLevelItemCount(), 0);
    EXPECT_EQ(LastMachine(), "Borta");  // not consulted, not rewritten
    EXPECT_TRUE(h.ui.shown.isEmpty());
    EXPECT_TRUE(h.home.read("fenmo32.log").contains(" - Programmet startat.\r\n"));
    EXPECT_FALSE(w.findChild<QMenu*>("mnuPlugin")->menuAction()->isVisible());  // no plugins.ini
    EXPECT_FALSE(h.child<QWidget>("frameXfer")->isVisible());

    w.mnuVisaLogg_Click();  // the main log, in the desktop's viewer
    ASSERT_EQ(h.ui.opened.size(), 1);
    EXPECT_EQ(h.ui.opened[0], QUrl::fromLocalFile(h.home.file("fenmo32.log")));
    EXPECT_TRUE(h.ui.shown.isEmpty());
    // Without a viewer the operator is told where the log is.
    Hooks().openUrl = [](const QUrl&) { return false; };
    w.mnuVisaLogg_Click();
    ASSERT_EQ(h.ui.shown.size(), 1);
    EXPECT_EQ(h.ui.shown[0].text, "Loggen kan inte visas: inget program kan öppna filen.\r\nDen finns i " +
                                      QDir::toNativeSeparators(h.home.file("fenmo32.log")) + ".");
    w.mnuHelpOm_Click();  // the about box, modally, once
    EXPECT_EQ(h.ui.dialogs, 1);

    ASSERT_FALSE(w.station().aborted());
    w.findChild<QAction*>("mnuArkivQuit")->trigger();
    EXPECT_FALSE(w.isVisible());
    EXPECT_TRUE(w.station().aborted());
    const QByteArray log = h.home.read("fenmo32.log");
    EXPECT_TRUE(log.endsWith(" - Programmet avslutat.\r\n")) << log.constData();
}
