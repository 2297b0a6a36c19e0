// The plug-in menu and the menu entries that act on the window itself.
#include "windowfixture.h"

#include <QAction>
#include <QFileInfo>
#include <QMenu>

namespace {
QStringList Entries(frm_main& w, const char* menu) {
    QStringList out;
    for (QAction* a : w.findChild<QMenu*>(QLatin1String(menu))->actions())
        if (a->isVisible()) out << a->text();
    return out;
}
}  // namespace

TEST(Menus, PluginsAreListedUpToTheFirstGapAndStartWithTheMachinesValues) {
    WindowHome h;
    h.home.write("plugins.ini",
                 "[Plugin1]\r\nName=Verktyg\r\nPath=tool.sh\r\nParam=#SD# #EXT#\r\n"
                 "[Plugin2]\r\nName=Manual\r\nPath=manual.pdf\r\nParam=#EXT#\r\n"
                 "[Plugin3]\r\nName=Borta\r\nPath=borta #EXT#.exe\r\n"
                 "[Plugin4]\r\nName=Trasig\r\nPath=trasig.sh\r\n"
                 "[Plugin6]\r\nName=Aldrig\r\nPath=x\r\n");
    // Folder and script named in other case than the ini, and the script
    // without execute permission (as copied from a Windows share).
    const QByteArray out = h.home.file("args.txt").toUtf8();
    h.home.write("Plugins/Tool.SH", "#!/bin/sh\nprintf '%s\\n' \"$@\" \"$(pwd -P)\" > '" + out + ".tmp' && mv '" + out +
                                        ".tmp' '" + out + "'\n");
    const QString manual = h.home.write("Plugins/manual.pdf", "%PDF");
    const QString broken = h.home.write("Plugins/trasig.sh", "#!/finns/inte/sh\n");
    h.ini(h.machine(1, "Fräs"));
    frm_main& w = h.open();
    auto* menu = w.findChild<QMenu*>("mnuPlugin");
    EXPECT_TRUE(menu->menuAction()->isVisible());
    EXPECT_EQ(Entries(w, "mnuPlugin"), (QStringList{"Verktyg", "Manual", "Borta", "Trasig"}));

    Hooks().startDetached = nullptr;  // a real process
    menu->actions()[0]->trigger();
    ASSERT_TRUE(WaitUntil([&] { return h.home.exists("args.txt"); }));
    EXPECT_EQ(h.home.read("args.txt"),
              h.send.toUtf8() + "\nNC\n" + QFileInfo(h.home.path()).canonicalFilePath().toUtf8() + "\n");
    menu->actions()[1]->trigger();  // not a program: opened with its associated one
    ASSERT_EQ(h.ui.opened.size(), 1);
    EXPECT_EQ(h.ui.opened[0], QUrl::fromLocalFile(manual));

    // Plug-ins that cannot start: a line each in the log, nothing to the operator.
    menu->actions()[2]->trigger();
    menu->actions()[3]->trigger();
    const QStringList log = QString::fromUtf8(h.home.read("fenmo32.log")).split("\r\n", Qt::SkipEmptyParts);
    ASSERT_GE(log.size(), 3);
    // A document takes no parameters: the log says they were left out.
    EXPECT_TRUE(log[log.size() - 3].endsWith(" - Plugin \"Manual\" öppnat som dokument: " + manual +
                                             ". Parametrarna skickades inte med (ett dokument tar inga): NC."))
        << log[log.size() - 3].toStdString();
    EXPECT_TRUE(log[log.size() - 2].endsWith(" - Plugin \"Borta\" kunde inte startas: " + h.home.path() +
                                "/plugins/borta NC.exe (filen finns inte)."))
        << log[log.size() - 2].toStdString();
    EXPECT_TRUE(log.last().endsWith(" - Plugin \"Trasig\" kunde inte startas: " + broken +
                                " (/finns/inte/sh kunde inte startas)."))
        << log.last().toStdString();
    EXPECT_TRUE(h.ui.shown.isEmpty());
}
