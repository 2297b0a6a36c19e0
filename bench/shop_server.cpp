// The shop server with 64 machines in one process: 32 network machines, each
// connecting from a loopback address of its own (127.0.0.2 ... 127.0.0.33) to
// the one listening port on 127.0.0.1, and 32 serial machines on in-memory
// port pairs at 115200 baud 7E1 (11,520 characters a second), the server's
// ends handed in through ShopServer::setPortFactory.
//
// Every machine stores a program ("C SAV") and loads it back ("C LOD") in a
// loop for the run time, and checks every answer byte for byte against what
// it expects: the store's "00" answer, and the program it stored coming back
// whole. The machines are a small client loop (benchmachine.h; the simulated
// machine connects from no address of its own), all in this process. The
// network machines run on a thread of their own, as a shop's machines are not the
// server's work, and so do the serial machines with their ends of the lines
// (a thread of their own: their UARTs are the machines', not the server's);
// BENCH_ONE_THREAD=1 puts them all on the server's thread too.
//
// Figures: requests, answers lost or not byte-exact (target: none); per
// serial line the characters on the line (both ways) over the run as a share
// of its line rate, min and median over the 32 while everything runs (target:
// at least 97%); TCP program bytes a second summed over the 32 network
// machines against one of them alone, measured first (target: at least 80%);
// the process's CPU time and peak resident memory; the CPU used with all 64
// connected and silent for 5 s (target: under 1% of one core). Memory of 64
// single-machine servers is estimated from this program run again as a
// process with one machine (one network, one serial), its peak resident size
// times 32 each (target: the one server at most a quarter of that).
//
//   bench_shop_server [SECONDS]     run time of the 64 machines (default 60)
//
// The program folder is made in the temporary folder (TMPDIR; e.g.
// TMPDIR=/dev/shm takes the disk out). BENCH_DEBUG=1 in the environment
// prints every answer that is not byte-exact where it first differs.
#include "benchmachine.h"
#include "benchutil.h"
#include "linkbench.h"
#include "common/errorreport.h"
#include "common/home.h"
#include "common/notify.h"
#include "config/generalsettings.h"
#include "link/memoryserialport.h"
#include "link/serialport.h"
#include "station/station.h"
#include "server/shopserver.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QThread>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <vector>

namespace {

using bench::BenchMachine;
using bench::Counts;
using bench::kAnswerTimeoutMs;
using bench::kLine;
using bench::Now;

constexpr int kNetMachines = 32;
constexpr int kSerialMachines = 32;
constexpr qint64 kNetProgram = 256 * 1024;   // a program of a network machine
constexpr qint64 kSerialProgram = 8 * 1024;  // of a serial machine (0.7 s each way)
constexpr int kIdleMs = 5000;
constexpr int kBeatMs = 20;                  // a timer that shows how long the thread was kept from its events

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}

double LineRate() {
    SerialSettings s;
    ParseSerialSettings(QString::fromLatin1(kLine), s);
    return CharactersPerSecond(s);
}

// Runs the event loop for ms, blocking on events (no polling timer of its own).
void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() or ms passed; returns done().
bool RunUntil(const std::function<bool()>& done, int ms) {
    const double end = Now() + ms / 1000.0;
    while (!done() && Now() < end) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

// Runs f in m's thread: now when that is this one, else queued there.
void OnItsThread(QObject* m, const std::function<void()>& f) {
    if (m->thread() == QThread::currentThread()) f();
    else QMetaObject::invokeMethod(m, f, Qt::QueuedConnection);
}

// A program folder with a Fenmo32.INI of nets network and serials serial
// machines, the server started on it, and the machines connected.
struct Shop {
    QTemporaryDir dir;
    std::vector<MemorySerialPort*> pcPorts;  // owned by the stations
    std::deque<MemorySerialPort*> unclaimed;
    std::unique_ptr<ShopServer> server;
    std::vector<std::unique_ptr<BenchMachine>> net, serial;
    QThread machinesThread;  // the network machines' (not started with BENCH_ONE_THREAD)
    QThread serialThread;    // the serial machines' (the same)
    QStringList errors;
    QString failure;

    Shop(int nets, int serials) {
        const QString home = dir.path();
        SetProgramFolder(home);
        SetErrorDialog([this](const QString& text) {
            errors << text;
            return true;
        });
        SetMessageSink([this](const QString& text, const QString&, MsgIcon) { errors << text; });
        QByteArray ini = "[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\n[ComPorts]\r\n";
        for (int i = 1; i <= serials; ++i)
            ini += "COM" + QByteArray::number(i) + "=" + (home + QStringLiteral("/no-device-%1").arg(i)).toUtf8() + "\r\n";
        int slot = 0;
        auto machine = [&](const QString& name, const QString& folder, const QByteArray& link) {
            QDir().mkpath(folder);
            ini += "[Maskin " + QByteArray::number(++slot) + "]\r\nNamn=" + name.toUtf8() + "\r\n" + link +
                   "Extension=NC\r\nSendPath=" + folder.toUtf8() + "\r\nRecPath=" + folder.toUtf8() +
                   "\r\nRootPath=" + folder.toUtf8() + "\r\n";
        };
        for (int i = 0; i < nets; ++i)
            machine(QStringLiteral("Fräs %1").arg(i + 1, 2, 10, QLatin1Char('0')), home + QStringLiteral("/net%1").arg(i + 1),
                    "Typ=0\r\nIP=127.0.0." + QByteArray::number(2 + i) + "\r\nPort=9\r\n");
        for (int i = 0; i < serials; ++i)
            machine(QStringLiteral("Svarv %1").arg(i + 1, 2, 10, QLatin1Char('0')), home + QStringLiteral("/ser%1").arg(i + 1),
                    "Typ=1\r\nComPort=" + QByteArray::number(i + 1) + "\r\nBaudRate=115200\r\nSettings=,e,7,1\r\n");
        bench::WriteFile(home + QStringLiteral("/Fenmo32.INI"), ini);

        for (int i = 0; i < serials; ++i) {
            auto* p = new MemorySerialPort;
            p->setInstant(false);
            pcPorts.push_back(p);
            unclaimed.push_back(p);
        }
        GeneralSettings g;
        ReadGeneralSettings(g);
        server = std::make_unique<ShopServer>();
        server->setPortFactory([this]() -> SerialPort* {
            if (unclaimed.empty()) return new MemorySerialPort;
            MemorySerialPort* p = unclaimed.front();
            unclaimed.pop_front();
            return p;
        });
        QString error;
        if (!server->start(g, {}, &error)) {
            failure = QStringLiteral("the server did not start: ") + error;
            return;
        }
        if (server->machines() != nets + serials) {
            failure = QStringLiteral("the server serves %1 machines, not %2").arg(server->machines()).arg(nets + serials);
            return;
        }
        const QByteArray netBody = bench::NcProgram(kNetProgram, 11).chopped(2);
        const QByteArray serialBody = bench::NcProgram(kSerialProgram, 22).chopped(2);
        if (!getenv("BENCH_ONE_THREAD")) {
            machinesThread.start();
            serialThread.start();
        }
        for (int i = 0; i < nets; ++i) {
            net.push_back(std::make_unique<BenchMachine>("O" + QByteArray::number(1001 + i), netBody, false));
            BenchMachine* m = net.back().get();
            const QHostAddress from(QStringLiteral("127.0.0.%1").arg(2 + i));
            const quint16 port = server->port();
            if (machinesThread.isRunning()) m->moveToThread(&machinesThread);
            OnItsThread(m, [m, from, port] { m->connectFrom(from, port); });
        }
        for (int i = 0; i < serials; ++i) {
            if (!pcPorts[size_t(i)]->isOpen()) {
                failure = QStringLiteral("serial port %1 was not opened by its station").arg(i + 1);
                return;
            }
            serial.push_back(std::make_unique<BenchMachine>("O" + QByteArray::number(2001 + i), serialBody, true));
            serial.back()->attach(pcPorts[size_t(i)]);
            if (serialThread.isRunning()) serial.back()->moveAll(&serialThread);
        }
        // Every network machine connected and taken in by its station.
        const bool in = RunUntil(
            [&] {
                for (int i = 0; i < nets; ++i)
                    if (!net[size_t(i)]->connected() ||
                        server->station(QStringLiteral("Fräs %1").arg(i + 1, 2, 10, QLatin1Char('0')))
                                ->MachineConnections() != 1)
                        return false;
                return true;
            },
            10000);
        if (!in) failure = QStringLiteral("not every network machine got connected to its station");
    }
    ~Shop() {
        // Each network machine ends on its own thread; then the thread.
        for (auto& m : net) {
            BenchMachine* p = m.release();
            if (machinesThread.isRunning()) QMetaObject::invokeMethod(p, [p] { delete p; }, Qt::BlockingQueuedConnection);
            else delete p;
        }
        for (auto& m : serial) {
            BenchMachine* p = m.release();
            if (serialThread.isRunning()) QMetaObject::invokeMethod(p, [p] { delete p; }, Qt::BlockingQueuedConnection);
            else delete p;
        }
        machinesThread.quit();
        machinesThread.wait();
        serialThread.quit();
        serialThread.wait();
        net.clear();
        serial.clear();
        server.reset();
        SetErrorDialog({});
        SetMessageSink({});
    }

    // Runs the machines for ms, then lets each finish its request under way.
    // Returns the seconds to the deadline. The deadline is a timer of its
    // own: it must also fire while a station waits in an event loop of its own.
    double Run(const std::vector<BenchMachine*>& machines, int ms) {
        std::atomic<int> running = 0;
        const double t0 = Now();
        double stoppedAt = 0;
        for (BenchMachine* m : machines) {
            m->deadline = t0 + ms / 1000.0;
            m->stoppedHook = [&running] { --running; };
            m->countingLine = true;
            ++running;
        }
        QTimer deadline;
        deadline.setSingleShot(true);
        deadline.setTimerType(Qt::PreciseTimer);
        QObject::connect(&deadline, &QTimer::timeout, [&] {
            stoppedAt = Now();
            for (BenchMachine* m : machines) m->countingLine = false;
            for (BenchMachine* m : machines) OnItsThread(m, [m] { m->stop(); });
        });
        deadline.start(ms);
        // The longest the thread went without getting to its timers (a
        // handler that blocks: a disk write, a long computation).
        QTimer beat;
        beat.setTimerType(Qt::PreciseTimer);
        double lastBeat = Now();
        longestPause = 0;
        QObject::connect(&beat, &QTimer::timeout, [&] {
            const double t = Now();
            longestPause = std::max(longestPause, t - lastBeat);
            lastBeat = t;
        });
        beat.start(kBeatMs);
        for (BenchMachine* m : machines) OnItsThread(m, [m] { m->start(); });
        RunUntil([&] { return running == 0; }, ms + kAnswerTimeoutMs + 10000);
        ended = Now() - t0;
        for (BenchMachine* m : machines) m->stoppedHook = {};
        return stoppedAt > 0 ? stoppedAt - t0 : ended;
    }
    double ended = 0;  // seconds from the start of the last run to its last answer
    double longestPause = 0;  // seconds between two beats of a kBeatMs timer, at most
};

std::vector<BenchMachine*> All(const std::vector<std::unique_ptr<BenchMachine>>& list) {
    std::vector<BenchMachine*> out;
    for (const auto& m : list) out.push_back(m.get());
    return out;
}

Counts Sum(const std::vector<BenchMachine*>& list) {
    Counts c;
    for (const BenchMachine* m : list) {
        c.requests += m->counts.requests;
        c.ok += m->counts.ok;
        c.mismatched += m->counts.mismatched;
        c.lost += m->counts.lost;
        c.stray += m->counts.stray;
        c.longest = std::max(c.longest, m->counts.longest);
        c.programBytes += m->counts.programBytes;
    }
    return c;
}

double Mb(long long bytes) { return bytes / (1024.0 * 1024.0); }

// This program again as a process of its own with one machine ("tcp" or
// "serial"); its peak resident size in bytes, or 0.
long long SingleMachinePeak(const char* link, int seconds) {
    QProcess p;
    p.start(QCoreApplication::applicationFilePath(),
            {QStringLiteral("--single"), QString::fromLatin1(link), QString::number(seconds)});
    if (!p.waitForFinished((seconds + 120) * 1000)) {
        p.kill();
        p.waitForFinished();
        return 0;
    }
    const QByteArray out = p.readAllStandardOutput();
    std::printf("    %s", out.constData());
    const qsizetype at = out.indexOf("PEAK ");
    return at < 0 ? 0 : out.mid(at + 5).split(' ').first().toLongLong();
}

// The single-machine process: the server with one machine, used for the run.
int RunSingle(bool serialLink, int seconds) {
    Shop shop(serialLink ? 0 : 1, serialLink ? 1 : 0);
    if (!shop.failure.isEmpty()) {
        std::printf("FAILED: %s\n", shop.failure.toUtf8().constData());
        return 1;
    }
    const auto machines = All(serialLink ? shop.serial : shop.net);
    shop.Run(machines, seconds * 1000);
    const Counts c = Sum(machines);
    const double line = serialLink ? 100.0 * machines.front()->lineChars / (seconds * LineRate()) : 0;
    std::printf("one %s machine alone, %d s: %lld requests, %lld exact%s; PEAK %lld bytes (VmHWM), now %lld bytes (VmRSS)\n",
                serialLink ? "serial" : "network", seconds, c.requests, c.ok,
                serialLink ? QStringLiteral(", line %1 %").arg(line, 0, 'f', 1).toUtf8().constData() : "",
                bench::StatusBytes("VmHWM"),
                bench::StatusBytes("VmRSS"));
    return c.ok > 0 && c.mismatched == 0 && c.lost == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc > 2 && std::strcmp(argv[1], "--single") == 0)
        return RunSingle(std::strcmp(argv[2], "serial") == 0, argc > 3 ? std::atoi(argv[3]) : 5);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 60;
    const int aloneSeconds = std::clamp(seconds / 6, 3, 10);
    const double rate = LineRate();

    std::printf("Shop server, one process: %d network machines (127.0.0.2-%d, %lld-byte program) and %d serial "
                "machines (in-memory, %s = %.0f chars/s, %lld-byte program); each stores its program and loads it "
                "back in a loop\n",
                kNetMachines, 1 + kNetMachines, static_cast<long long>(kNetProgram), kSerialMachines, kLine, rate,
                static_cast<long long>(kSerialProgram));
    std::fflush(stdout);
    const double cpuStart = CpuSeconds();
    const long long rssBefore = bench::StatusBytes("VmRSS");
    auto shop = std::make_unique<Shop>(kNetMachines, kSerialMachines);
    if (!shop->failure.isEmpty()) {
        std::printf("FAILED: %s\n", shop->failure.toUtf8().constData());
        return 1;
    }
    const long long rssServing = bench::StatusBytes("VmRSS");
    std::printf("Server started in %s, %d machines served, all network machines connected; resident %.1f MB (%.1f MB "
                "before the server)\n",
                shop->dir.path().toUtf8().constData(), shop->server->machines(), Mb(rssServing), Mb(rssBefore));

    // Silent: all connected, nothing asked.
    RunFor(300);
    const double idleCpu0 = CpuSeconds(), idleWall0 = Now();
    RunFor(kIdleMs);
    const double idleCpu = CpuSeconds() - idleCpu0, idleWall = Now() - idleWall0;
    const double idlePercent = 100.0 * idleCpu / idleWall;
    std::printf("%-58s %10.4f s CPU over %.2f s = %.3f%% of one core  (limit 1%%) %s\n",
                "Idle: 64 machines connected, silent", idleCpu, idleWall, idlePercent,
                idlePercent < 1.0 ? "OK" : "OVER");
    std::fflush(stdout);

    // One network machine alone.
    BenchMachine* first = shop->net.front().get();
    const double aloneTime = shop->Run({first}, aloneSeconds * 1000);
    const Counts alone = first->counts;
    const double aloneRate = alone.programBytes / aloneTime;
    std::printf("One network machine alone, %d s: %lld requests, %lld exact, %.1f MB/s of program bytes\n",
                aloneSeconds, alone.requests, alone.ok, Mb(aloneRate));
    std::fflush(stdout);
    first->counts = {};

    // All 64.
    const double cpu0 = CpuSeconds();
    rusage ru0{};
    getrusage(RUSAGE_SELF, &ru0);
    std::vector<BenchMachine*> everyone = All(shop->net);
    const std::vector<BenchMachine*> serials = All(shop->serial);
    everyone.insert(everyone.end(), serials.begin(), serials.end());
    const double runTime = shop->Run(everyone, seconds * 1000);
    const double cpuRun = CpuSeconds() - cpu0;
    rusage ru1{};
    getrusage(RUSAGE_SELF, &ru1);

    const Counts netSum = Sum(All(shop->net)), serialSum = Sum(serials), total = Sum(everyone);
    std::vector<double> shares;
    for (const BenchMachine* m : serials) shares.push_back(100.0 * m->lineChars / (runTime * rate));
    std::sort(shares.begin(), shares.end());
    const double median = (shares[shares.size() / 2] + shares[(shares.size() - 1) / 2]) / 2;
    const double netRate = netSum.programBytes / runTime;
    const double netRatio = 100.0 * netRate / aloneRate;

    qint64 fewest = serials.front()->counts.requests, most = fewest;
    for (const BenchMachine* m : serials) {
        fewest = std::min(fewest, m->counts.requests);
        most = std::max(most, m->counts.requests);
    }
    std::printf("\nAll 64 machines, %.1f s (the last answer %.1f s after the start):\n", runTime, shop->ended);
    std::printf("  requests %lld (network %lld, serial %lld), answered byte-exact %lld\n", total.requests,
                netSum.requests, serialSum.requests, total.ok);
    std::printf("%-58s %10lld lost, %lld not byte-exact  (target 0) %s\n", "  Answers", total.lost, total.mismatched,
                total.lost == 0 && total.mismatched == 0 ? "OK" : "FAILED");
    std::printf("    lost: network %lld, serial %lld (no whole answer within %d s); %lld bytes came after their request "
                "was given up\n",
                netSum.lost, serialSum.lost, kAnswerTimeoutMs / 1000, total.stray);
    std::printf("  requests per serial line: %lld to %lld; longest wait for a whole answer: serial %.1f s, network %.1f s\n",
                fewest, most, serialSum.longest, netSum.longest);
    std::printf("%-58s min %6.2f %%  median %6.2f %%  max %6.2f %% of %.0f chars/s  (target >= 97%%) %s\n",
                "  Serial lines, chars on the line (both ways)", shares.front(), median, shares.back(), rate,
                shares.front() >= 97.0 ? "OK" : "UNDER");
    std::printf("%-58s %10.1f MB/s summed  vs %.1f MB/s alone = %.1f %%  (target >= 80%%) %s\n",
                "  Network machines, program bytes", Mb(netRate), Mb(aloneRate), netRatio, netRatio >= 80.0 ? "OK" : "UNDER");
    std::printf("  CPU from the start to the last answer %.2f s (%.1f%% of one core; user %.2f s, system %.2f s); whole "
                "process so far %.2f s\n",
                cpuRun, 100.0 * cpuRun / shop->ended,
                (ru1.ru_utime.tv_sec - ru0.ru_utime.tv_sec) + (ru1.ru_utime.tv_usec - ru0.ru_utime.tv_usec) / 1e6,
                (ru1.ru_stime.tv_sec - ru0.ru_stime.tv_sec) + (ru1.ru_stime.tv_usec - ru0.ru_stime.tv_usec) / 1e6,
                CpuSeconds() - cpuStart);
    std::printf("  The thread's longest time away from its events (a %d ms timer's longest gap): %.0f ms\n", kBeatMs,
                1000.0 * shop->longestPause);
    const long long peak = bench::StatusBytes("VmHWM");
    std::printf("  Peak resident memory (VmHWM) %.1f MB, now %.1f MB (the 64 machines' own buffers and ports included)\n",
                Mb(peak), Mb(bench::StatusBytes("VmRSS")));
    if (!shop->errors.isEmpty())
        std::printf("  %lld error reports, the first: %s\n", static_cast<long long>(shop->errors.size()),
                    shop->errors.first().toUtf8().constData());
    std::fflush(stdout);
    shop.reset();

    // 64 servers of one machine each, estimated from one of each link.
    std::printf("\nOne machine per process (this program again, %d s each):\n", 5);
    std::fflush(stdout);
    const long long oneNet = SingleMachinePeak("tcp", 5);
    const long long oneSerial = SingleMachinePeak("serial", 5);
    const long long separate = kNetMachines * oneNet + kSerialMachines * oneSerial;
    const double share = separate > 0 ? 100.0 * peak / separate : 0;
    std::printf("%-58s %10.1f MB  vs 32 x %.1f + 32 x %.1f = %.1f MB = %.1f %%  (target <= 25%%) %s\n",
                "Memory: one server of 64 (peak) against 64 servers of one", Mb(peak), Mb(oneNet), Mb(oneSerial),
                Mb(separate), share, separate > 0 && share <= 25.0 ? "OK" : "OVER");
    return 0;
}
