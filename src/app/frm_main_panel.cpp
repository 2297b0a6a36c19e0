// The window as the station's operator panel: status bar, activity
// indicator, questions, and the two lists and the tree as the station sees them.
#include "app/frm_main.h"

#include "common/errorreport.h"
#include "controls/messagebox.h"
#include "app/remotefilelist.h"
#include "controls/reportlist.h"
#include "controls/statuspanel.h"
#include "library/ui/foldertree.h"
#include "library/ui/localfilelist.h"

#include <QFrame>
#include <QLabel>
#include <QLineEdit>

void frm_main::setStatus(const QString& text) { static_cast<StatusPanel*>(statusPanels_[1])->showText(text); }

void frm_main::setPanel(int panel, const QString& text) {
    if (panel == 1) setStatus(text);
    else if (panel >= 2 && panel <= 4) statusPanels_[panel]->setText(text);
}

void frm_main::showPilar(const QString& text, const QStringList& frames) {
    CurrentArrows = frames;
    lblXfer->setText(CurrentArrows.value(0));
    frameXfer->raise();
    frameXfer->show();
    XferTimer.start();
    txtXfer->setText(text);
}

void frm_main::hidePilar() {
    frameXfer->hide();
    XferTimer.stop();
}

void frm_main::XferTimer_Timer() {
    Guarded([&] {
        // The frame number runs on from the last animation.
        if (++xferTag_ > 5) xferTag_ = 1;
        lblXfer->setText(CurrentArrows.value(xferTag_ - 1));
    });
}

OperatorPanel::Answer frm_main::message(const QString& text, const QString& title, MsgIcon icon, Buttons buttons) {
    return ShowMessageBox(this, text, title, icon, buttons);
}

QCoro::Task<OperatorPanel::Answer> frm_main::ask(QString text, QString title, MsgIcon icon, Buttons buttons) {
    return AskMessageBox(this, std::move(text), std::move(title), icon, buttons);
}

std::optional<QString> frm_main::input(const QString& prompt, const QString& title, const QString& def) {
    return ShowInputBox(this, prompt, title, def);
}

void frm_main::fillRemoteList(const QList<RemoteEntry>& entries) {
    const QStringList chosen = RemoteFilesLV->selectedTexts();
    remoteModel_->setEntries(entries);
    RemoteFilesLV->selectTexts(chosen);
    clearComparison();  // a new list has not been compared
}

void frm_main::setProgress(int done, int total) {
    progress_->setText(total > 0 ? QStringLiteral("%1 av %2").arg(done).arg(total) : QString());
    progress_->setVisible(total > 0);
}

void frm_main::removeRemoteItem(const QString& name) { remoteModel_->removeName(name); }

QStringList frm_main::remoteNames() const {
    QStringList names;
    for (int i = 0; i < remoteModel_->rowCount(); ++i) names << remoteModel_->text(i, 0);
    return names;
}

QStringList frm_main::remoteSelection() const { return RemoteFilesLV->selectedTexts(); }

QStringList frm_main::localSelection() const { return FileListView->selectedTexts(); }

QString frm_main::treeFolder() const { return FolderTreeview->selectedFolder(); }

void frm_main::setTreeFolders(const QString& root, const QString& selected) {
    FolderTreeview->setRootFolder(root);
    FolderTreeview->setSelectedFolder(selected);
}

void frm_main::selectTreeFolder(const QString& folder) { FolderTreeview->setSelectedFolder(folder); }
