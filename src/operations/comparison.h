#pragma once
// One program of a comparison between the library and a machine.
#include <QByteArray>
#include <QList>
#include <QString>

struct ProgramComparison {
    enum class Result { Same, Different, OnlyMachine, OnlyLibrary, Failed };
    QString name;  // the machine's name, or the library's without extension
    Result result = Result::Failed;
    // The first differing line, the library file of another case, or why
    // the program could not be compared.
    QString detail;
    // Different: the library's file and the machine's copy, for a side-by-side
    // view (empty past the size a difference is shown for).
    QString libraryFile;
    QByteArray machineText;
};

// "Lika", "Olika", "Bara i maskinen", "Bara i biblioteket", "Ej jämförd"
QString ComparisonText(ProgramComparison::Result result);
