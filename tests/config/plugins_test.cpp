#include "config/plugins.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

TEST(PluginsTest, SectionsUpToTheFirstGapAndHowTheirFilesStart) {
    TestHome home;
    EXPECT_TRUE(ReadPlugins().isEmpty());  // no plugins.ini

    home.write("plugins.ini",
               "[Plugin1]\r\nName=Verktyg\r\nPath=tool.exe\r\nParam=#SD# #EXT#\r\n"
               "[Plugin2]\r\nName=Mapp\r\n"
               "[Plugin4]\r\nName=Aldrig\r\nPath=never.exe\r\n");
    QList<PluginEntry> plugins = ReadPlugins();
    ASSERT_EQ(plugins.size(), 2);
    // Without a Path the folder itself.
    const QString dir = home.path() + "/plugins/";
    EXPECT_EQ(QStringList({plugins[0].Name, plugins[0].Path, plugins[0].Param, plugins[1].Path, plugins[1].Param}),
              QStringList({"Verktyg", dir + "tool.exe", "#SD# #EXT#", dir, ""}));

    QByteArray eleven;
    for (int n = 1; n <= 11; ++n)
        eleven += "[Plugin" + QByteArray::number(n) + "]\r\nName=P" + QByteArray::number(n) + "\r\n";
    home.write("plugins.ini", eleven);
    plugins = ReadPlugins();
    ASSERT_EQ(plugins.size(), 10);
    EXPECT_EQ(plugins[9].Name, "P10");

    home.write("plugins.ini", "[Plugin1]\r\nPath=tool.exe\r\n[Plugin2]\r\nName=B\r\n");
    EXPECT_TRUE(ReadPlugins().isEmpty());

    // Scripts start through their first line, other files as documents (finding
    // the file in another case: Menus.PluginsAreListedUpToTheFirstGapAndStartWithTheMachinesValues).
    const QString script = home.write("plugins/run.py", "#!/usr/bin/env python3 -u\r\nprint()\r\n");
    const PluginStart s = PluginLaunch(script, {"a b", "c"});
    EXPECT_FALSE(s.document);
    EXPECT_EQ(s.program, "/usr/bin/env");
    EXPECT_EQ(s.arguments, (QStringList{"python3 -u", script, "a b", "c"}));
    EXPECT_TRUE(PluginLaunch(home.write("plugins/notes.txt", "#"), {"x"}).document);
}

TEST(PluginsTest, PlaceholdersInOrderEachValueOneArgument) {
    PlaceholderValues v{"/nc/cd", "Fräs 1", "/nc", "/nc/dok", "/nc/#MOD#/send", "TC-32B", "TC"};
    EXPECT_EQ(ExpandPlaceholders("/p/#MASK#.exe #CD#|#RD#|#DD#|#CD#", v), "/p/Fräs 1.exe /nc/cd|/nc|/nc/dok|/nc/cd");
    // A later placeholder inside an earlier value is replaced, an earlier one not; case counts.
    EXPECT_EQ(ExpandPlaceholders("#SD# #sd# #Ext# #SD", v), "/nc/TC-32B/send #sd# #Ext# #SD");
    v.Modell = "#CD#";
    EXPECT_EQ(ExpandPlaceholders("#MOD#", v), "#CD#");

    v.SendPath = "/srv/nc program/Fräs 1";
    EXPECT_EQ(PluginArguments("#SD# -x#EXT# \"a b\" #MASK#", v),
              (QStringList{"/srv/nc program/Fräs 1", "-xTC", "a b", "Fräs 1"}));
    // Nothing selected: empty name and folders.
    EXPECT_EQ(PluginArguments("-m \"#MASK#\" #SD#", PlaceholderValues()), (QStringList{"-m", "", ""}));
}
