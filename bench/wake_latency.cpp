// How late this machine wakes a thread that waits on a 1 ms precise timer in
// its own event loop, the way the serial thread waits for a line to drain to
// its low mark. At 115200 7E1 the 33 characters of the low mark last 2.86 ms:
// a wake-up later than that leaves the line idle, whatever the program does.
// Nothing else runs in this process; run it on an otherwise quiet machine.
//
// Figures: wakes later than 1 ms and than 2.86 ms, the latest, and the time
// the hypervisor ran something else on this machine's CPUs ("steal" in
// /proc/stat). Optional argument: seconds (default 30).
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <cstdlib>

namespace {

constexpr double kSlackMs = 1000.0 * 33 / 11520;

// Steal and total CPU time in clock ticks, summed over every CPU.
bool ReadCpuTicks(qint64* steal, qint64* total) {
    QFile f(QStringLiteral("/proc/stat"));
    if (!f.open(QIODevice::ReadOnly)) return false;
    const QList<QByteArray> fields = f.readLine().simplified().split(' ');
    if (fields.size() < 9 || fields[0] != "cpu") return false;
    *total = 0;
    for (qsizetype i = 1; i < fields.size(); ++i) *total += fields[i].toLongLong();
    *steal = fields[8].toLongLong();
    return true;
}

struct Waker : QObject {
    QTimer timer;
    QElapsedTimer since;
    qint64 wakes = 0, late1 = 0, lateSlack = 0;
    double latest = 0;

    Waker() {
        timer.setParent(this);
        timer.setSingleShot(true);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, this, [this] {
            const double late = since.nsecsElapsed() / 1e6 - 1.0;
            ++wakes;
            late1 += late > 1.0;
            lateSlack += late > kSlackMs;
            latest = std::max(latest, late);
            arm();
        });
    }
    void arm() {
        since.start();
        timer.start(1);
    }
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 30;
    QThread thread;
    Waker waker;
    waker.moveToThread(&thread);
    thread.start();
    qint64 steal0 = 0, total0 = 0, steal1 = 0, total1 = 0;
    const bool ticks = ReadCpuTicks(&steal0, &total0);
    QMetaObject::invokeMethod(&waker, [&waker] { waker.arm(); });
    QThread::sleep(seconds);
    QMetaObject::invokeMethod(&waker, [&waker] { waker.timer.stop(); }, Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
    const bool ticks1 = ReadCpuTicks(&steal1, &total1);

    std::printf("A 1 ms precise timer on a thread of its own, %d s: %lld wakes\n", seconds,
                static_cast<long long>(waker.wakes));
    std::printf("  later than 1 ms: %lld; later than %.2f ms (115200's low mark): %lld = %.1f a minute; latest %.2f ms\n",
                static_cast<long long>(waker.late1), kSlackMs, static_cast<long long>(waker.lateSlack),
                60.0 * waker.lateSlack / seconds, waker.latest);
    if (ticks && ticks1 && total1 > total0)
        std::printf("  steal (CPU time the hypervisor gave elsewhere): %.2f%%\n",
                    100.0 * (steal1 - steal0) / (total1 - total0));
    return 0;
}
