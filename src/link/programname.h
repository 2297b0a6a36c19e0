#pragma once
// Program names come from machines and operators; they become file names
// only after this check.
#include <QString>

// Empty when name is safe as a file name; otherwise why it is not.
QString ProgramNameProblem(const QString& name);

// folder + "/" + name + "." + extension (no dot when there is no extension),
// following an existing file of another case as Windows would.
QString ProgramPath(const QString& folder, const QString& name, const QString& extension);
