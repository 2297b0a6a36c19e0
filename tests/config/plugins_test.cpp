#include "config/plugins.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

TEST(PluginsTest, SectionsUpToTheFirstGap) {
    TestHome home;
    EXPECT_TRUE(ReadPlugins().isEmpty());  // no plugins.ini

    home.write("plugins.ini",
               "[Plugin1]\r\nName=Verktyg\r\nPath=tool.exe\r\nParam=#SD# #EXT#\r\n"
               "[Plugin2]\r\nName=Mapp\r\n"
               "[Plugin4]\r\nName=Aldrig\r\nPath=never.exe\r\n");
    QList<PluginEntry> plugins = ReadPlugins();
    ASSERT_EQ(plugins.size(), 2);
    EXPECT_EQ(plugins[0].Name, "Verktyg");
    EXPECT_EQ(plugins[0].Path, home.path() + "/plugins/tool.exe");
    EXPECT_EQ(plugins[0].Param, "#SD# #EXT#");
    // Without a Path the folder itself.
    EXPECT_EQ(plugins[1].Path, home.path() + "/plugins/");
    EXPECT_EQ(plugins[1].Param, "");

    QByteArray eleven;
    for (int n = 1; n <= 11; ++n)
        eleven += "[Plugin" + QByteArray::number(n) + "]\r\nName=P" + QByteArray::number(n) + "\r\n";
    home.write("plugins.ini", eleven);
    plugins = ReadPlugins();
    ASSERT_EQ(plugins.size(), 10);
    EXPECT_EQ(plugins[9].Name, "P10");

    home.write("plugins.ini", "[Plugin1]\r\nPath=tool.exe\r\n[Plugin2]\r\nName=B\r\n");
    EXPECT_TRUE(ReadPlugins().isEmpty());
}

TEST(PluginsTest, PlaceholdersInOrder) {
    PlaceholderValues v;
    v.treeFolder = "/nc/cd";
    v.machineName = "Fräs 1";
    v.RootPath = "/nc";
    v.DocPath = "/nc/dok";
    v.SendPath = "/nc/#MOD#/send";  // a later placeholder inside an earlier value
    v.Modell = "TC-32B";
    v.Extension = "TC";

    EXPECT_EQ(ExpandPlaceholders("#SD# #EXT#", v), "/nc/TC-32B/send TC");
    EXPECT_EQ(ExpandPlaceholders("/p/plugins/#MASK#.exe", v), "/p/plugins/Fräs 1.exe");
    EXPECT_EQ(ExpandPlaceholders("#CD#|#RD#|#DD#|#CD#", v), "/nc/cd|/nc|/nc/dok|/nc/cd");
    EXPECT_EQ(ExpandPlaceholders("#sd# #Ext# #SD", v), "#sd# #Ext# #SD");

    // An earlier value is not re-read by a placeholder already passed.
    v.Modell = "#CD#";
    EXPECT_EQ(ExpandPlaceholders("#MOD#", v), "#CD#");

    // Nothing selected: empty name and folders.
    EXPECT_EQ(ExpandPlaceholders("-m \"#MASK#\" #SD#", PlaceholderValues()), "-m \"\" ");
}

TEST(PluginsTest, FileFoundWithoutCaseAndStartedByKind) {
    TestHome home;
    const QString script = home.write("Plugins/Run.PY", "#!/usr/bin/env python3 -u\r\nprint()\r\n");
    const QString doc = home.write("Plugins/notes.txt", "#");
    PlaceholderValues v;
    v.Extension = "py";
    const PluginEntry entry{"Kör", home.path() + "/plugins/run.#EXT#", ""};
    ASSERT_EQ(PluginFile(entry, v), script);

    const PluginStart s = PluginLaunch(script, "\"a b\" c");
    EXPECT_FALSE(s.document);
    EXPECT_EQ(s.program, "/usr/bin/env");
    EXPECT_EQ(s.arguments, (QStringList{"python3 -u", script, "a b", "c"}));
    EXPECT_TRUE(PluginLaunch(doc, "x").document);
    EXPECT_TRUE(PluginLaunch(home.path() + "/plugins/missing.exe", "").document);
}
