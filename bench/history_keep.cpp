// Keeping a version: into an empty store against into a store of 200,000
// versions (10,000 programs, 20 each), first below its limit, then at it,
// where every keep must also make room.
//
//   bench_history_keep [programs]
#include "benchutil.h"
#include "common/home.h"
#include "library/history.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kVersionsEach = 20;
constexpr int kVersionBytes = 100;

void WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size()) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        std::exit(1);
    }
}

// Versions as the store names them, written with plain calls: Qt's file
// objects would make the set-up take longer than the benchmark.
void FillStore(const QString& home, int programs) {
    const QByteArray bytes(kVersionBytes, 'v');
    const QDateTime start = QDateTime::currentDateTime().addDays(-30);
    for (int p = 0; p < programs; ++p) {
        const QString store = home + QStringLiteral("/historik/%1").arg(p, 20, 16, QLatin1Char('0'));
        QDir().mkpath(store);
        WriteFile(store + QStringLiteral("/program.txt"), "/verkstad/ncprog/O" + QByteArray::number(p) + ".NC\n");
        for (int v = 1; v <= kVersionsEach; ++v) {
            const QString name = VersionFileName(v, start.addSecs(qint64(v) * programs + p), 5000, QStringLiteral("Fräs 1"));
            const QByteArray path = QFile::encodeName(store + QLatin1Char('/') + name);
            const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd < 0 || ::write(fd, bytes.constData(), bytes.size()) != bytes.size()) std::exit(1);
            ::close(fd);
        }
    }
}

// A 10 KB program, different each time.
QByteArray Program(int n) {
    QByteArray text = "%\r\nO1234\r\n";
    for (int i = 0; text.size() < 10 * 1024; ++i) text += "N" + QByteArray::number(i) + " G01 X" + QByteArray::number(n + i) + "\r\n";
    return text + "%";
}

// Median seconds of one keep, over runs keeps of one program.
double KeepTime(const QString& home, int runs) {
    SetProgramFolder(home);
    const QString program = home + QStringLiteral("/ncprog/O1234.NC");
    QDir().mkpath(home + QStringLiteral("/ncprog"));
    std::vector<double> times;
    for (int i = 0; i < runs; ++i) {
        WriteFile(program, Program(i));
        times.push_back(bench::BestOf(1, [&] {
            if (!KeepVersion(program, QStringLiteral("Fräs 1")).ok) std::exit(1);
        }));
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

qint64 StoreBytes(const QString& home) {
    QFile f(home + QStringLiteral("/historik/index"));
    return f.open(QIODevice::ReadOnly) ? f.readLine().split(' ').value(1).toLongLong() : -1;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int programs = argc > 1 ? std::atoi(argv[1]) : 10000;
    QTemporaryDir empty, full;
    FillStore(full.path(), programs);
    constexpr int kRuns = 41;

    // The first keep into a store without an index counts it once.
    const double first = bench::BestOf(1, [&] { KeepTime(full.path(), 1); });
    const double base = KeepTime(empty.path(), kRuns);
    const double below = KeepTime(full.path(), kRuns);

    // At the limit: every keep takes the oldest versions of other programs.
    WriteFile(full.path() + QStringLiteral("/Fenmo32.INI"),
              "[Program]\r\nHistoryMaxMB=" + QByteArray::number(StoreBytes(full.path()) / (1024 * 1024)) + "\r\n");
    KeepTime(full.path(), 1);
    const double atLimit = KeepTime(full.path(), kRuns);

    std::printf("%d versions in %d programs; the first keep counted them in %.3f s\n", programs * kVersionsEach,
                programs, first);
    bench::Report("keep into the full store vs into an empty one", below, base, 3.0);
    bench::Report("keep into the full store at its limit vs an empty one", atLimit, base, 3.0);
    return 0;
}
