// Sending many small programs over TCP: 100 programs of 10 KB in one "Sänd"
// (each on its own connection, each waiting for the machine's answer)
// against one program of 1 MB, to machine-sim running as a process of its
// own. Target: the 100 small ones take at most 3x the one large one.
//
// Beside it, in the same run, the floor for one small program: a plain
// loopback connect, the same 10 KB as the request and a short answer between
// two processes, with nothing read or stored. A second round with the
// folders on tmpfs shows what the disk adds.
#include "benchutil.h"
#include "link/frames.h"
#include "linkbench.h"
#include "loopback.h"

#include <QCoro/QCoroTask>
#include <sys/wait.h>

#include <QCoreApplication>
#include <QTcpSocket>
#include <QTemporaryDir>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <vector>

namespace {

constexpr int kSmallCount = 100;
constexpr qint64 kSmallSize = 10 * 1024;
constexpr qint64 kLargeSize = 1024 * 1024;
constexpr int kRuns = 3;
constexpr double kLimit = 3.0;

QString SmallName(int i) { return QStringLiteral("O%1").arg(1001 + i); }

double Now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

struct Round {
    double manySmall = 0, oneLarge = 0, rawRoundTrips = 0;
    double connectMs = 0, writeMs = 0, answerMs = 0;
    bool ok = false;
};

// kSmallCount plain round trips: connect, kSmallSize bytes, a 24-byte answer
// from a forked process, close. Seconds for all of them, or -1.
double RawRoundTrips() {
    quint16 port = 0;
    const int listener = bench::ListenLoopback(&port, kSmallCount);
    if (listener < 0) return -1;
    const QByteArray request(kSmallSize, 'X');
    const QByteArray answer = BuildFrame("R", "SAV", "", "O1001", "00") + "\r\n00%";
    const pid_t far = ::fork();
    if (far == 0) {
        std::vector<char> buf(64 * 1024);
        for (int i = 0; i < kSmallCount; ++i) {
            const int c = ::accept(listener, nullptr, nullptr);
            qint64 got = 0;
            for (ssize_t n; got < kSmallSize && (n = ::read(c, buf.data(), buf.size())) > 0;) got += n;
            bench::WriteAll(c, answer.constData(), static_cast<size_t>(answer.size()));
            ::close(c);
        }
        ::_exit(0);
    }
    ::close(listener);
    bool ok = true;
    const double t0 = Now();
    for (int i = 0; i < kSmallCount && ok; ++i) {
        const int s = bench::ConnectLoopback(port);
        ok = s >= 0 && bench::WriteAll(s, request.constData(), static_cast<size_t>(request.size()));
        char in[64];
        qint64 got = 0;
        for (ssize_t n; ok && got < answer.size() && (n = ::read(s, in, sizeof in)) > 0;) got += n;
        ok = ok && got == answer.size();
        if (s >= 0) ::close(s);
    }
    const double seconds = Now() - t0;
    int status = 0;
    if (!ok) ::kill(far, SIGKILL);
    ::waitpid(far, &status, 0);
    return ok ? seconds : -1;
}

// One round with the station's and the machine's folders below parent.
Round Measure(const QString& parent) {
    Round r;
    QTemporaryDir dir(parent + QStringLiteral("/bench_ops_many_small-XXXXXX"));
    const QString memory = dir.path() + QStringLiteral("/memory");
    QDir().mkpath(memory);
    bench::SimProcess sim(memory);
    if (!dir.isValid() || sim.port == 0) {
        std::printf("FAILED: machine-sim did not start in %s\n", parent.toUtf8().constData());
        return r;
    }
    bench::TcpStation s(dir.path() + QStringLiteral("/home"), sim.port);
    Station& st = s.station;

    QList<QByteArray> small;
    QStringList smallFiles;
    for (int i = 0; i < kSmallCount; ++i) {
        small << bench::NcProgram(kSmallSize, 1000 + i);
        smallFiles << SmallName(i) + QStringLiteral(".NC");
        bench::WriteFile(s.send + QLatin1Char('/') + smallFiles.last(), small.last());
    }
    const QByteArray large = bench::NcProgram(kLargeSize, 7);
    bench::WriteFile(s.send + QStringLiteral("/O2000.NC"), large);

    // Every program must be in the machine's memory as sent (the machine
    // keeps the frame's closing line end).
    auto stored = [&](const QString& name, const QByteArray& program) {
        QFile f(memory + QLatin1Char('/') + name);
        if (!f.open(QIODevice::ReadOnly)) return false;
        const QByteArray got = f.readAll();
        return got.startsWith(program) && got.size() - program.size() <= 2;
    };
    bool ok = true;
    auto sendAll = [&](const QStringList& files) {
        for (const QString& f : files) QFile::remove(memory + QLatin1Char('/') + f.chopped(3));
        s.panel.selectedLocal = files;
        QCoro::waitFor(cmdSend_Click(st, s.panel.send()));
        if (st.aborted() || !st.transferDone() || !s.errors.isEmpty()) {
            ok = false;
            std::printf("FAILED: %s\n", s.panel.status().toUtf8().constData());
        }
    };

    // Where each small program's time goes, from the socket's signals: the
    // previous answer to connected, connected to the message handed to the
    // socket, that to the machine's answer.
    double mark = 0, connecting = 0, writing = 0, answering = 0;
    int answers = 0;
    const auto c1 = QObject::connect(st.pcConnection(), &QTcpSocket::connected, [&] {
        const double t = Now();
        connecting += t - mark;
        mark = t;
    });
    const auto c2 = QObject::connect(st.pcConnection(), &QTcpSocket::bytesWritten, [&] {
        if (st.pcConnection()->bytesToWrite() > 0) return;
        const double t = Now();
        writing += t - mark;
        mark = t;
    });
    const auto c3 = QObject::connect(st.pcConnection(), &QTcpSocket::readyRead, [&] {
        const double t = Now();
        answering += t - mark;
        mark = t;
        ++answers;
    });
    r.manySmall = bench::BestOf(kRuns, [&] {
        mark = Now();
        sendAll(smallFiles);
    });
    for (const auto& c : {c1, c2, c3}) QObject::disconnect(c);
    const int n = std::max(1, answers);
    r.connectMs = 1000.0 * connecting / n;
    r.writeMs = 1000.0 * writing / n;
    r.answerMs = 1000.0 * answering / n;
    for (int i = 0; i < kSmallCount; ++i)
        if (!stored(SmallName(i), small[i])) {
            ok = false;
            std::printf("FAILED: %s not stored as sent\n", SmallName(i).toUtf8().constData());
            break;
        }

    r.oneLarge = bench::BestOf(kRuns, [&] { sendAll({QStringLiteral("O2000.NC")}); });
    r.rawRoundTrips = 1e100;
    for (int i = 0; i < kRuns; ++i) {
        const double t = RawRoundTrips();
        if (t < 0) ok = false;
        else r.rawRoundTrips = std::min(r.rawRoundTrips, t);
    }
    if (!stored(QStringLiteral("O2000"), large)) {
        ok = false;
        std::printf("FAILED: O2000 not stored as sent\n");
    }
    r.ok = ok;
    return r;
}

void Print(const char* where, const Round& r) {
    std::printf("%s: %d x %lld bytes in %.4f s (%.2f ms each), 1 x %lld bytes in %.4f s\n", where, kSmallCount,
                static_cast<long long>(kSmallSize), r.manySmall, 1000.0 * r.manySmall / kSmallCount,
                static_cast<long long>(kLargeSize), r.oneLarge);
    std::printf("  per small program (all runs): %.3f ms to connected, %.3f ms to the message written, %.3f ms to "
                "the machine's answer\n",
                r.connectMs, r.writeMs, r.answerMs);
    const double each = 1000.0 * r.manySmall / kSmallCount, raw = 1000.0 * r.rawRoundTrips / kSmallCount;
    std::printf("  per small program %.3f ms against a plain loopback connect + 10 KB + answer %.3f ms (%.1fx); the "
                "rest, %.3f ms, is the station's and the machine's work between\n",
                each, raw, each / raw, each - raw);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const Round disk = Measure(QDir::tempPath());
    Print("TCP to machine-sim (a process), folders in the temporary folder", disk);
    bench::Report(disk.ok ? "Send 100 x 10 KB vs 1 x 1 MB over TCP" : "Send 100 x 10 KB vs 1 x 1 MB over TCP (FAILED)",
                  disk.manySmall, disk.oneLarge, kLimit);
    std::fflush(stdout);

    if (QFileInfo(QStringLiteral("/dev/shm")).isWritable()) {
        const Round shm = Measure(QStringLiteral("/dev/shm"));
        Print("The same with the folders on tmpfs (/dev/shm)", shm);
        bench::Report(shm.ok ? "  station's share: the same on tmpfs" : "  station's share: the same on tmpfs (FAILED)",
                      shm.manySmall, shm.oneLarge, kLimit);
    }
    return 0;
}
