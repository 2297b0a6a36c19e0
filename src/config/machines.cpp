#include "config/machines.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/home.h"
#include "common/ini.h"
#include "common/paths.h"

#include "common/log.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>

namespace {

QString ModelFolder() { return ResolveCase(SharedFile(QStringLiteral("maskiner"))); }

// A damaged model file must not stop the setup dialog.
bool ToBoolOr(const QString& text, bool fallback) {
    try {
        return ToBool(text);
    } catch (const AppError&) {
        return fallback;
    }
}

}  // namespace

QString DefaultProgramFolder() {
#ifdef Q_OS_WIN
    return QStringLiteral("C:\\ncprog");
#else
    return QDir::homePath() + QStringLiteral("/ncprog");
#endif
}

// Subfolders are written with the platform's own separator, as the defaults always were.
QString DefaultDocumentFolder() { return DefaultProgramFolder() + QDir::separator() + QStringLiteral("dokument"); }

QString DefaultTrashFolder() { return DefaultProgramFolder() + QDir::separator() + QStringLiteral("papperskorg"); }

QString MachineSection(int slot) { return QStringLiteral("Maskin ") + QString::number(slot); }

void LoadMachineSettings(MachineSettings& ms, int slot) {
    const QString section = MachineSection(slot);
    auto read = [&](const char* key, const QString& def) {
        return ReadIni(section, QLatin1String(key), def);
    };

    // Each field is stored as soon as it converted: a bad value leaves the
    // fields after it untouched.
    ms.Typ = ToInt16(read("Typ", QStringLiteral("1")));
    ms.IP = read("IP", QString());
    ms.Port = read("Port", QString());
    ms.RecPath = read("RecPath", DefaultProgramFolder());
    ms.SendPath = read("SendPath", DefaultProgramFolder());
    ms.DocPath = read("DocPath", DefaultDocumentFolder());
    ms.Deleted = read("Deleted", DefaultTrashFolder());
    ms.RootPath = read("RootPath", ms.SendPath);
    ms.ComPort = ToByte(read("ComPort", QStringLiteral("1")));
    ms.BaudRate = read("BaudRate", QStringLiteral("9600"));
    ms.Settings = read("Settings", QStringLiteral(",e,7,1"));
    ms.Extension = read("Extension", QString());
    ms.RecTimeout = ToInt32(read("RecTimeout", QStringLiteral("4000")));
    ms.Modell = read("Modell", QStringLiteral("?"));
    ms.Conversion = ModelConversion(ms.Modell);
    ms.GetDir = ToBool(read("GetDir", QStringLiteral("True")));
    ms.EOB = ToByte(read("EOB", QStringLiteral("0")));
    // The tape keys are new: a typing error in one falls back to its default
    // rather than stopping the machine from loading.
    const auto count = [&](const char* key) { return qBound(0, read(key, QStringLiteral("0")).trimmed().toInt(), 4096); };
    ms.Handskakning = read("Handskakning", QStringLiteral("XON")).trimmed().toUpper();
    ms.Ledare = count("Ledare");
    ms.Slut = count("Slut");
    ms.VantaDC1 = ToBoolOr(ReadIni(section, QStringLiteral("VäntaDC1"), QStringLiteral("False")), false);
    ms.Begaran = ReadIni(section, QStringLiteral("Begäran"), QStringLiteral("SÄND"));
    ms.Lista = read("Lista", QStringLiteral("LISTA"));
    bool noiseOk = false;
    const int noise = read("Brustecken", QStringLiteral("100")).trimmed().toInt(&noiseOk);
    ms.Brustecken = noiseOk ? qBound(0, noise, 1000000) : 100;
}

QString ModelFile(const QString& model) {
    const QString file = ResolveCase(ModelFolder() + QLatin1Char('/') + model + QStringLiteral(".dat"));
    // Without its file a model's settings are the defaults: a machine whose
    // programs need converting would get them unconverted. Told once a model.
    static QSet<QString> told;
    if (model != QLatin1String("?") && !model.isEmpty() && !QFileInfo::exists(file) && !told.contains(file)) {
        told.insert(file);
        AddLog(QStringLiteral("Modellfilen %1 saknas: modellen \"%2\" får standardinställningar.")
                   .arg(QDir::toNativeSeparators(file), model));
    }
    return file;
}

bool ModelConversion(const QString& model) {
    return ToBool(ReadIni(QStringLiteral("Maskin"), QStringLiteral("Conversion"),
                          QStringLiteral("False"), ModelFile(model)));
}

ModelCaps ReadModelCaps(const QString& model) {
    const QString file = ModelFile(model);
    auto flag = [&](const char* key, bool def) {
        return ToBoolOr(ReadIni(QStringLiteral("Maskin"), QLatin1String(key), BoolText(def), file),
                        def);
    };
    ModelCaps caps;
    caps.Conversion = flag("Conversion", false);
    caps.Network = flag("Network", true);
    caps.Protokoll1 = flag("Protokoll1", true);
    caps.Protokoll2 = flag("Protokoll2", true);
    caps.OnlyLF = flag("OnlyLF", false);
    return caps;
}

QList<DocumentEntry> ModelDocuments(const QString& model) {
    const QString file = ModelFile(model);
    const QString section = QStringLiteral("Dokument");
    QList<DocumentEntry> docs;
    for (int i = 1; i <= 99; ++i) {
        const QString n = QString::number(i);
        const QString caption = ReadIni(section, QStringLiteral("Dok") + n, QString(), file);
        if (caption.isEmpty()) break;
        docs.append({caption, ReadIni(section, QStringLiteral("Fil") + n, QString(), file)});
    }
    return docs;
}

QList<MachineEntry> MachineList() {
    QList<MachineEntry> list;
    for (int slot = 1; slot <= 64; ++slot) {
        const QString name = ReadIni(MachineSection(slot), QStringLiteral("Namn"), QString());
        if (!name.isEmpty()) list.append({name, slot});
    }
    return list;
}

int FindMachineSlot(const QList<MachineEntry>& list, const QString& name) {
    for (const MachineEntry& e : list)
        if (e.name == name) return e.slot;
    return -1;
}

bool AddMachineName(const QString& name) {
    // A blank name would read back as a free slot, and a line break would
    // write keys or sections of its own into the settings file; "]" is
    // refused with it, as a name that could pass for a section heading.
    if (name.trimmed().isEmpty() || name.contains(QLatin1Char(']')) || name.contains(QLatin1Char('\r')) ||
        name.contains(QLatin1Char('\n')) || name.contains(QChar(0)))
        return false;
    for (int slot = 1; slot <= 16; ++slot) {
        const QString section = MachineSection(slot);
        // A name blanked by hand frees the slot but leaves the old machine's
        // keys, which the new one must not inherit.
        if (ReadIni(section, QStringLiteral("Namn"), QString()).isEmpty())
            return ClearIniSection(section) && WriteIni(section, QStringLiteral("Namn"), name);
    }
    return false;
}

QString ListFileNames(const QString& folder, const QString& pattern) {
    QString result;
    for (const FoundFile& f : FindFiles(folder, pattern)) {
        QString name = f.name;
        const qsizetype nul = name.indexOf(QChar(0));
        if (nul >= 0) name.truncate(nul);
        const qsizetype dot = name.indexOf(QLatin1Char('.'));
        if (dot >= 0) name.truncate(dot);
        result += name + QStringLiteral("\r\n");
    }
    return result;
}

QStringList ModelList() {
    QStringList models =
        ListFileNames(ModelFolder(), QStringLiteral("*.DAT")).split(QStringLiteral("\r\n"));
    // The piece after the last line end is empty; so is the name of a file
    // such as ".dat", which no machine could select as its model.
    models.removeAll(QString());
    return models;
}
