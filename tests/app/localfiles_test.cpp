// The local side: folder tree, file list, and the commands on local files.
#include "controls/diffview.h"
#include "library/history.h"
#include "library/ui/frm_info.h"
#include "library/localfilescan.h"
#include "windowfixture.h"

#include <QFileInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <unistd.h>

namespace {
QByteArray Bytes(int n) { return QByteArray(n, 'X'); }

struct Library : WindowHome {
    QAbstractItemView* list = nullptr;
    QPushButton* send = nullptr;
    QPushButton* edit = nullptr;

    explicit Library(const QByteArray& program = {}) { ini(program + machine(1, "Fräs")); }
    void start() {
        open();
        list = child<QAbstractItemView>("FileListView");
        send = child<QPushButton>("cmdSend");
        edit = child<QPushButton>("cmdEdit");
    }
    QString cell(const QString& name, int column) const {
        const QStringList names = Column(list, 0);
        const int row = names.indexOf(name);
        return row < 0 ? "<none>" : Column(list, column)[row];
    }
};
}  // namespace

TEST(LocalList, ColumnsSizesCommentsAndPictures) {
    Library h;
    for (int size : {64, 128000}) h.program(QString("O%1.NC").arg(size), Bytes(size));
    h.program("O1.NC", "(MY NOTE)%O1(SHAFT)\r\nG0\r\n%");
    h.program("K100.NC", "%K100~ABCDEFGHIJKLMNOPQRSTU\r\n%");
    h.program("T5.NC", "T5\r\n");
    h.program("X9.NC", "");
    h.program("O7.TXT", "other extension");
    h.program("NOEXT", "no extension");
    QDir().mkpath(h.WindowHome::send + "/SUB.NC");  // a folder that matches
    h.start();

    EXPECT_EQ(Column(h.list, 0), (QStringList{"K100.NC", "O1.NC", "O128000.NC", "O64.NC", "T5.NC", "X9.NC"}));
    const std::tuple<const char*, int, const char*> cells[] = {
        {"O64.NC", 1, "64 B"}, {"O128000.NC", 1, "125 kB"}, {"O1.NC", 2, "SHAFT"}, {"O1.NC", 3, "MY NOTE"}};
    for (auto [name, column, text] : cells) EXPECT_EQ(h.cell(name, column), text) << name << " " << column;
    const QDateTime mtime = QFileInfo(h.WindowHome::send + "/O1.NC").lastModified();
    EXPECT_EQ(h.cell("O1.NC", 4), mtime.toString("yyyy-MM-dd HH:mm:ss"));

    // A picture of its own for each kind, none for other names.
    QAbstractItemModel* m = h.list->model();
    const QStringList names = Column(h.list, 0);
    auto picture = [&](const char* name) {
        const QIcon icon = m->data(m->index(names.indexOf(QLatin1String(name)), 0), Qt::DecorationRole).value<QIcon>();
        return icon.isNull() ? QImage() : icon.pixmap(16).toImage();
    };
    const QImage o = picture("O1.NC"), k = picture("K100.NC"), t = picture("T5.NC");
    EXPECT_TRUE(!o.isNull() && o != k && k != t && t != o && picture("X9.NC").isNull());

    // An unreadable file is listed without comments.
    if (geteuid() != 0) {
        QFile::setPermissions(h.WindowHome::send + "/O1.NC", QFileDevice::WriteOwner);
        const auto scanned = ScanProgramFolder(h.WindowHome::send, "O1.NC");
        ASSERT_EQ(scanned.size(), 1u);
        EXPECT_TRUE(scanned[0].fileComment.isEmpty());
    }
    EXPECT_TRUE(h.ui.shown.isEmpty());
}

TEST(LocalList, SortingSelectionAndButtons) {
    Library h;
    h.program("O2.NC", Bytes(1000));
    h.program("O1.NC", Bytes(200 * 1024));
    h.program("K100.NC", Bytes(3 * 1024));
    h.start();
    EXPECT_FALSE(h.send->isEnabled());
    EXPECT_FALSE(h.edit->isEnabled());

    // Sizes by bytes, whatever their unit.
    ClickHeader(h.list, 1);
    EXPECT_EQ(Column(h.list, 1), (QStringList{"1000 B", "3 kB", "200 kB"}));
    ClickHeader(h.list, 0);
    ClickHeader(h.list, 0);
    EXPECT_EQ(Column(h.list, 0), (QStringList{"O2.NC", "O1.NC", "K100.NC"}));

    ASSERT_TRUE(ClickRow(h.list, "K100.NC"));
    EXPECT_TRUE(h.send->isEnabled());
    EXPECT_FALSE(h.edit->isEnabled());
    ASSERT_TRUE(ClickRow(h.list, "O1.NC"));
    EXPECT_TRUE(h.edit->isEnabled());
    ASSERT_TRUE(ClickRow(h.list, "O2.NC", Qt::ControlModifier));
    EXPECT_EQ(h.w().localSelection(), (QStringList{"O2.NC", "O1.NC"}));  // shown order

    h.list->clearSelection();
    Key(h.list, Qt::Key_A, Qt::ControlModifier | Qt::ShiftModifier);
    EXPECT_TRUE(h.w().localSelection().isEmpty());
    Key(h.list, Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(h.w().localSelection().size(), 3);

    // A refresh keeps the sort and disables "Sänd" until the next click.
    h.program("O3.NC", Bytes(1));
    h.w().UpdateLocalFolders();
    EXPECT_EQ(Column(h.list, 0), (QStringList{"O3.NC", "O2.NC", "O1.NC", "K100.NC"}));
    EXPECT_FALSE(h.send->isEnabled());
}

TEST(LocalList, FolderTreeClickShowsThatFolder) {
    Library h;
    QDir().mkpath(h.WindowHome::send + "/Gamla");
    h.program("Gamla/O9.NC", "%O9\r\n%");
    ASSERT_TRUE(KeepVersion(h.WindowHome::send + "/Gamla/O9.NC", "x").ok);
    h.start();
    auto* tree = h.child<QTreeWidget>("FolderTreeview");
    ASSERT_EQ(tree->topLevelItemCount(), 1);  // the root: the program folder
    QTreeWidgetItem* ncprog = nullptr;
    for (int i = 0; i < tree->topLevelItem(0)->childCount(); ++i) {
        if (tree->topLevelItem(0)->child(i)->text(0) == QLatin1String("ncprog"))
            ncprog = tree->topLevelItem(0)->child(i);
        EXPECT_NE(tree->topLevelItem(0)->child(i)->text(0), "historik");
    }
    ASSERT_TRUE(ncprog);
    EXPECT_TRUE(ncprog->isSelected());
    ASSERT_EQ(ncprog->childCount(), 1);
    QTreeWidgetItem* old = ncprog->child(0);
    tree->scrollToItem(old);
    Click(tree->viewport(), tree->visualItemRect(old).center());
    EXPECT_EQ(h.w().treeFolder(), h.WindowHome::send + "/Gamla");
    EXPECT_EQ(Column(h.list, 0), QStringList{"O9.NC"});
    EXPECT_EQ(h.child<QLineEdit>("txtLocalHeader")->text(), h.WindowHome::send + "/Gamla");

    // The folder goes away: F5 shows an empty list, no message.
    QDir(h.WindowHome::send + "/Gamla").removeRecursively();
    Key(h.list, Qt::Key_F5);
    EXPECT_EQ(h.list->model()->rowCount(), 0);
    EXPECT_TRUE(h.ui.shown.isEmpty());
}

TEST(LocalCommands, CommentIsWrittenOnlyWhenTheFileCouldBeRead) {
    Library h;
    h.program("O1.NC", "%O1(A)\nG0\n%");
    h.program("O2.NC", "(OLD)%O2\r\n%");
    h.start();
    // "Kommentar" on the file clicked (null: the one selected), answered with text (nullopt: cancelled).
    const auto comment = [&](const char* file, std::optional<QString> text, bool answer = true) {
        if (file) EXPECT_TRUE(ClickRow(h.list, file)) << file;
        h.ui.shown.clear();
        if (answer) h.ui.inputs.enqueue(text);
        h.child<QPushButton>("cmdKommentar")->click();
    };

    comment("O1.NC", "");  // no comment before, none given: the file stays as it is
    EXPECT_EQ(h.home.read("ncprog/O1.NC"), QByteArray("%O1(A)\nG0\n%"));
    comment(nullptr, "NY");
    EXPECT_EQ(h.home.read("ncprog/O1.NC"), QByteArray("(NY)%O1(A)\r\nG0\r\n%"));
    const QList<HistoryVersion> kept = ListVersions(h.WindowHome::send + "/O1.NC");
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(kept[0].origin, "Kommentar");
    EXPECT_EQ(kept[0].size, 11);
    // A machine stores the program while the box is open: its store stands.
    const auto input = Hooks().input;
    Hooks().input = [&](const QString&, const QString&, const QString&) -> std::optional<QString> {
        h.program("O1.NC", "%O1(MASKIN)\r\n%");
        return QString("NYARE");
    };
    comment(nullptr, "", false);
    Hooks().input = input;
    EXPECT_EQ(h.home.read("ncprog/O1.NC"), QByteArray("%O1(MASKIN)\r\n%"));
    ASSERT_EQ(h.ui.shown.size(), 1);
    EXPECT_TRUE(h.ui.shown[0].text.contains("ändrades")) << h.ui.shown[0].text.toStdString();
    EXPECT_EQ(ListVersions(h.WindowHome::send + "/O1.NC").size(), 1);

    // No earlier version kept, no new comment.
    QDir(h.home.file("historik")).removeRecursively();
    h.home.write("historik", "");
    comment(nullptr, "NYARE");
    ASSERT_EQ(h.ui.shown.size(), 1);
    EXPECT_TRUE(h.ui.shown[0].text.contains("historiken")) << h.ui.shown[0].text.toStdString();
    EXPECT_EQ(h.home.read("ncprog/O1.NC"), QByteArray("%O1(MASKIN)\r\n%"));
    QFile::remove(h.home.file("historik"));

    comment("O2.NC", std::nullopt);
    EXPECT_EQ(h.ui.prompts.last(), "Kommentar|Ange kommentar:|OLD");
    EXPECT_EQ(h.home.read("ncprog/O2.NC"), QByteArray("(OLD)%O2\r\n%"));

    // The listed file became something that cannot be read as a program.
    QFile::remove(h.WindowHome::send + "/O2.NC");
    QDir().mkpath(h.WindowHome::send + "/O2.NC");
    comment(nullptr, {}, false);
    EXPECT_EQ(h.ui.reports(), 1);
    EXPECT_TRUE(QFileInfo(h.WindowHome::send + "/O2.NC").isDir());
    EXPECT_FALSE(h.station().aborted());  // a file's error in the window stops no transfer

    // The listed file was deleted meanwhile: reported, nothing created.
    QDir(h.WindowHome::send + "/O2.NC").removeRecursively();
    comment(nullptr, {}, false);
    ASSERT_EQ(h.ui.shown.size(), 1);
    EXPECT_TRUE(h.ui.shown[0].text.startsWith("Filfel (53): "));
    EXPECT_FALSE(h.home.exists("ncprog/O2.NC"));
}

TEST(LocalCommands, HistoryRestoresAVersionAndInfoShowsTheFile) {
    Library h;
    h.program("O1.NC", "%O1\r\nG0\r\nG1\r\n%");
    h.program("O2.NC", "(NOTE)%O2\r\n" + Bytes(1524) + "%");  // 1536 bytes
    h.start();
    ASSERT_TRUE(ClickRow(h.list, "O1.NC"));
    h.ui.inputs.enqueue("NY");
    h.child<QPushButton>("cmdKommentar")->click();

    QStringList rows, versions;
    h.ui.onDialog = [&](QDialog& d) {
        auto* list = d.findChild<QTreeWidget*>("lstVersions");
        for (int i = 0; i < list->topLevelItemCount(); ++i) versions << list->topLevelItem(i)->text(2);
        for (const DiffRow& r : d.findChild<DiffView*>("grdDiff")->rows()) rows << r.before + "|" + r.after;
        h.ui.answers.enqueue(OperatorPanel::Answer::Yes);
        d.findChild<QPushButton*>("cmdRestore")->click();
    };
    h.w().findChild<QAction*>("mnuArkivHistorik")->trigger();
    EXPECT_EQ(versions, QStringList{"Kommentar"});
    EXPECT_EQ(rows, (QStringList{"%O1|(NY)%O1", "G0|G0", "G1|G1", "%|%"}));
    EXPECT_EQ(h.home.read("ncprog/O1.NC"), "%O1\r\nG0\r\nG1\r\n%");
    EXPECT_EQ(ListVersions(h.WindowHome::send + "/O1.NC").size(), 2);

    // "Info" on a double click.
    QMap<QString, QString> fields;
    h.ui.onDialog = [&](QDialog& d) {
        for (const char* name : {"txtFileName", "txtBSize", "txtSize", "txtChanged", "txtComment", "txtProgram", "txtFolder"})
            fields[QLatin1String(name)] = static_cast<frm_info&>(d).field(name);
    };
    DoubleClickRow(h.list, "O2.NC");
    ASSERT_EQ(h.ui.dialogs, 2);
    const QString changed = QFileInfo(h.WindowHome::send + "/O2.NC").lastModified().toString("yyyy-MM-dd HH:mm:ss");
    EXPECT_EQ(fields, (QMap<QString, QString>{{"txtFileName", "O2.NC"}, {"txtBSize", "12 block"},
                                              {"txtSize", "2 kB (1536 byte)"}, {"txtComment", "NOTE"},
                                              {"txtChanged", changed}, {"txtProgram", ""}, {"txtFolder", ""}}));

    // A file that is not there: only the comment field, empty.
    frm_info missing(h.WindowHome::send + "/O404.NC");
    EXPECT_TRUE(missing.field("txtFileName").isEmpty());
    EXPECT_TRUE(missing.field("txtComment").isEmpty());
}

TEST(LocalCommands, NewFolder) {
    Library h;
    QDir().mkpath(h.WindowHome::send + "/Finns");
    h.start();
    auto* button = h.child<QPushButton>("cmdNewFolder");

    // One that is there, one that leads elsewhere, and one the file system refuses.
    const QString tooLong(300, QLatin1Char('x'));
    const std::pair<QString, QString> refused[] = {{"Finns", "Mappen finns redan. Försök igen."},
                                                   {"a/b", "Kunde inte skapa mappen \"a/b\"."},
                                                   {tooLong, "Kunde inte skapa mappen \"" + tooLong + "\"."}};
    for (const auto& [name, text] : refused) {
        h.ui.shown.clear();
        h.ui.inputs.enqueue(name);
        button->click();
        ASSERT_EQ(h.ui.shown.size(), 1);
        EXPECT_EQ(h.ui.shown[0].text, text);
        EXPECT_EQ(h.ui.shown[0].title, "Fel");
        EXPECT_EQ(h.ui.shown[0].icon, MsgIcon::Critical);
    }
    EXPECT_EQ(h.ui.prompts.last(), "Ny Mapp|Ange namn på ny mapp:|");
    EXPECT_FALSE(QFileInfo::exists(h.WindowHome::send + "/a"));

    h.ui.shown.clear();
    h.ui.inputs.enqueue(QString());  // empty answer: nothing
    button->click();
    h.ui.inputs.enqueue("Ny del");
    button->click();
    EXPECT_TRUE(h.ui.shown.isEmpty());
    const QString made = h.WindowHome::send + "/Ny del";
    EXPECT_EQ(h.w().treeFolder(), made);
    auto* tree = h.child<QTreeWidget>("FolderTreeview");
    ASSERT_TRUE(tree->currentItem());
    EXPECT_EQ(tree->currentItem()->text(0), "Ny del");
    EXPECT_EQ(h.child<QLineEdit>("txtLocalHeader")->text(), made);
}

TEST(LocalCommands, EditOpensTheEditorOrTheDesktopsProgram) {
    for (const QString editor : {QString(), QString("/opt/ncedit/bin/ncedit")}) {
        Library h(editor.isEmpty() ? QByteArray() : "Editor=" + editor.toUtf8() + "\r\n");
        const QString file = h.program("O1 A.NC", "%\r\n%");
        h.start();
        ASSERT_TRUE(ClickRow(h.list, "O1 A.NC"));
        h.edit->click();
        const QList<QUrl> opened{QUrl::fromLocalFile(file)};
        const QList<QStringList> started{{editor, QDir::toNativeSeparators(file)}};
        EXPECT_EQ(h.ui.opened, editor.isEmpty() ? opened : QList<QUrl>());
        EXPECT_EQ(h.ui.started, editor.isEmpty() ? QList<QStringList>() : started);
    }
}
