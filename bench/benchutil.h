#pragma once
// Small timing helpers: benchmarks compare against a baseline in the same run,
// so figures are ratios that survive a noisy shared machine.
#include <chrono>
#include <cstdio>
#include <functional>
#include <algorithm>
#include <fstream>
#include <string>

namespace bench {

// Best of n runs, in seconds.
inline double BestOf(int n, const std::function<void()>& f) {
    double best = 1e100;
    for (int i = 0; i < n; ++i) {
        const auto t0 = std::chrono::steady_clock::now();
        f();
        const auto t1 = std::chrono::steady_clock::now();
        best = std::min(best, std::chrono::duration<double>(t1 - t0).count());
    }
    return best;
}

inline void Report(const char* name, double value, double baseline, double limit, const char* unit = "s") {
    const double ratio = value / baseline;
    std::printf("%-58s %10.4f %s  baseline %10.4f %s  ratio %5.2f  (limit %.2f) %s\n", name, value, unit, baseline,
                unit, ratio, limit, ratio <= limit ? "OK" : "OVER");
}

// Peak resident memory of this process so far, in bytes.
inline long long PeakRss() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
    return 0;
}

}  // namespace bench
