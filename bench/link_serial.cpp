// Serial protocol 2 at a simulated 115200 baud, 7E1 (11,520 characters a
// second): a 1 MB program sent to the simulated machine and one fetched from
// it, station and machine in this process on two in-memory ports wired back
// to back, both paced at the line rate.
//
// Figure: characters on the line (both directions) over the operation's
// elapsed time, as a share of the line rate. Target: at least 97%.
// Optional arguments: the program size in bytes, then "send" or "fetch" for
// one direction only (for quick runs).
#include "benchutil.h"
#include "linkbench.h"
#include "link/memoryserialport.h"
#include "machine-sim/simmachine.h"

#include <QCoro/QCoroTask>
#include <QCoreApplication>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr qint64 kDefaultSize = 1024 * 1024;
constexpr double kLineRate = 11520.0;
constexpr double kTarget = 97.0;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// When a port's bytes left the line, and how often its buffer ran dry while
// there was more to come.
struct LineWatch {
    double first = 0, last = 0;
    qint64 bytes = 0;
    int dry = 0;  // pieces after which the buffer was empty
    QList<double> dryAt;

    void attach(MemorySerialPort& port) {
        QObject::connect(&port, &MemorySerialPort::transmitted, [this, &port](const QByteArray& piece) {
            const double t = Now();
            if (bytes == 0) first = t;
            last = t;
            bytes += piece.size();
            if (port.outBufferCount() == 0) {
                ++dry;
                dryAt << t;
            }
        });
    }
    // The line's busy share from its first to its last character.
    double share() const { return last > first ? 100.0 * bytes / ((last - first) * kLineRate) : 0; }
};

struct Outcome {
    double seconds = 0;
    qint64 lineBytes = 0;
    double percent = 0;
    bool ok = false;
    std::string detail;
};

struct SerialShop {
    QTemporaryDir dir;
    ScriptedPanel panel;
    MemorySerialPort* pc = new MemorySerialPort;  // owned by the station
    Station station{panel, pc};
    MemorySerialPort machinePort;
    QString memory;
    std::unique_ptr<SimMachine> sim;
    QString send, rec;
    QStringList errors;

    SerialShop() {
        SetProgramFolder(dir.path());
        memory = dir.path() + QStringLiteral("/memory");
        send = dir.path() + QStringLiteral("/ncprog");
        rec = dir.path() + QStringLiteral("/ncprog/mottaget");
        for (const QString& d : {memory, send, rec, dir.path() + QStringLiteral("/ncprog/papperskorg")})
            QDir().mkpath(d);
        SetErrorDialog([this](const QString& text) {
            errors << text;
            return true;
        });
        Station& st = station;
        MachineSettings m;
        m.Typ = 1;
        m.SendPath = send;
        m.RecPath = rec;
        m.Deleted = dir.path() + QStringLiteral("/ncprog/papperskorg");
        m.Extension = QStringLiteral("NC");
        m.EOB = 0;
        st.SetMachine(m);
        GeneralSettings g;
        g.ListenPort = 0;
        g.SvarTimeout = 60000;
        g.RecTimeout = 5000;   // silence on the line
        g.SendTimeout = 5000;
        g.CtsTimeout = 8000;
        // Bounds the whole wait for a fetched program (not silence): kept far
        // above the 91 s that 1 MB needs at this rate.
        g.GeneralTimeout = 1000000;
        st.ApplyGeneralSettings(g);
        panel.tree = send;

        for (MemorySerialPort* p : {pc, &machinePort}) {
            p->setInstant(false);
            p->setSettings(QStringLiteral("115200,e,7,1"));
        }
        ConnectBackToBack(*pc, machinePort);
        pc->open();
        machinePort.open();
        sim = std::make_unique<SimMachine>(memory);
        sim->setProtocol(SimMachine::Protocol::Two);
        sim->setReplyTimeout(60000);
        sim->attachSerial(&machinePort);
        bench::Settle(50);
    }
    ~SerialShop() {
        sim->attachSerial(nullptr);
        SetErrorDialog({});
    }
};

Outcome Run(bool sendIt, const QByteArray& program) {
    SerialShop s;
    Station& st = s.station;
    if (sendIt) {
        bench::WriteFile(s.send + QStringLiteral("/O1234.NC"), program);
        s.panel.selectedLocal = {QStringLiteral("O1234.NC")};
    } else {
        s.sim->storeProgram(QStringLiteral("O5678"), program);
        s.panel.tree = s.rec;
        s.panel.selectedRemote = {QStringLiteral("O5678")};
    }
    LineWatch pcLine, machineLine;
    pcLine.attach(*s.pc);
    machineLine.attach(s.machinePort);

    const double t0 = Now();
    if (sendIt) QCoro::waitFor(cmdSend_Click(st, s.panel.send()));
    else QCoro::waitFor(cmdRec_Click(st, s.panel.fetch()));
    const double t1 = Now();

    Outcome o;
    o.seconds = t1 - t0;
    o.lineBytes = pcLine.bytes + machineLine.bytes;
    o.percent = 100.0 * o.lineBytes / (o.seconds * kLineRate);
    const bool done = st.transferDone() && !st.aborted() && s.errors.isEmpty();
    QByteArray got;
    if (sendIt) {
        got = s.sim->program(QStringLiteral("O1234"));
    } else {
        QFile f(s.rec + QStringLiteral("/O5678.NC"));
        if (f.open(QIODevice::ReadOnly)) got = f.readAll();
    }
    std::string check;
    bool same;
    if (got == program) {
        same = true;
        check = "byte-identical";
    } else if (got.startsWith(program) && got.size() - program.size() <= 2 &&
               got.mid(program.size()).count('\r') + got.mid(program.size()).count('\n') ==
                   got.size() - program.size()) {
        // The machine keeps the frame's closing line end with the body; the
        // station must write exactly what the machine sent.
        same = sendIt;
        check = "program + " + std::to_string(got.size() - program.size()) + " line-end bytes";
    } else {
        same = false;
        check = "differs (" + std::to_string(got.size()) + " bytes)";
    }
    o.ok = done && same;

    const LineWatch& message = sendIt ? pcLine : machineLine;
    const LineWatch& other = sendIt ? machineLine : pcLine;
    // Dry spells of the message's line, the last (its end) not counted.
    const int dry = std::max(0, message.dry - 1);
    char text[512];
    std::snprintf(text, sizeof text,
                  "%s; message %lld chars on the line from %.3f s to %.3f s = %.2f%% of the rate, buffer ran dry %d "
                  "times; %s %lld chars from %.3f s to %.3f s; done at %.3f s",
                  check.c_str(), static_cast<long long>(message.bytes), message.first - t0, message.last - t0,
                  message.share(), dry, sendIt ? "answer" : "request", static_cast<long long>(other.bytes),
                  other.first - t0, other.last - t0, o.seconds);
    o.detail = text;
    // Where the line stood idle (the first few): a start, an end or the middle.
    for (int i = 0; i < std::min<int>(dry, 5); ++i) o.detail += (i ? ", " : " (at ") + std::to_string(message.dryAt[i] - t0).substr(0, 6) + " s";
    if (dry > 0) o.detail += ")";
    if (!done) o.detail += " / station: " + s.panel.status().toStdString();
    return o;
}

void Print(const char* name, const Outcome& o) {
    std::printf("%-58s %10.2f %%  of %.0f chars/s (%lld chars in %.3f s)  (target >= %.0f%%) %s%s\n", name, o.percent,
                kLineRate, static_cast<long long>(o.lineBytes), o.seconds, kTarget, o.percent >= kTarget ? "OK" : "OVER",
                o.ok ? "" : "  FAILED");
    std::printf("    %s\n", o.detail.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 size = argc > 1 ? std::atoll(argv[1]) : kDefaultSize;
    const QByteArray program = bench::NcProgram(size);
    std::printf("Serial 115200,e,7,1 (%.0f chars/s), %lld-byte NC program each way, in-memory ports\n", kLineRate,
                static_cast<long long>(program.size()));
    std::fflush(stdout);
    const QString only = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
    if (only != QLatin1String("fetch")) {
        Print("Serial send (cmdSend_Click), effective rate", Run(true, program));
        std::fflush(stdout);
    }
    if (only != QLatin1String("send")) Print("Serial fetch (cmdRec_Click), effective rate", Run(false, program));
    return 0;
}
