// Applying the selected machine: settings, folder tree, headers, document
// menu, serial port and the machine's program list; the plug-in menu.
#include "app/frm_main.h"

#include "controls/messagebox.h"
#include "app/frm_difference.h"
#include "app/remotefilelist.h"
#include "controls/reportlist.h"
#include "common/errorreport.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/log.h"
#include "config/machines.h"
#include "config/ui/frm_setup.h"
#include "library/ui/foldertree.h"
#include "station/station.h"
#include "link/tapesource.h"
#include "common/ansi.h"
#include "operations/comparison.h"
#include "server/shopserver.h"

#include <QAction>
#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QDir>
#include <QInputDialog>
#include <QLineEdit>
#include <QMenu>
#include <QScrollBar>
#include <QUrl>

void frm_main::selectMachine(int index) {
    cmbMaskiner->setCurrentIndex(index);
    cmbMaskiner_Click();
}

void frm_main::cmbMaskiner_Click() {
    const int index = cmbMaskiner->currentIndex();
    if (index < 0) {
        TraceEnter(QStringLiteral("cmbMaskiner_Click()"));
        return;
    }
    // Applying a machine may ask for its program list and wait for it.
    OperationGuard busy(*this);
    // A serial machine whose port a shop server holds is reached through it.
    const QString name = cmbMaskiner->itemText(index);
    station_->SetHeldBy(ServerSocketFor(name).isEmpty()
                            ? QString()
                            : QStringLiteral("Verkstadsservern (process %1) håller maskinens port. Använd kommandona "
                                             "Fenmo32 send, fetch, dir, delete eller compare; de går genom servern.")
                                  .arg(RunningServer()));
    station_->cmbMaskiner_Click(cmbMaskiner->itemData(index).toInt(), cmbMaskiner->itemText(index));
}

void frm_main::showMachine(const QString& name, const QString& sendPath) {
    // The previous machine's list and selection are not this one's, even
    // where this one's list is not asked for (a tape machine has none).
    remoteModel_->setEntries({});
    RemoteFilesLV->clearSelection();
    clearComparison();
    applyCapabilities();
    txtRemoteHeader->setText(name);
    txtLocalHeader->setText(sendPath);
    // The list follows the tree at once, so that it never shows another
    // folder than the one its header and the operations name.
    if (!loading_) UpdateLocalFolders();
}

void frm_main::setDocuments(const QList<DocumentEntry>& documents) { BuildDocumentMenu(documents); }

void frm_main::BuildDocumentMenu(const QList<DocumentEntry>& documents) {
    // Entries are never removed: earlier ones stay, hidden.
    for (QAction* a : mnuDocs)
        if (a->text() != QLatin1String("Listor:")) a->setVisible(false);
    mnuDoc->menuAction()->setEnabled(!documents.isEmpty());
    for (const DocumentEntry& d : documents) {
        auto* entry = new QAction(d.caption, mnuDoc);
        entry->setObjectName(QStringLiteral("mnuDocs"));
        entry->setData(d.file);
        entry->setEnabled(true);
        mnuDoc->addAction(entry);
        mnuDocs << entry;
        connect(entry, &QAction::triggered, this, [this, entry] {
            // The document goes to the document folder, which the library then
            // shows: the operator is told, so that the next comparison or send
            // is not made from it unawares.
            JobRequest request{JobKind::Documents};
            request.document = entry->data().toString();
            StartRequest(
                request,
                [this, before = treeFolder()] {
                    if (treeFolder() == before) return;
                    setStatus(panelText(1) + QStringLiteral(" Listan till vänster visar nu dokumentmappen %1.")
                                                 .arg(QDir::toNativeSeparators(treeFolder())));
                });
        });
    }
}

void frm_main::mnuArkivSetup_Click() {
    Traced(QStringLiteral("mnuArkivSetup()"), [&] {
        // Reselecting would swap the machine under a running operation.
        if (operations_ > 0) return;
        {
            frm_setup setup(this);
            ExecDialog(setup);
        }
        FillMachineList();
        const QString last = ReadIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), QString());
        for (int i = 0; i < cmbMaskiner->count(); ++i) {
            if (cmbMaskiner->itemText(i) == last) {
                selectMachine(i);
                break;
            }
        }
    });
}

void frm_main::BuildPluginMenu() {
    Plugins = ReadPlugins();
    for (int k = 0; k < Plugins.size() && k < 10; ++k) {
        mnuPlugin->menuAction()->setVisible(true);
        if (k < mnuPlugins.size()) {
            mnuPlugins[k]->setText(Plugins[k].Name);
            continue;
        }
        QAction* entry = mnuPlugin->addAction(Plugins[k].Name);
        entry->setObjectName(QStringLiteral("mnuPlugins"));
        mnuPlugins << entry;
        connect(entry, &QAction::triggered, this, [this, k] { mnuPlugins_Click(k); });
    }
}

void frm_main::mnuPlugins_Click(int index) {
    if (index < 0 || index >= Plugins.size()) return;
    const MachineSettings& ms = station_->machine();
    PlaceholderValues v;
    v.treeFolder = treeFolder();
    v.machineName = cmbMaskiner->currentIndex() >= 0 ? cmbMaskiner->currentText() : QString();
    v.RootPath = ms.RootPath;
    v.DocPath = ms.DocPath;
    v.SendPath = ms.SendPath;
    v.Modell = ms.Modell;
    v.Extension = ms.Extension;
    const QString file = PluginFile(Plugins[index], v);
    // The operator is not troubled with a plug-in that does not start, but
    // the log keeps what went wrong.
    auto failed = [&](const QString& why) {
        AddLog(QStringLiteral("Plugin \"%1\" kunde inte startas: %2 (%3).").arg(Plugins[index].Name, file, why));
    };
    if (!QFileInfo::exists(file)) {
        failed(QStringLiteral("filen finns inte"));
        return;
    }
    const PluginStart start = PluginLaunch(file, PluginArguments(Plugins[index].Param, v));
    if (start.document) {
        if (!OpenWithDesktop(QUrl::fromLocalFile(file))) {
            failed(QStringLiteral("inget program kan öppna filen"));
            return;
        }
        QString done = QStringLiteral("Plugin \"%1\" öppnat som dokument: %2.").arg(Plugins[index].Name, file);
        // The desktop opens a document without arguments.
        if (!start.arguments.isEmpty())
            done += QStringLiteral(" Parametrarna skickades inte med (ett dokument tar inga): %1.")
                        .arg(start.arguments.join(QLatin1Char(' ')));
        AddLog(done);
    } else if (StartDetached(start.program, start.arguments, ProgramFolder())) {
        AddLog(QStringLiteral("Plugin \"%1\" startat: %2.")
                   .arg(Plugins[index].Name, (QStringList{start.program} + start.arguments).join(QLatin1Char(' '))));
    } else {
        failed(start.program == file ? QStringLiteral("programmet kunde inte startas")
                                     : start.program + QStringLiteral(" kunde inte startas"));
    }
}

void frm_main::mnuCompare_Click() {
    const JobRequest request{JobKind::Compare, treeFolder()};
    StartRequest(request, [this, results = request.comparisons] { showComparison(*results); });
}

void frm_main::showComparison(const QList<ProgramComparison>& results) {
    bool shown = false;
    machineCopies_.clear();
    for (const ProgramComparison& c : results) {
        if (c.result == ProgramComparison::Result::OnlyLibrary) continue;
        remoteModel_->setComparison(c.name, ComparisonText(c.result));
        shown = true;
        if (c.result == ProgramComparison::Result::Different && !c.libraryFile.isEmpty())
            machineCopies_.insert(c.name, {c.libraryFile, c.machineText});
    }
    RemoteFilesLV->setColumnHidden(2, !shown);
    if (shown) fitComparison();
}

void frm_main::RemoteFilesLV_DblClick() {
    Traced(QStringLiteral("RemoteFilesLV_DblClick()"), [&] {
        const QModelIndex at = RemoteFilesLV->currentIndex();
        if (!at.isValid() || RemoteFilesLV->isColumnHidden(2)) return;
        const QString name = remoteModel_->text(at.row(), 0);
        if (remoteModel_->text(at.row(), 2) != ComparisonText(ProgramComparison::Result::Different)) return;
        const auto copy = machineCopies_.constFind(name);
        if (copy == machineCopies_.cend()) {
            setStatus(QStringLiteral("Skillnaden i %1 kan inte visas: maskinens kopia finns inte kvar. Jämför igen.").arg(name));
            return;
        }
        frm_difference difference(name, copy->first, cmbMaskiner->currentText(), copy->second, this);
        ExecDialog(difference);
    });
}

void frm_main::fitComparison() {
    // The columns as wide as their texts ("Bara i maskinen"), and the
    // machine's pane moved wider when the window's share leaves them clipped.
    int need = 2 * RemoteFilesLV->frameWidth() + RemoteFilesLV->verticalScrollBar()->sizeHint().width();
    for (int c = 0; c < 3; ++c) {
        RemoteFilesLV->resizeColumnToContents(c);
        need += RemoteFilesLV->columnWidth(c);
    }
    const double W = ScaleWidth();
    const double rightW = PixelsToTwips(need) + 240;
    if (W - W * SplitRatio >= rightW) return;
    float split = static_cast<float>((W - rightW) / W), folders = FolderSplitRatio;
    ClampRatios(W, split, folders);
    SplitRatio = split;
    FolderSplitRatio = folders;
    Form_Resize();
}

void frm_main::mnuDrip_Click() {
    const QStringList selected = localSelection();
    if (station_->machine().Typ != 3) {
        station_->Status(QStringLiteral("Droppmatning går bara till maskiner på ISO-remsa."));
        return;
    }
    if (selected.size() != 1) {
        station_->Status(QStringLiteral("Välj ett program att droppmata."));
        return;
    }
    bool ok = false;
    const QString from = QInputDialog::getText(this, QStringLiteral("Droppmatning"),
                                               QStringLiteral("Starta från N-nummer eller rad (tomt: från början):"),
                                               QLineEdit::Normal, QString(), &ok);
    if (!ok) return;
    const QString path = QDir(treeFolder()).filePath(selected.first());
    bool atToolChange = false;
    if (!from.trimmed().isEmpty()) {
        // The set-up that goes before the restart block is seen before it runs.
        iso::Restart plan = PlanRestartFile(path, from, false);
        if (!plan.error.isEmpty()) {
            const iso::Restart atTool = PlanRestartFile(path, from, true);
            if (!plan.stateUnknown || !atTool.error.isEmpty()) {
                ShowMessageBox(this, plan.error, QStringLiteral("Droppmatning"), MsgIcon::Exclamation,
                               OperatorPanel::Buttons::Ok);
                return;
            }
            if (ShowMessageBox(this, plan.error + QStringLiteral("\n\nStarta vid verktygsbytet på rad %1?").arg(atTool.resumeLine + 1),
                               QStringLiteral("Droppmatning"), MsgIcon::Question,
                               OperatorPanel::Buttons::YesNo) != OperatorPanel::Answer::Yes)
                return;
            plan = atTool;
            atToolChange = true;
        }
        QStringList blocks;
        for (const QByteArray& b : plan.preamble) blocks << FromAnsi(b);
        const QString text = QStringLiteral("Droppmatningen börjar på rad %1. Först sänds:\n\n%2\n\nStarta?")
                                 .arg(plan.resumeLine + 1)
                                 .arg(blocks.isEmpty() ? QStringLiteral("(ingen uppstart)") : blocks.join(QLatin1Char('\n')));
        if (ShowMessageBox(this, text, QStringLiteral("Droppmatning"), MsgIcon::Question, OperatorPanel::Buttons::YesNo) !=
            OperatorPanel::Answer::Yes)
            return;
    }
    // Runs at the machine's pace; the status line shows how far it has come.
    JobRequest request{JobKind::Drip, treeFolder(), {selected.first()}, from};
    request.atToolChange = atToolChange;
    StartRequest(request);
}
