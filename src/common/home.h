#pragma once
// The program folder: settings, logs, model files and plug-ins live here.
#include <QString>

QString ProgramFolder();
void SetProgramFolder(const QString& folder);
// folder + "/" + name
QString InProgramFolder(const QString& name);
// The general settings file, "Fenmo32.INI" in the program folder.
QString GeneralSettingsFile();
