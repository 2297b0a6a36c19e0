#pragma once
// Program names come from machines and operators; they become file names
// only after this check.
#include <QString>

struct MachineSettings;

// Empty when name is safe as a file name; otherwise why it is not.
QString ProgramNameProblem(const QString& name);

// Empty when a name a machine sent may name a file here: safe as a file
// name, and one Windows could hold and an operator would not mistake (no
// wildcard or reserved characters, not only dots, no trailing dot or blank,
// no device name such as CON or COM1, with or without an extension), and
// not the name of the history's folder.
QString MachineNameProblem(const QString& name);

// Empty when name can go to the machine as it is: safe as a file name,
// carried by the link, and not longer than the request's name field (a
// longer one would be cut there and reach another program).
QString ProgramNameRefusal(const QString& name, const MachineSettings& ms);

// Why no program can go to machineName while its "Extension" is empty: every
// program name, the file name before its extension, would come out empty.
QString MissingExtensionText(const QString& machineName);

// folder + "/" + name + "." + extension (no dot when there is no extension),
// following an existing file of another case as Windows would.
QString ProgramPath(const QString& folder, const QString& name, const QString& extension);
