#pragma once
// The setup dialog's side of a machine definition: what it reads, with its
// own defaults and without ever failing, and what it writes back.
#include <QString>
#include <optional>

// One machine as the setup dialog shows it. A stored value that does not
// convert (or an "EOB" other than 0 and 1) is empty here: the dialog then
// shows what it can and leaves that control alone.
struct SetupMachine {
    std::optional<int> Typ;
    bool OnlyLF = false;
    QString IP;
    QString Port;
    QString Modell;
    QString ComPort;
    QString BaudRate;
    QString Settings;
    QString RootPath;
    QString RecPath;
    QString SendPath;
    QString Deleted;
    QString DocPath;
    QString Extension;
    std::optional<bool> GetDir;
    std::optional<int> EOB;
    std::optional<bool> ShowAllFiles;
    // ISO tape (Typ 3).
    QString Handskakning;
    int Ledare = 0;
    int Slut = 0;
    QString Begaran;
    int Brustecken = 100;
};
SetupMachine ReadSetupMachine(int slot);

// What saving writes. Typ empty and the controls without a chosen entry
// write nothing, so a stored value the dialog could not show is kept.
struct SetupSave {
    QString Typ;
    QString IP;
    QString Port;
    std::optional<QString> Modell;
    std::optional<QString> ComPort;
    std::optional<QString> BaudRate;
    QString Settings;
    QString RootPath;
    QString RecPath;
    QString SendPath;
    QString Deleted;
    QString DocPath;
    std::optional<bool> GetDir;
    std::optional<int> EOB;
    QString Extension;
    std::optional<bool> ShowAllFiles;
    // Written only for an ISO tape machine.
    std::optional<QString> Handskakning;
    int Ledare = 0;
    int Slut = 0;
    QString Begaran;
    int Brustecken = 100;
};
// Writes the keys in the order the dialog always has, so new keys are
// appended to the section in that order. False when a key could not be
// written (the others are still tried).
bool WriteSetupMachine(int slot, const SetupSave& values);

// "Typ" for a serial link from the model, else from the protocol entry
// (0 "Typ 1", 1 "Typ 2", -1 none); "0" for a network link; "" when neither
// link is chosen or the protocol decides and none is chosen.
QString SaveTyp(bool serial, bool network, const QString& model, int protoIndex);
// The ISO tape link is a choice of its own: "3".
inline constexpr char kIsoTyp[] = "3";

// Four dot-separated numbers 0 to 255.
bool IsValidIP(const QString& text);

// Why name cannot become a new machine, as told to the operator; empty when
// it can.
QString NewMachineRefusal(const QString& name);
