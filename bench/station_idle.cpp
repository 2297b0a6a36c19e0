// CPU used while the station waits 10 s for a machine's answer: the wait
// must block on events, never spin (target: under 1% of one core).
#include "benchutil.h"
#include "station/station.h"
#include "../tests/link/stationprobe.h"
#include "../tests/support/scriptedpanel.h"
#include <QCoreApplication>
#include <QTimer>
#include <sys/resource.h>

namespace {
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_utime.tv_usec / 1e6 + u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6;
}
}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ScriptedPanel panel;
    Station station(panel, nullptr);
    GeneralSettings g;
    g.ListenPort = 0;
    g.SvarTimeout = 60000;
    station.ApplyGeneralSettings(g);
    station.StartListening();  // a listening socket, as in the program

    // The answer's time-out runs, as while an exchange waits.
    StationProbe::svarTimer(station).start();
    bool done = false;
    QTimer::singleShot(10000, [&] {
        done = true;
        StationProbe::wake(station);
    });
    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = CpuSeconds();
    // Waited for in an event loop: a wait not awaited returns at its first step.
    QCoro::waitFor(station.WaitFor([&] { return done; }));
    const double cpu = CpuSeconds() - cpu0;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    StationProbe::svarTimer(station).stop();
    const double percent = 100.0 * cpu / wall;
    std::printf("%-58s %10.4f s CPU over %.2f s  = %.3f%% of one core  (limit 1%%) %s\n",
                "Station waiting for an answer", cpu, wall, percent, percent < 1.0 ? "OK" : "OVER");
    return 0;
}
