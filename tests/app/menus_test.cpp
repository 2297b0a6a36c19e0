// The plug-in menu and the menu entries that act on the window itself.
#include "windowfixture.h"

#include <QAction>
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
                 "[Plugin2]\r\nName=Manual\r\nPath=manual.pdf\r\n"
                 "[Plugin4]\r\nName=Aldrig\r\nPath=x\r\n");
    const QString tool = h.home.write("plugins/tool.sh", "#!/bin/sh\n");
    QFile::setPermissions(tool, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    h.ini(h.machine(1, "Fräs"));
    frm_main& w = h.open();
    auto* menu = w.findChild<QMenu*>("mnuPlugin");
    EXPECT_TRUE(menu->menuAction()->isVisible());
    EXPECT_EQ(Entries(w, "mnuPlugin"), (QStringList{"Verktyg", "Manual"}));

    menu->actions()[0]->trigger();
    ASSERT_EQ(h.ui.started.size(), 1);
    EXPECT_EQ(h.ui.started[0], (QStringList{tool, h.send, "NC"}));
    menu->actions()[1]->trigger();  // not a program: opened with its associated one
    ASSERT_EQ(h.ui.opened.size(), 1);
    EXPECT_EQ(h.ui.opened[0], QUrl::fromLocalFile(h.home.file("plugins/manual.pdf")));
}
