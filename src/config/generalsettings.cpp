#include "config/generalsettings.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/ini.h"
#include "library/history.h"

#include <limits>

namespace {

QString ReadProgram(const char* key, const QString& def) {
    return ReadIni(QStringLiteral("Program"), QLatin1String(key), def);
}

bool ReadBool(const char* key, bool def) { return ToBool(ReadProgram(key, BoolText(def))); }

// A whole number in [low, high], converted with the usual rules.
qint32 ReadRange(const char* key, qint32 def, qint32 low, qint32 high) {
    const qint32 v = ToInt32(ReadProgram(key, QString::number(def)));
    if (v < low || v > high) Raise(Err::Overflow);
    return v;
}

// The range of a window timer's interval.
int ReadInterval(const char* key, int def) { return ReadRange(key, def, 0, 65535); }

}  // namespace

void ReadGeneralSettings(GeneralSettings& g) {
    g.HideBreak = ReadBool("HideBreak", false);
    g.SuppressErrors = ReadBool("SuppressErrors", false);
    g.GeneralTimeout = ReadInterval("GeneralTimeout", 5000);
    g.SvarTimeout = ReadInterval("SvarTimeout", 4000);
    g.RecTimeout = ReadInterval("RecTimeout", 5000);
    g.SendTimeout = ReadInterval("SendTimeout", 5000);
    g.CtsTimeout = ReadInterval("CtsTimeout", 8000);
    g.StartupView = ToByte(ReadProgram("StartupView", QStringLiteral("0")));
    g.Debug = ReadBool("Debug", false);
    g.IgnoreCts = ReadBool("IgnoreCts", false);
    g.ListenPort = ReadRange("ListenPort", 10000, 0, 65535);
    // Zero or less would refuse every message.
    g.MaxMessage = ReadRange("MaxMessage", 64 * 1024 * 1024, 1, std::numeric_limits<qint32>::max());
    g.Editor = ReadProgram("Editor", QString());
    g.AllowedHosts = ReadProgram("AllowedHosts", QString());
    g.ListenAddress = ReadProgram("ListenAddress", QString());
    g.HistoryKeep = ReadRange("HistoryKeep", kHistoryKeepDefault, 0, std::numeric_limits<qint32>::max());
    g.HistoryMaxMB = ReadRange("HistoryMaxMB", kHistoryMaxMBDefault, 0, std::numeric_limits<qint32>::max());
    g.VerifyAfterSend = ReadBool("VerifyAfterSend", false);
}

QString ComPortDevice(int n) {
    const QString key = QStringLiteral("COM") + QString::number(n);
#ifdef Q_OS_WIN
    return key;
#else
    const QString device = ReadIni(QStringLiteral("ComPorts"), key, QString());
    if (!device.isEmpty()) return device;
    return QStringLiteral("/dev/ttyS") + QString::number(n - 1);
#endif
}
