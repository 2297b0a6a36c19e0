// Jobs side by side in one shop server of 64 machines: 56 healthy network
// machines, 4 silent ones (their send waits for an answer that never comes)
// and 4 serial machines each taking a 1 MB program at 9,600 baud 7E1. The
// machines are machine-sim processes; the serial ones in-memory ports here.
//
// Figures: the time of a 10 KB send job on a healthy machine (created to
// ended) alone, then while the silent and serial machines' jobs run and all
// 56 healthy machines send at once, 10 rounds: median and 99th percentile
// against the time alone (targets: + 50 ms and + 250 ms); the memory that
// 10,000 jobs queued on one machine cost (target: under 20 MB); the CPU the
// server uses with every machine connected and nothing to do for 5 s
// (target: under 1% of a core). Then 8 machines with two clients each at once
// (a verb, as the local socket runs it, and an API job) beside the other 48
// machines' sends: no job fails, and the others keep the same targets.
//
//   bench_jobs_latency
//
// The program folder is made in the temporary folder (TMPDIR).
#include "linkbench.h"
#include "common/home.h"
#include "config/generalsettings.h"
#include "link/memoryserialport.h"
#include "station/station.h"
#include "server/jobpanel.h"
#include "server/shopserver.h"
#include "app/verb_session.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QProcess>
#include <QTimer>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <cstdio>
#include <memory>
#include <vector>

namespace {
constexpr int kHealthy = 56, kSilent = 4, kSerial = 4, kRounds = 10, kPairs = 8;
constexpr double kPending = std::numeric_limits<double>::quiet_NaN();

// A verb client that reads nothing of what the verb prints.
class QuietIO : public VerbIO {
public:
    void out(const QString&) override {}
    void err(const QString&) override {}
};

// A loop of the bench's own (a timed processEvents would spin a core and
// spoil the idle figure), looked at every 5 ms.
bool WaitFor(const std::function<bool()>& done, int ms) {
    QEventLoop loop;
    QDeadlineTimer deadline(ms);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, &loop, [&] {
        if (done() || deadline.hasExpired()) loop.quit();
    });
    tick.start(5);
    if (!done()) loop.exec();
    return done();
}

long long RssKb() {
    long long pages = 0, resident = 0;
    if (FILE* f = std::fopen("/proc/self/statm", "r")) {
        if (std::fscanf(f, "%lld %lld", &pages, &resident) != 2) resident = 0;
        std::fclose(f);
    }
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

// A send of the machine's O1.NC as a job; its duration (ms) lands in *ms when it ends
// (NaN until then: a send may end within the millisecond it was made).
std::shared_ptr<JobRun> Send(Station* st, double* ms) {
    auto panel = std::make_shared<JobPanel>(true);
    auto run = SubmitRequest(*st, JobRequest{JobKind::Send, st->machine().SendPath, {QStringLiteral("O1.NC")}},
                             QStringLiteral("bench"), panel);
    if (ms) {
        auto done = std::make_shared<QMetaObject::Connection>();
        *done = QObject::connect(&st->jobs(), &JobQueue::changed, [id = run->record.id, ms, done](const Job& j) {
            if (j.id != id || !j.finished()) return;
            *ms = double(j.created.msecsTo(j.ended));
            if (j.state != JobState::Done) {
                *ms = -1;
                if (getenv("BENCH_DEBUG")) std::fprintf(stderr, "%s: %s\n", qPrintable(j.machine), qPrintable(j.text));
            }
            QObject::disconnect(*done);
        });
    }
    return run;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    const QString home = dir.path();
    SetProgramFolder(home);

    // The machines: machine-sim processes, as a shop's machines are not the server's work.
    std::vector<std::unique_ptr<QProcess>> sims;
    QByteArray ini = "[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\nSvarTimeout=65000\r\nRecTimeout=65000\r\n"
                     "GeneralTimeout=65000\r\nSendTimeout=0\r\nCtsTimeout=0\r\n";
    int slot = 0;
    auto machine = [&](const QString& name, const QByteArray& keys, const QByteArray& program) {
        const QString folder = home + QStringLiteral("/m%1").arg(++slot);
        bench::WriteFile(folder + QStringLiteral("/O1.NC"), program);
        ini += "[Maskin " + QByteArray::number(slot) + "]\r\nNamn=" + name.toUtf8() + "\r\n" + keys +
               "GetDir=False\r\nExtension=NC\r\nRootPath=" + folder.toUtf8() + "\r\nSendPath=" + folder.toUtf8() +
               "\r\nRecPath=" + folder.toUtf8() + "\r\n";
    };
    auto sim = [&](bool silent) -> QByteArray {
        const QString memory = home + QStringLiteral("/minne%1").arg(sims.size());
        QDir().mkpath(memory);
        auto p = std::make_unique<QProcess>();
        QStringList args{QStringLiteral("--memory"), memory, QStringLiteral("--tcp-listen"), QStringLiteral("127.0.0.1:0")};
        if (silent) args << QStringLiteral("--fault") << QStringLiteral("silent");
        p->start(QCoreApplication::applicationDirPath() + QStringLiteral("/machine-sim"), args);
        QByteArray port;
        while (port.isEmpty() && p->waitForReadyRead(10000))
            while (p->canReadLine()) {
                const QByteArray line = p->readLine().trimmed();
                if (line.startsWith("LISTENING ")) port = line.mid(10);
            }
        sims.push_back(std::move(p));
        return port;
    };
    const QByteArray small = bench::NcProgram(10 * 1024, 7), large = bench::NcProgram(1024 * 1024, 8);
    for (int i = 0; i < kHealthy; ++i)
        machine(QStringLiteral("Fräs %1").arg(i + 1), "Typ=0\r\nIP=127.0.0.1\r\nPort=" + sim(false) + "\r\n", small);
    for (int i = 0; i < kSilent; ++i)
        machine(QStringLiteral("Tyst %1").arg(i + 1), "Typ=0\r\nIP=127.0.0.1\r\nPort=" + sim(true) + "\r\n", small);
    for (int i = 0; i < kSerial; ++i)
        machine(QStringLiteral("Svarv %1").arg(i + 1),
                "Typ=1\r\nComPort=" + QByteArray::number(i + 1) + "\r\nBaudRate=9600\r\nSettings=,e,7,1\r\n", large);
    bench::WriteFile(home + QStringLiteral("/Fenmo32.INI"), ini);

    // The serial machines' ends: opened, reading nothing back (a 1 MB program at 9,600 baud outlasts the run).
    std::vector<std::unique_ptr<MemorySerialPort>> far;
    std::vector<MemorySerialPort*> pcs;
    ShopServer server;
    server.setPortFactory([&]() -> SerialPort* {
        auto* pc = new MemorySerialPort;
        pc->setInstant(false);
        far.push_back(std::make_unique<MemorySerialPort>());
        far.back()->setInstant(false);
        ConnectBackToBack(*pc, *far.back());
        far.back()->setSettings(QStringLiteral("9600,e,7,1"));
        far.back()->open();
        pcs.push_back(pc);
        return pc;
    });
    GeneralSettings g;
    ReadGeneralSettings(g);
    QString error;
    if (!server.start(g, {}, &error) || server.machines() != kHealthy + kSilent + kSerial) {
        std::fprintf(stderr, "the server did not start: %s\n", qPrintable(error));
        return 1;
    }
    auto st = [&](const QString& name) { return server.station(name); };

    // Alone: one healthy machine, nothing else under way.
    std::vector<double> alone;
    for (int i = 0; i < 20; ++i) {
        double ms = kPending;
        Send(st(QStringLiteral("Fräs 1")), &ms);
        if (!WaitFor([&] { return !std::isnan(ms); }, 30000) || ms < 0) {
            std::fprintf(stderr, "a send alone did not end\n");
            return 1;
        }
        alone.push_back(ms);
    }
    const double aloneMs = Percentile(alone, 0.5);

    // All 56 at once with nothing else under way: what the burst itself costs.
    auto burst = [&](std::vector<double>* into, int* failed) {
        std::vector<double> ms(kHealthy, kPending);
        for (int i = 0; i < kHealthy; ++i) Send(st(QStringLiteral("Fräs %1").arg(i + 1)), &ms[size_t(i)]);
        if (!WaitFor([&] { return std::none_of(ms.begin(), ms.end(), [](double v) { return std::isnan(v); }); }, 60000)) return false;
        for (double v : ms) {
            if (v < 0) ++*failed;
            else into->push_back(v);
        }
        return true;
    };
    std::vector<double> quiet;
    int failed = 0;
    for (int round = 0; round < 3; ++round)
        if (!burst(&quiet, &failed)) return 1;

    // Under way elsewhere: the silent machines' sends and the serial lines' long programs.
    for (int i = 0; i < kSilent; ++i) Send(st(QStringLiteral("Tyst %1").arg(i + 1)), nullptr);
    for (int i = 0; i < kSerial; ++i) Send(st(QStringLiteral("Svarv %1").arg(i + 1)), nullptr);
    WaitFor([] { return false; }, 500);

    std::vector<double> loaded;
    for (int round = 0; round < kRounds; ++round)
        if (!burst(&loaded, &failed)) {
            std::fprintf(stderr, "round %d: not every send ended\n", round + 1);
            return 1;
        }
    const double median = Percentile(loaded, 0.5), p99 = Percentile(loaded, 0.99);

    // Two clients on each of 8 machines at once, a verb and an API job, while
    // the other 48 healthy machines send: nobody's job fails, and the others'
    // sends keep their time.
    server.setVerbRunner(RunForClient);
    SetServedMachines([&server](const QString& name) { return ServedMachine{server.station(name)}; });
    std::vector<double> beside;
    int pairFailed = 0, pairJobs = 0;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<double> pairMs(kPairs, kPending), others(kHealthy - kPairs, kPending);
        std::vector<int> verbStatus(kPairs, -1);
        std::vector<std::unique_ptr<QuietIO>> ios;
        for (int i = 0; i < kPairs; ++i) {
            const QString name = QStringLiteral("Fräs %1").arg(i + 1);
            ios.push_back(std::make_unique<QuietIO>());
            QCoro::connect(server.runVerb({QStringLiteral("send"), QStringLiteral("--yes"), QStringLiteral("--"), name,
                                           home + QStringLiteral("/m%1/O1.NC").arg(i + 1)},
                                          *ios.back()),
                           &app, [&verbStatus, i](int status) { verbStatus[size_t(i)] = status; });
            Send(st(name), &pairMs[size_t(i)]);
        }
        for (int i = kPairs; i < kHealthy; ++i) Send(st(QStringLiteral("Fräs %1").arg(i + 1)), &others[size_t(i - kPairs)]);
        const auto ended = [](const std::vector<double>& v) { return std::none_of(v.begin(), v.end(), [](double x) { return std::isnan(x); }); };
        if (!WaitFor([&] { return ended(pairMs) && ended(others) && std::count(verbStatus.begin(), verbStatus.end(), -1) == 0; }, 60000)) {
            std::fprintf(stderr, "two clients, round %d: not every job ended\n", round + 1);
            return 1;
        }
        for (int i = 0; i < kPairs; ++i) {
            pairJobs += 2;
            pairFailed += (pairMs[size_t(i)] < 0) + (verbStatus[size_t(i)] != 0);
        }
        for (double v : others) {
            if (v < 0) ++pairFailed;
            else beside.push_back(v);
        }
    }
    SetServedMachines({});
    const double besideMedian = Percentile(beside, 0.5), besideP99 = Percentile(beside, 0.99);

    bool serialBusy = true;
    for (int i = 0; i < kSerial; ++i) serialBusy = serialBusy && st(QStringLiteral("Svarv %1").arg(i + 1))->Busy();

    // 10,000 jobs waiting behind a silent machine's send.
    Station* tyst = st(QStringLiteral("Tyst 1"));
    const long long before = RssKb();
    for (int i = 0; i < 10000; ++i) Send(tyst, nullptr);
    const long long after = RssKb();
    const int queued = tyst->jobs().waiting();

    // Idle: every job ended, every machine still connected or open.
    for (const QString& n : server.names())
        if (Station* s = server.station(n)) {
            s->jobs().close(QStringLiteral("bench"));
            if (const auto r = s->jobs().runningJob()) s->jobs().cancel(r->record.id, QStringLiteral("Avbrutet."));
        }
    WaitFor([] { return false; }, 1000);
    const double cpu0 = CpuSeconds();
    {
        QEventLoop quiet;
        QTimer::singleShot(5000, &quiet, &QEventLoop::quit);
        quiet.exec();
    }
    const double idle = (CpuSeconds() - cpu0) / 5.0 * 100.0;

    std::printf("10 KB send alone: median %.1f ms (20 runs)\n", aloneMs);
    std::printf("under load (%d silent sends waiting, %d serial lines sending 1 MB at 9600: %s), %zu sends of %d machines:\n",
                kSilent, kSerial, serialBusy ? "still sending" : "NOT ALL SENDING", loaded.size(), kHealthy);
    std::printf("  median %.1f ms (alone + %.1f ms, target + 50): %s\n", median, median - aloneMs,
                median - aloneMs <= 50 ? "ok" : "OVER");
    std::printf("  99th percentile %.1f ms (alone + %.1f ms, target + 250): %s\n", p99, p99 - aloneMs,
                p99 - aloneMs <= 250 ? "ok" : "OVER");
    std::printf("  failed: %d\n", failed);
    std::printf("two clients (verb + API) on each of %d machines, %d rounds: %d jobs, %d failed; the other %d machines' sends:\n",
                kPairs, kRounds, pairJobs, pairFailed, kHealthy - kPairs);
    std::printf("  median %.1f ms (alone + %.1f ms, target + 50): %s\n", besideMedian, besideMedian - aloneMs,
                besideMedian - aloneMs <= 50 ? "ok" : "OVER");
    std::printf("  99th percentile %.1f ms (alone + %.1f ms, target + 250): %s\n", besideP99, besideP99 - aloneMs,
                besideP99 - aloneMs <= 250 ? "ok" : "OVER");
    std::printf("  the same burst of %d with nothing else under way: median %.1f ms, 99th percentile %.1f ms\n", kHealthy,
                Percentile(quiet, 0.5), Percentile(quiet, 0.99));
    std::printf("10,000 queued jobs (%d waiting): %.1f MB (target under 20): %s\n", queued, double(after - before) / 1024.0,
                (after - before) < 20 * 1024 ? "ok" : "OVER");
    std::printf("idle, 64 machines: %.3f%% of a core (target under 1%%): %s\n", idle, idle < 1.0 ? "ok" : "OVER");
    for (auto& p : sims) {
        p->terminate();
        p->waitForFinished(5000);
    }
    return 0;
}
