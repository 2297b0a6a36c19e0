#pragma once
// Shared set-up of the link benchmarks: NC program text, the simulated
// machine as a process of its own, a station in a throw-away folder, and
// files compared without holding them in memory.
#include "common/errorreport.h"
#include "common/home.h"
#include "station/station.h"
#include "operations/operations.h"
#include "../tests/support/scriptedpanel.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

namespace bench {

// Realistic NC text, CR LF line ends, no "%", at least size bytes (the last
// line is finished).
inline QByteArray NcProgram(qint64 size, unsigned seed = 12345) {
    QByteArray out;
    out.reserve(size + 64);
    unsigned state = seed;
    auto next = [&state] {
        state = state * 1103515245u + 12345u;
        return (state >> 8) & 0xffffff;
    };
    static const char* const kMoves[] = {"G00", "G01", "G01", "G01", "G02", "G03"};
    char line[96];
    for (int n = 10; out.size() < size; n += 10) {
        const char* g = kMoves[next() % 6];
        const double x = static_cast<int>(next() % 400000 - 200000) / 1000.0;
        const double y = static_cast<int>(next() % 400000 - 200000) / 1000.0;
        int len;
        if (g[2] == '2' || g[2] == '3') {
            const double r = static_cast<int>(next() % 50000 + 1000) / 1000.0;
            len = std::snprintf(line, sizeof line, "N%d %s X%.3f Y%.3f R%.3f F%d\r\n", n, g, x, y, r,
                                static_cast<int>(next() % 40 + 1) * 25);
        } else if (g[2] == '0') {
            len = std::snprintf(line, sizeof line, "N%d %s X%.3f Y%.3f\r\n", n, g, x, y);
        } else {
            len = std::snprintf(line, sizeof line, "N%d %s X%.3f Y%.3f F%d\r\n", n, g, x, y,
                                static_cast<int>(next() % 40 + 1) * 25);
        }
        out.append(line, len);
    }
    return out;
}

inline bool WriteFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

// How a received file compares with the original, read in pieces.
struct Comparison {
    bool identical = false;
    bool prefix = false;      // starts with the whole original
    QByteArray extra;         // what follows the original (first 16 bytes)
    qint64 extraSize = 0;
    qint64 size = -1;         // -1: missing
    qint64 firstDifference = -1;
};

inline Comparison CompareFiles(const QString& original, const QString& received) {
    Comparison c;
    QFile a(original), b(received);
    if (!a.open(QIODevice::ReadOnly) || !b.open(QIODevice::ReadOnly)) return c;
    c.size = b.size();
    const qint64 n = a.size();
    qint64 pos = 0;
    while (pos < n) {
        const QByteArray x = a.read(1 << 20), y = b.read(x.size());
        if (x != y) {
            const qsizetype m = std::min(x.size(), y.size());
            qsizetype i = 0;
            while (i < m && x[i] == y[i]) ++i;
            c.firstDifference = pos + i;
            return c;
        }
        pos += x.size();
    }
    c.prefix = true;
    c.extraSize = b.size() - n;
    c.extra = b.read(16);
    c.identical = c.extraSize == 0;
    return c;
}

inline std::string Describe(const Comparison& c) {
    if (c.size < 0) return "missing";
    if (c.identical) return "byte-identical";
    if (c.prefix) {
        std::string e;
        for (char ch : c.extra) e += ch == '\r' ? "\\r" : ch == '\n' ? "\\n" : std::string(1, ch);
        return "program + " + std::to_string(c.extraSize) + " more bytes \"" + e + "\"";
    }
    return "differs at byte " + std::to_string(c.firstDifference) + " (size " + std::to_string(c.size) + ")";
}

// Only line ends after the program: the frame's own closing line end.
inline bool OnlyLineEndsAfter(const Comparison& c) {
    if (!c.prefix || c.extraSize > 2) return false;
    for (char ch : c.extra)
        if (ch != '\r' && ch != '\n') return false;
    return true;
}

// A /proc/self/status figure in bytes ("VmRSS", "VmHWM").
inline long long StatusBytes(const char* key) {
    std::ifstream f("/proc/self/status");
    std::string line;
    const size_t k = std::strlen(key);
    while (std::getline(f, line))
        if (line.compare(0, k, key) == 0 && line.size() > k && line[k] == ':') return std::stoll(line.substr(k + 1)) * 1024;
    return 0;
}

// Sets the peak resident size back to the present one (false when the
// kernel does not allow it; the peak then includes the set-up).
inline bool ResetPeakRss() {
    std::ofstream f("/proc/self/clear_refs");
    f << "5";
    f.flush();
    return bool(f);
}

// machine-sim from the bench's own folder, listening on loopback. Its traffic
// log (every message written out) goes nowhere.
class SimProcess {
public:
    explicit SimProcess(const QString& memory) {
        proc.setProgram(QCoreApplication::applicationDirPath() + QStringLiteral("/machine-sim"));
        proc.setArguments({QStringLiteral("--memory"), memory, QStringLiteral("--tcp-listen"),
                           QStringLiteral("127.0.0.1:0"), QStringLiteral("--reply-timeout"), QStringLiteral("60000")});
        proc.setStandardErrorFile(QProcess::nullDevice());
        proc.start();
        QDeadlineTimer deadline(10000);
        QByteArray out;
        while (!deadline.hasExpired() && proc.state() != QProcess::NotRunning) {
            proc.waitForReadyRead(100);
            out += proc.readAllStandardOutput();
            const qsizetype at = out.indexOf("LISTENING ");
            if (at >= 0 && out.indexOf('\n', at) > at) {
                port = out.mid(at + 10, out.indexOf('\n', at) - at - 10).trimmed().toUShort();
                break;
            }
        }
    }
    ~SimProcess() {
        proc.terminate();
        if (!proc.waitForFinished(5000)) proc.kill();
    }
    QProcess proc;
    quint16 port = 0;
};

// A station on TCP in a throw-away program folder, with time-outs far above
// any transfer here.
struct TcpStation {
    ScriptedPanel panel;
    Station station;
    QString send, rec, trash;
    QStringList errors;

    TcpStation(const QString& home, quint16 machinePort) : station(panel, nullptr) {
        SetProgramFolder(home);
        send = home + QStringLiteral("/ncprog");
        rec = home + QStringLiteral("/ncprog/mottaget");
        trash = home + QStringLiteral("/ncprog/papperskorg");
        for (const QString& d : {send, rec, trash}) QDir().mkpath(d);
        SetErrorDialog([this](const QString& text) {
            errors << text;
            return true;
        });
        Station& st = station;
        MachineSettings m;
        m.Typ = 0;
        m.IP = QStringLiteral("127.0.0.1");
        m.Port = QString::number(machinePort);
        m.SendPath = send;
        m.RecPath = rec;
        m.Deleted = trash;
        m.Extension = QStringLiteral("NC");
        m.EOB = 0;
        st.SetMachine(m);
        GeneralSettings g;
        g.ListenPort = 0;
        g.SvarTimeout = 60000;
        g.GeneralTimeout = 120000;
        st.ApplyGeneralSettings(g);
        panel.tree = send;
    }
    ~TcpStation() { SetErrorDialog({}); }
};

// Lets pending events run (connections settle, timers fire) for ms.
inline void Settle(int ms) {
    QDeadlineTimer deadline(ms);
    QTimer tick;
    tick.start(5);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 20);
}

}  // namespace bench
