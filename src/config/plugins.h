#pragma once
// Plug-ins of "plugins.ini" and the placeholders of their command lines.
#include <QList>
#include <QString>
#include <QStringList>

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

// The file a plug-in opens: its Path with the placeholders expanded, the
// folder "plugins" and the file found without regard to case.
QString PluginFile(const PluginEntry& plugin, const PlaceholderValues& values);

// The parameter text split as a command line, then each word's placeholders
// expanded: a value is one argument whatever blanks it holds.
QStringList PluginArguments(const QString& param, const PlaceholderValues& values);

// How the shell's "open" starts a plug-in's file: a program (or a script,
// through the interpreter its "#!" line names, so that it needs no execute
// permission) with the arguments; anything else is a document for the
// desktop, which takes no arguments.
struct PluginStart {
    bool document = false;
    QString program;
    QStringList arguments;
};
PluginStart PluginLaunch(const QString& file, const QStringList& arguments);
