// The local library in the window: folder tree and file list handlers, the
// commands "Editera", "Kommentar", "Skapa Mapp" and "Historik...", and the
// machine list's own handlers.
#include "app/frm_main.h"

#include "controls/messagebox.h"
#include "common/errorreport.h"
#include "common/ini.h"
#include "common/paths.h"
#include "controls/reportlist.h"
#include "library/history.h"
#include "library/programfile.h"
#include "library/ui/foldertree.h"
#include "library/ui/frm_history.h"
#include "library/ui/frm_info.h"
#include "library/ui/localfilelist.h"
#include "station/station.h"

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>

namespace {
bool OnlyCtrl(Qt::KeyboardModifiers m) { return (m & ~Qt::KeypadModifier) == Qt::ControlModifier; }
}  // namespace

QString frm_main::selectedFilePath() const { return JoinPath(treeFolder(), FileListView->selectedItemText()); }

void frm_main::UpdateLocalFolders() {
    Traced(QStringLiteral("UpdateLocalFolders()"), [&] {
        cmdSend->setEnabled(false);
        const QString folder = treeFolder();
        FileListView->FillFileList(folder, QStringLiteral("*.") + station_->machine().Extension);
        txtLocalHeader->setText(folder);
    });
}

void frm_main::FolderTreeView_FolderClick() {
    Traced(QStringLiteral("FolderTreeView_FolderClick()"), [&] {
        clearComparison();  // it compared another folder
        UpdateLocalFolders();
    });
}

void frm_main::FileListView_Click() {
    Traced(QStringLiteral("FileListView_Click()"), [&] {
        if (!FileListView->hasSelection()) return;
        cmdSend->setEnabled(true);
        cmdEdit->setEnabled(FileKind(FileListView->selectedItemText()) == 2);
    });
}

void frm_main::FileListView_DblClick() {
    Guarded([&] {
        if (!FileListView->hasSelection()) return;
        frm_info info(selectedFilePath(), this);
        ExecDialog(info);
    });
}

void frm_main::FileListView_ColumnClick(int column) {
    Guarded([&] { LV_ColumnSort(*FileListView, column); });
}

void frm_main::FileListView_KeyDown(int key, Qt::KeyboardModifiers shift) {
    Traced(QStringLiteral("FileListView_KeyDown()"), [&] {
        if (key == Qt::Key_A && OnlyCtrl(shift)) FileListView->selectAll();
    });
}

void frm_main::cmdEdit_Click() {
    Traced(QStringLiteral("cmdEdit_Click()"), [&] {
        if (!FileListView->hasSelection()) return;
        const QString editor = ReadIni(QStringLiteral("Program"), QStringLiteral("Editor"), QString());
        const QString path = selectedFilePath();
        // The path goes to the editor as one argument, blanks and all.
        if (!editor.isEmpty())
            StartDetached(editor, {QDir::toNativeSeparators(path)});
        else
            OpenWithDesktop(QUrl::fromLocalFile(path));
    });
}

void frm_main::cmdKommentar_Click() {
    Guarded([&] {
        if (!FileListView->hasSelection()) return;
        const QString path = selectedFilePath();
        if (!FileExists(path)) {
            message(FileResult{false, Err::FileNotFound, ErrorDescription(Err::FileNotFound)}.message(), AppTitle(),
                    MsgIcon::None, Buttons::Ok);
            return;
        }
        // The reads raise for a file that cannot be read: it is reported
        // and left as it is.
        const QByteArray before = FileDigest(path);
        const QString current = FileComment(path);
        const QByteArray text = ReadProgramFile(path);
        const std::optional<QString> answer =
            input(QStringLiteral("Ange kommentar:"), QStringLiteral("Kommentar"), current);
        if (!answer) return;
        // Nothing to keep and nothing new: rewriting would only strip the markers.
        if (answer->isEmpty() && current.isEmpty()) return;
        // A machine may have stored the program while the box was open:
        // writing the text read before would undo that store.
        if (FileDigest(path) != before) {
            message(QStringLiteral("Filen ändrades medan kommentaren skrevs. Kommentaren sparades inte; "
                                   "välj filen och försök igen."),
                    AppTitle(), MsgIcon::Exclamation, Buttons::Ok);
            return;
        }
        // Without its earlier version kept, the file is not touched; the
        // same comment again changes nothing and keeps nothing.
        ProgramFileWriter writer;
        FileResult r = writer.open(path, *answer);
        if (r.ok) {
            writer.write(text.constData(), text.size());
            r = writer.finish();
        }
        if (r.ok) r = KeepVersion(writer, QStringLiteral("Kommentar"));
        if (r.ok) r = writer.commit();
        if (!r.ok) message(r.message(), AppTitle(), MsgIcon::None, Buttons::Ok);
    });
}

void frm_main::cmdNewFolder_Click() {
    Traced(QStringLiteral("cmdNewFolder_Click()"), [&] {
        const std::optional<QString> name =
            input(QStringLiteral("Ange namn på ny mapp:"), QStringLiteral("Ny Mapp"), QString());
        if (!name || name->isEmpty()) return;
        const QString parent = treeFolder();
        const QString path = JoinPath(parent, *name);
        if (FolderExists(path)) {
            message(QStringLiteral("Mappen finns redan. Försök igen."), QStringLiteral("Fel"), MsgIcon::Critical,
                    Buttons::Ok);
            return;
        }
        // One new folder inside the selected one, never somewhere else.
        const bool plainName = !name->contains(QLatin1Char('/')) && !name->contains(QLatin1Char('\\')) &&
                               *name != QLatin1String(".") && *name != QLatin1String("..");
        if (!plainName || parent.isEmpty() || !FolderExists(parent) || !QDir().mkdir(path)) {
            message(QStringLiteral("Kunde inte skapa mappen \"") + *name + QStringLiteral("\"."), QStringLiteral("Fel"),
                    MsgIcon::Critical, Buttons::Ok);
            return;
        }
        FolderTreeview->refresh();
        FolderTreeview->setSelectedFolder(path);
        // The list shows the folder the tree now has selected.
        UpdateLocalFolders();
    });
}

void frm_main::mnuArkivHistorik_Click() {
    Guarded([&] {
        if (!FileListView->hasSelection()) return;
        frm_history history(selectedFilePath(), this);
        ExecDialog(history);
        if (history.restored()) UpdateLocalFolders();
    });
}

void frm_main::RemoteFilesLV_Click() {
    Traced(QStringLiteral("RemoteFilesLV_Click()"), [&] {
        if (!RemoteFilesLV->hasSelection()) return;
        applyCapabilities();
    });
}

void frm_main::RemoteFilesLV_ColumnClick(int column) {
    Guarded([&] { LV_ColumnSort(*RemoteFilesLV, column); });
}

void frm_main::RemoteFilesLV_KeyDown(int key, Qt::KeyboardModifiers shift) {
    Traced(QStringLiteral("RemoteFilesLV_KeyDown()"), [&] {
        if (key == Qt::Key_A && OnlyCtrl(shift)) {
            RemoteFilesLV->selectAll();
            applyCapabilities();
        }
    });
}

void frm_main::RemoteFilesLV_GotFocus() { applyCapabilities(); }
