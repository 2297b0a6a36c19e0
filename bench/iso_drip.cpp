// Drip-feed to a plain ISO tape machine, station and machine in this process
// on two in-memory ports wired back to back.
//
// 1. Rate: a program at a simulated 115200 baud, 7E1 (11,520 characters a
//    second) to a machine that never holds the line. Figure: characters on
//    the line over the time from the first to the last, as a share of the
//    line rate. Target: at least 97%.
// 2. Memory: a program of 1 GB (generated in TMPDIR, or /dev/shm, and
//    deleted) through an instant line without flow control. Figure: growth
//    of the peak resident size. Target: under 8 MB.
// 3. A machine that holds DC3 for 10 s: the process's CPU time over those
//    10 s. Target: under 0.1% of a core.
// 4. Over a pseudo-terminal pair (socat), which counts nothing it holds, to
//    the simulated control on a thread of its own that reads on after its
//    DC3 (machine-sim's read-while-held) and runs the blocks at about half
//    the line: the most characters that came after one DC3, at 9,600 and
//    115,200 baud, 7E1. Target: at most 16 + what the line carries in 50 ms.
// Arguments: the rate case's size in bytes (default 256 KiB), then the
// memory case's (default 1 GiB).
#include "benchutil.h"
#include "common/home.h"
#include "library/programfile.h"
#include "link/isotape.h"
#include "link/memoryserialport.h"
#include "link/qtserialport.h"
#include "link/serialthread.h"
#include "station/station.h"
#include "machine-sim/simiso.h"
#include "../tests/support/scriptedpanel.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QCoro/QCoroTask>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sys/resource.h>

namespace {

constexpr double kLineRate = 11520.0;

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// A program of numbered blocks, written straight to disk.
bool WriteProgram(const QString& path, qint64 size) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return false;
    QByteArray chunk;
    qint64 n = 10, written = 0;
    while (written < size) {
        chunk.clear();
        while (chunk.size() < qMin<qint64>(1 << 20, size - written)) chunk += "N" + QByteArray::number(n += 10) + " G01 X12.345 Y-6.789 Z-0.2 F600\r\n";
        if (f.write(chunk) != chunk.size()) return false;
        written += chunk.size();
    }
    return true;
}

struct TapeShop {
    QTemporaryDir dir;
    ScriptedPanel panel;
    MemorySerialPort* pc = new MemorySerialPort;
    Station station{panel, pc};
    MemorySerialPort machine;
    qint64 received = 0;
    qint64 dry = 0;  // times the line ran out while the program went on
    double first = 0, last = 0;

    TapeShop(const QString& flow, bool instant) {
        SetProgramFolder(dir.path());
        for (MemorySerialPort* p : {pc, &machine}) {
            p->setSettings(QStringLiteral("115200,e,7,1"));
            p->setInstant(instant);
        }
        ConnectBackToBack(*pc, machine);
        pc->open();
        machine.open();
        MachineSettings m;
        m.Typ = 3;
        m.BaudRate = QStringLiteral("115200");
        m.Settings = QStringLiteral(",e,7,1");
        m.Handskakning = flow;
        m.RecPath = dir.path();
        m.SendPath = dir.path();
        station.SetMachine(m);
        // The machine takes everything in and never holds the line.
        QObject::connect(&machine, &SerialPort::commEvent, [this](int code) {
            if (code != SerialPort::EvReceive) return;
            received += machine.readAll().size();
        });
        QObject::connect(pc, &MemorySerialPort::transmitted, [this](const QByteArray&) {
            // The in-memory port keeps what it sent for tests: not ours to count.
            if (pc->transmittedData().size() > 1 << 20) pc->clearTransmitted();
            if (pc->outBufferCount() == 0) ++dry;
            const double t = Now();
            if (first == 0) first = t;
            last = t;
        });
    }
    bool drip(const QString& path) { return QCoro::waitFor(station.DripFeed(path)); }
};

// One drip-feed over a socat pair to a control that reads on after its DC3.
int PtyCase(int baud, qint64 size) {
    QTemporaryDir dir;
    SetProgramFolder(dir.path());
    const QString a = dir.filePath(QStringLiteral("a")), b = dir.filePath(QStringLiteral("b"));
    QProcess socat;
    socat.start(QStringLiteral("socat"), {QStringLiteral("pty,raw,echo=0,link=") + a, QStringLiteral("pty,raw,echo=0,link=") + b});
    QDeadlineTimer up(5000);
    while (!(QFileInfo::exists(a) && QFileInfo::exists(b)) && !up.hasExpired()) QThread::msleep(10);
    if (!QFileInfo::exists(b)) {
        std::printf("pty case: socat made no pseudo-terminals\n");
        return 1;
    }
    const QString settings = QStringLiteral("%1,e,7,1").arg(baud);
    ScriptedPanel panel;
    auto* pc = new QtSerialPort;
    pc->setDevice(a);
    pc->setSettings(settings);
    Station station{panel, pc};
    if (!pc->open()) return 2;
    MachineSettings m;
    m.Typ = 3;
    m.BaudRate = QString::number(baud);
    m.Settings = QStringLiteral(",e,7,1");
    m.EOB = 1;
    m.RecPath = m.SendPath = dir.path();
    station.SetMachine(m);
    const QString path = dir.filePath(QStringLiteral("O4.NC"));
    if (!WriteProgram(path, size)) return 2;
    // The control answers from a thread of its own, as a UART does.
    QThread control;
    control.start();
    QObject there;
    there.moveToThread(&control);
    QtSerialPort* machine = nullptr;
    SimIsoMachine* sim = nullptr;
    const double charsPerSecond = baud / 10.0;
    QMetaObject::invokeMethod(&there, [&] {
        machine = new QtSerialPort;
        machine->setDevice(b);
        machine->setSettings(settings);
        machine->open();
        sim = new SimIsoMachine(dir.filePath(QStringLiteral("sim")));
        sim->attach(machine);
        sim->applyFault(QStringLiteral("read-while-held"));
        // Room above its DC3 mark for what may come after a DC3.
        sim->setBuffer(192 + int(16 + charsPerSecond * 0.05) + 1, 192, 64);
        sim->setDripRate(charsPerSecond / 2 / 36);  // its blocks are some 36 characters
    }, Qt::BlockingQueuedConnection);
    const double t0 = Now();
    const bool ok = QCoro::waitFor(station.DripFeed(path));
    const double seconds = Now() - t0;
    const qint64 most = sim->mostAfterXoff(), holds = sim->xoffs(), lost = sim->overruns();
    QMetaObject::invokeMethod(&there, [&] {
        sim->attach(nullptr);
        delete sim;
        delete machine;
    }, Qt::BlockingQueuedConnection);
    control.quit();
    control.wait();
    socat.kill();
    socat.waitForFinished();
    const double bound = 16 + charsPerSecond * 0.05;
    const bool good = ok && holds > 0 && lost == 0 && most <= bound;
    char label[96];
    std::snprintf(label, sizeof label, "drip-feed over a pty, %d 7E1, control reads on: after DC3", baud);
    std::printf("%-58s %10lld chars (most of %lld DC3s, %.0f s, %lld lost, target <= %.0f) %s\n", label,
                (long long)most, (long long)holds, seconds, (long long)lost, bound, good ? "OK" : "OVER");
    return good ? 0 : 1;
}

QString ScratchFolder() {
    const QByteArray tmp = qgetenv("TMPDIR");
    if (!tmp.isEmpty()) return QString::fromLocal8Bit(tmp);
    return QDir(QStringLiteral("/dev/shm")).exists() ? QStringLiteral("/dev/shm") : QDir::tempPath();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const qint64 rateSize = argc > 1 ? std::atoll(argv[1]) : 256 * 1024;
    const qint64 bigSize = argc > 2 ? std::atoll(argv[2]) : qint64(1) << 30;
    int failures = 0;

    {
        TapeShop shop(QStringLiteral("XON"), false);
        const QString path = shop.dir.filePath(QStringLiteral("O1.NC"));
        if (!WriteProgram(path, rateSize)) return 2;
        const bool ok = shop.drip(path);
        const double share = 100.0 * shop.received / ((shop.last - shop.first) * kLineRate);
        std::printf("%-58s %10.1f %%  (%lld characters in %.1f s, line dry %lld times, target >= 97%%) %s\n",
                    "drip-feed 115200 7E1, XON, never held: line share", share, (long long)shop.received,
                    shop.last - shop.first, (long long)shop.dry, ok && share >= 97.0 ? "OK" : "OVER");
        failures += !(ok && share >= 97.0);
    }
    {
        QTemporaryDir scratch(ScratchFolder() + QStringLiteral("/fenmo-iso-XXXXXX"));
        const QString path = scratch.filePath(QStringLiteral("O2.NC"));
        if (!WriteProgram(path, bigSize)) return 2;
        TapeShop shop(QStringLiteral("INGEN"), true);
        const long long before = bench::PeakRss();
        const double t0 = Now();
        const bool ok = shop.drip(path);
        const double seconds = Now() - t0;
        const double growthMB = double(bench::PeakRss() - before) / (1 << 20);
        QFile::remove(path);
        std::printf("%-58s %10.2f MB (%lld MB in %.0f s, target < 8 MB) %s\n",
                    "drip-feed of a large program: peak memory growth", growthMB, (long long)(shop.received >> 20),
                    seconds, ok && growthMB < 8 ? "OK" : "OVER");
        failures += !(ok && growthMB < 8);
    }
    {
        TapeShop shop(QStringLiteral("XON"), false);
        const QString path = shop.dir.filePath(QStringLiteral("O3.NC"));
        if (!WriteProgram(path, 64 * 1024)) return 2;
        bool done = false;
        shop.station.DripFeed(path).then([&done](bool) { done = true; });
        QDeadlineTimer started(2000);
        while (shop.received < 1000 && !started.hasExpired())
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        shop.machine.write(QByteArray(1, iso::DC3));
        // Waited out in an event loop of its own: a timed processEvents spins.
        QEventLoop loop;
        QTimer::singleShot(200, &loop, &QEventLoop::quit);
        loop.exec();
        const double cpu0 = CpuSeconds(), t0 = Now();
        QTimer::singleShot(10000, &loop, &QEventLoop::quit);
        loop.exec();
        const double share = 100.0 * (CpuSeconds() - cpu0) / (Now() - t0);
        shop.station.cmdAbort_Click();
        while (!done) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        std::printf("%-58s %10.3f %% of a core (target < 0.1%%) %s\n", "drip-feed held by DC3 for 10 s: CPU", share,
                    share < 0.1 ? "OK" : "OVER");
        failures += share >= 0.1;
    }
    failures += PtyCase(9600, 4 * 1024);
    failures += PtyCase(115200, 48 * 1024);
    return failures ? 1 : 0;
}
