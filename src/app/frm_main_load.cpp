// Start-up work of the main window, its unload sequence, and the two small
// menu commands "Logg" and "Om...".
#include "app/frm_main.h"
#include "server/shopserver.h"

#include "app/frm_about.h"
#include "controls/messagebox.h"
#include "common/errorreport.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/log.h"
#include "config/generalsettings.h"
#include "config/machines.h"
#include "station/station.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QUrl>

void frm_main::ReadGeneralSettings() {
    GeneralSettings g = station_->general();
    try {
        ::ReadGeneralSettings(g);
    } catch (...) {
        // The keys read before the bad one are in force.
        station_->ApplyGeneralSettings(g);
        throw;
    }
    station_->ApplyGeneralSettings(g);
}

void frm_main::FillMachineList() {
    cmbMaskiner->clear();
    for (const MachineEntry& m : MachineList()) cmbMaskiner->addItem(m.name, m.slot);
    cmbMaskiner->setCurrentIndex(-1);
}

void frm_main::Form_Load() {
    loading_ = true;
    Traced(QStringLiteral("Form_Load()"), [&] {
        SplitRatio = 0.7f;
        FolderSplitRatio = 0.3f;
        AddLog(QStringLiteral("Programmet startat."));
        ReadGeneralSettings();
        FillMachineList();
        BuildPluginMenu();
        if (cmbMaskiner->count() > 0) {
            const QString last =
                ReadIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), cmbMaskiner->itemText(0));
            for (int i = 0; i < cmbMaskiner->count(); ++i) {
                if (cmbMaskiner->itemText(i) == last) {
                    selectMachine(i);
                    break;
                }
            }
        }
        setTreeFolders(station_->machine().RootPath, station_->machine().SendPath);
        UpdateLocalFolders();
        // The arrow patterns are fixed texts of the link (arrows.h): nothing to fill.
        // A shop server already answers the machines of this folder: the
        // window takes none of its connections.
        // One that serves only some machines (a try-out) leaves the others
        // to the window, which listens as without a server.
        if (const qint64 server = RunningServer(); server && ServerServesAll()) {
            const QString text = QStringLiteral("Verkstadsservern (process %1) betjänar maskinerna. Fönstret tar inte "
                                                "emot anslutningar från maskinerna. En seriell maskin som servern "
                                                "håller nås med kommandona Fenmo32 send, fetch, dir, delete och "
                                                "compare, som går genom servern.")
                                     .arg(server);
            AddLog(text);
            message(text, AppTitle(), MsgIcon::Information, Buttons::Ok);
        } else if (!station_->StartListening()) {
            message(station_->listenFailure(), AppTitle(), MsgIcon::Critical, Buttons::Ok);
        }
    });
    loading_ = false;
}

void frm_main::closeEvent(QCloseEvent* event) {
    if (operations_ > 0) {
        // The operation's wait is further down the stack and still uses the
        // station: end it (a job's cancel), and close once it has returned.
        station_->AbortJob();
        closePending_ = true;
        event->ignore();
        return;
    }
    if (!unloaded_) {
        unloaded_ = true;
        Form_QueryUnload();
        Form_Unload();
    }
    event->accept();
}

void frm_main::Form_QueryUnload() {
    // The program ends: everything under way on the link stops.
    Traced(QStringLiteral("Form_QueryUnload()"), [&] { station_->cmdAbort_Click(); });
}

void frm_main::Form_Unload() {
    Traced(QStringLiteral("Form_Unload()"), [&] {
        AddLog(QStringLiteral("Programmet avslutat."));
        station_->cmdAbort_Click();
    });
}

void frm_main::mnuVisaLogg_Click() {
    Traced(QStringLiteral("mnuVisaLogg_Click()"), [&] {
        const QString path = InProgramFolder(QStringLiteral("fenmo32.log"));
        OpenFileWithDesktop(path, [this, path](const QString& why) {
            message(QStringLiteral("Loggen kan inte visas: %1.\r\nDen finns i %2.").arg(why, QDir::toNativeSeparators(path)),
                    AppTitle(), MsgIcon::Exclamation, Buttons::Ok);
        });
    });
}

void frm_main::mnuHelpOm_Click() {
    frm_about about(this);
    ExecDialog(about);
}
