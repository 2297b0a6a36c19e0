#pragma once
// The program folder: settings, logs, model files and plug-ins live here.
#include <QString>

// --home when given; else the executable's folder, or, for an installed
// program whose folder the user cannot write, the user's data folder.
QString ProgramFolder();
void SetProgramFolder(const QString& folder);
// own when writable; else user, which is made on first use from the
// default files under defaults (errors.ini, maskiner/).
QString ChooseProgramFolder(const QString& own, const QString& user, const QString& defaults);
// folder + "/" + name
QString InProgramFolder(const QString& name);
// The general settings file, "Fenmo32.INI" in the program folder.
QString GeneralSettingsFile();

// A file or folder the program folder may hold of its own (errors.ini,
// maskiner): the program folder's when there, else the installed one under
// share/fenmo32. Which one is used is logged once for each name.
QString SharedFile(const QString& name);
