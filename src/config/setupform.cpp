#include "config/setupform.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/ini.h"
#include "config/machines.h"

#include <QStringList>

namespace {

template <class T, class F>
std::optional<T> Converted(F convert, const QString& text) {
    try {
        return convert(text);
    } catch (const AppError&) {
        return std::nullopt;
    }
}

bool NameFits(const QString& name) {
    return !name.contains(QLatin1Char(']')) && !name.contains(QLatin1Char('\r')) &&
           !name.contains(QLatin1Char('\n')) && !name.contains(QChar(0));
}

}  // namespace

SetupMachine ReadSetupMachine(int slot) {
    const QString section = MachineSection(slot);
    auto read = [&](const char* key, const QString& def) { return ReadIni(section, QLatin1String(key), def); };
    const QString program = DefaultProgramFolder();

    SetupMachine m;
    m.Typ = Converted<int>([](const QString& t) { return int(ToByte(t)); }, read("Typ", QStringLiteral("1")));
    m.OnlyLF = Converted<bool>(ToBool, read("OnlyLF", QStringLiteral("False"))).value_or(false);
    m.IP = read("IP", QString());
    m.Port = read("Port", QString());
    m.Modell = read("Modell", QStringLiteral("?"));
    m.ComPort = read("ComPort", QStringLiteral("1"));
    m.BaudRate = read("BaudRate", QStringLiteral("9600"));
    m.Settings = read("Settings", QStringLiteral(",e,7,1"));
    m.RootPath = read("RootPath", program);
    m.RecPath = read("RecPath", program);
    m.SendPath = read("SendPath", program);
    m.Deleted = read("Deleted", DefaultTrashFolder());
    m.DocPath = read("DocPath", DefaultDocumentFolder());
    m.Extension = read("Extension", QString());
    m.GetDir = Converted<bool>(ToBool, read("GetDir", QStringLiteral("True")));
    m.EOB = Converted<int>([](const QString& t) { return int(ToByte(t)); }, read("EOB", QStringLiteral("0")));
    if (m.EOB && *m.EOB > 1) m.EOB.reset();
    m.ShowAllFiles = Converted<bool>(ToBool, read("ShowAllFiles", QStringLiteral("True")));
    m.Handskakning = read("Handskakning", QStringLiteral("XON")).trimmed().toUpper();
    m.Ledare = read("Ledare", QStringLiteral("0")).toInt();
    m.Slut = read("Slut", QStringLiteral("0")).toInt();
    m.Begaran = ReadIni(section, QStringLiteral("Begäran"), QStringLiteral("SÄND"));
    // As the station reads it: a value that is no number counts as the default.
    bool noiseOk = false;
    const int noise = read("Brustecken", QStringLiteral("100")).trimmed().toInt(&noiseOk);
    m.Brustecken = noiseOk ? noise : 100;
    return m;
}

bool WriteSetupMachine(int slot, const SetupSave& v) {
    const QString section = MachineSection(slot);
    bool ok = true;
    auto write = [&](const char* key, const QString& value) { ok &= WriteIni(section, QLatin1String(key), value); };
    if (!v.Typ.isEmpty()) write("Typ", v.Typ);
    write("IP", v.IP);
    write("Port", v.Port);
    if (v.Modell) write("Modell", *v.Modell);
    if (v.ComPort) write("ComPort", *v.ComPort);
    if (v.BaudRate) write("BaudRate", *v.BaudRate);
    write("Settings", v.Settings);
    write("RootPath", v.RootPath);
    write("RecPath", v.RecPath);
    write("SendPath", v.SendPath);
    write("Deleted", v.Deleted);
    write("DocPath", v.DocPath);
    if (v.GetDir) write("GetDir", BoolText(*v.GetDir));
    if (v.EOB) write("EOB", QString::number(*v.EOB));
    write("Extension", v.Extension);
    if (v.ShowAllFiles) write("ShowAllFiles", *v.ShowAllFiles ? QStringLiteral("1") : QStringLiteral("0"));
    if (v.Handskakning) {
        write("Handskakning", *v.Handskakning);
        write("Ledare", QString::number(v.Ledare));
        write("Slut", QString::number(v.Slut));
        ok &= WriteIni(section, QStringLiteral("Begäran"), v.Begaran);
        write("Brustecken", QString::number(v.Brustecken));
    }
    return ok;
}

QString SaveTyp(bool serial, bool network, const QString& model, int protoIndex) {
    if (serial) {
        if (model == QLatin1String("GEN PROT 1")) return QStringLiteral("2");
        if (model == QLatin1String("GEN PROT 2") || model == QLatin1String("TC-32B")) return QStringLiteral("1");
        if (protoIndex == 0) return QStringLiteral("2");
        if (protoIndex == 1) return QStringLiteral("1");
        return QString();
    }
    return network ? QStringLiteral("0") : QString();
}

bool IsValidIP(const QString& text) {
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4) return false;
    for (const QString& p : parts)
        if (!Converted<int>([](const QString& t) { return int(ToByte(t)); }, p)) return false;
    return true;
}

QString NewMachineRefusal(const QString& name) {
    if (name.trimmed().isEmpty()) return QStringLiteral("Ange ett namn på den nya maskinen.");
    if (!NameFits(name))
        return QStringLiteral("Maskinens namn får inte innehålla tecknet \"]\" eller radbrytningar.");
    for (int slot = 1; slot <= 16; ++slot)
        if (ReadIni(MachineSection(slot), QStringLiteral("Namn"), QString()).isEmpty()) return QString();
    return QStringLiteral("Det går inte att lägga till fler maskiner: platserna 1 till 16 är upptagna.");
}
