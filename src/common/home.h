#pragma once
// The program folder: settings, logs, model files and plug-ins live here.
#include <QString>

// --home when given; else the user's data folder (~/.local/share/Fenmo32),
// for root too: never the executable's folder, which may be /usr/bin.
QString ProgramFolder();
void SetProgramFolder(const QString& folder);
// user, made on first use from the default files under defaults
// (errors.ini, maskiner/).
QString UserProgramFolder(const QString& user, const QString& defaults);
// folder + "/" + name
QString InProgramFolder(const QString& name);
// The general settings file, "Fenmo32.INI" in the program folder.
QString GeneralSettingsFile();

// A file or folder the program folder may hold of its own (errors.ini,
// maskiner): the program folder's when there, else the installed one under
// share/fenmo32. Which one is used is logged once for each name.
QString SharedFile(const QString& name);
