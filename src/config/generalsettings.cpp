#include "config/generalsettings.h"

#include "common/apperror.h"
#include "common/convert.h"
#include "common/ini.h"
#include "common/log.h"
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

// The keys this program added to the Parts' own: a typing error in one of
// them must not stop the start-up (no machine list, nothing listening), so
// it falls back to its default and the log says which key held what.
void FallBack(const char* key, const QString& value, const QString& def) {
    AddLog(QStringLiteral("Ogiltigt värde för %1 ('%2') i inställningarna; standardvärdet %3 används.")
               .arg(QLatin1String(key), value, def));
}

qint32 ReadAddedRange(const char* key, qint32 def, qint32 low, qint32 high) {
    try {
        return ReadRange(key, def, low, high);
    } catch (const AppError&) {
        FallBack(key, ReadProgram(key, QString()), QString::number(def));
        return def;
    }
}

bool ReadAddedBool(const char* key, bool def) {
    try {
        return ReadBool(key, def);
    } catch (const AppError&) {
        FallBack(key, ReadProgram(key, QString()), BoolText(def));
        return def;
    }
}

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
    g.IgnoreCts = ReadAddedBool("IgnoreCts", false);
    g.ListenPort = ReadAddedRange("ListenPort", 10000, 0, 65535);
    // Zero or less would refuse every message.
    g.MaxMessage = ReadAddedRange("MaxMessage", 64 * 1024 * 1024, 1, std::numeric_limits<qint32>::max());
    g.Editor = ReadProgram("Editor", QString());
    // Texts: a bad AllowedHosts entry lets no one in and a bad ListenAddress
    // listens nowhere; the station tells both when it starts listening.
    g.AllowedHosts = ReadProgram("AllowedHosts", QString());
    g.ListenAddress = ReadProgram("ListenAddress", QString());
    g.HistoryKeep = ReadAddedRange("HistoryKeep", kHistoryKeepDefault, 0, std::numeric_limits<qint32>::max());
    g.HistoryMaxMB = ReadAddedRange("HistoryMaxMB", kHistoryMaxMBDefault, 0, std::numeric_limits<qint32>::max());
    g.VerifyAfterSend = ReadAddedBool("VerifyAfterSend", false);
    g.MaxProgramMB = ReadAddedRange("MaxProgramMB", 0, 0, 1024 * 1024);
    g.WebPort = ReadAddedRange("WebPort", 0, 0, 65535);
    g.WebAddress = ReadProgram("WebAddress", QStringLiteral("127.0.0.1"));
    g.WebToken = ReadProgram("WebToken", QString());
    g.WebTokens = ReadProgram("WebTokens", QString());
    g.TrafficRows = ReadAddedRange("TrafficRows", 500, 1, 1000000);
    g.WebAllowedHosts = ReadProgram("WebAllowedHosts", g.AllowedHosts);
    g.WebHostNames = ReadProgram("WebHostNames", QString());
    g.WebMaxBodyMB = ReadAddedRange("WebMaxBodyMB", 64, 1, 4096);
    g.WebConnections = ReadAddedRange("WebConnections", 64, 1, 4096);
    g.JobRows = ReadAddedRange("JobRows", 1000, 10, 1000000);
    g.WebHeaderTimeout = ReadAddedRange("WebHeaderTimeout", 10000, 100, 600000);
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
