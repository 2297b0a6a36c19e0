#pragma once
// Machine definitions ("Maskin n" sections of the general settings file),
// model definition files (maskiner/<model>.dat) and the machine and model lists.
#include "common/panelentries.h"
#include <QList>
#include <QString>
#include <QStringList>

// The selected machine, one field per key of its definition.
struct MachineSettings {
    qint16 Typ = 1;  // 0 TCP + protocol 2, 1 serial + protocol 2, 2 serial + protocol 1, 3 serial ISO tape
    QString IP;
    QString Port;
    QString RootPath;
    QString RecPath;
    QString SendPath;
    QString Deleted;
    QString DocPath;
    quint8 ComPort = 1;
    QString BaudRate;
    QString Settings;
    QString Modell;
    quint8 EOB = 0;  // 0 CR LF, 1 LF, anything else no line end
    bool Conversion = false;
    QString Extension;
    qint32 RecTimeout = 4000;
    bool GetDir = true;
    // Typ 3 only: flow control ("XON", "CTS", "INGEN"), NULs before and
    // after a program sent, whether a send waits for the machine's first
    // DC1, and the comments that make a punched program a request.
    QString Handskakning = QStringLiteral("XON");
    int Ledare = 0;
    int Slut = 0;
    bool VantaDC1 = false;
    QString Begaran = QStringLiteral("SÄND");
    QString Lista = QStringLiteral("LISTA");
    // Characters other than DC1/DC3 and program text the machine may send
    // during a drip-feed before it is stopped (line noise); 0: never stopped.
    int Brustecken = 100;
};

// Folders a machine gets when its definition names none.
QString DefaultProgramFolder();
QString DefaultDocumentFolder();
QString DefaultTrashFolder();

// "Maskin " + slot
QString MachineSection(int slot);

// Reads slot's definition into ms, field by field in the order the main
// window applies it. A value that does not convert raises AppError (6 or 13)
// at that field: the fields before it already hold their new values, the
// ones after it keep what they had.
void LoadMachineSettings(MachineSettings& ms, int slot);

// The model definition file of model; the folder and the file are found
// without regard to case.
QString ModelFile(const QString& model);
// "Conversion" of the model (False without a file); raises on a bad Boolean.
bool ModelConversion(const QString& model);

// What a model supports, for the setup dialog.
struct ModelCaps {
    bool Conversion = false;
    bool Network = true;
    bool Protokoll1 = true;
    bool Protokoll2 = true;
    bool OnlyLF = false;
};
// Never raises: a value that does not convert keeps its default, so a damaged
// model file cannot stop the setup dialog.
ModelCaps ReadModelCaps(const QString& model);

// Dok1/Fil1 ... Dok99/Fil99 of section "Dokument", up to the first empty Dok.
QList<DocumentEntry> ModelDocuments(const QString& model);

struct MachineEntry {
    QString name;
    int slot = 0;
};
// Machines in use, slots 1 to 64 in slot order.
QList<MachineEntry> MachineList();
// Slot of the first entry named exactly name (case-sensitive); -1 when none.
int FindMachineSlot(const QList<MachineEntry>& list, const QString& name);

// Gives name to the first free slot of 1 to 16. False when all sixteen are in
// use, the name is not storable (empty, holds "]" or a line break) or the write
// failed.
bool AddMachineName(const QString& name);

// Names of the entries of folder matching pattern, each cut before its first
// "." and followed by CR LF, in case-insensitive name order.
QString ListFileNames(const QString& folder, const QString& pattern);
// Models that have a definition file, as the setup dialog lists them.
QStringList ModelList();
