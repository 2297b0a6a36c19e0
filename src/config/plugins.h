#pragma once
// Plug-ins of "plugins.ini" and the placeholders of their command lines.
#include <QList>
#include <QString>

struct PluginEntry {
    QString Name;
    QString Path;  // full path below the folder "plugins" of the program folder
    QString Param;
};

// Sections Plugin1 to Plugin10 in order, up to the first one without a name.
QList<PluginEntry> ReadPlugins();

// What the placeholders stand for at the moment a plug-in starts.
struct PlaceholderValues {
    QString treeFolder;   // #CD#
    QString machineName;  // #MASK#
    QString RootPath;     // #RD#
    QString DocPath;      // #DD#
    QString SendPath;     // #SD#
    QString Modell;       // #MOD#
    QString Extension;    // #EXT#
};

// Replaces #CD#, #MASK#, #RD#, #DD#, #SD#, #MOD#, #EXT# in that order, each on
// the result of the one before, matching case exactly.
QString ExpandPlaceholders(const QString& text, const PlaceholderValues& values);
