// HexDump grows linearly with its input: 10 MB must take at most 12x of 1 MB.
#include "benchutil.h"
#include "common/log.h"
#include <QByteArray>
#include <malloc.h>

int main() {
    // Both sizes get freshly mapped memory on every call; otherwise the
    // allocator keeps the small case's buffer warm and the comparison measures
    // page faults rather than the dump.
    mallopt(M_MMAP_THRESHOLD, 256 * 1024);
    QByteArray small(1 << 20, '\0'), large(10 << 20, '\0');
    for (qsizetype i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 31);
    small = large.left(1 << 20);
    volatile qsizetype sink = 0;
    const double t1 = bench::BestOf(5, [&] { sink = sink + HexDump(small, 3).size(); });
    const double t10 = bench::BestOf(3, [&] { sink = sink + HexDump(large, 3).size(); });
    bench::Report("HexDump mode 3: 10 MB against 1 MB", t10, t1, 12.0);
    const double p1 = bench::BestOf(5, [&] { sink = sink + HexDump(small, 2).size(); });
    const double p10 = bench::BestOf(3, [&] { sink = sink + HexDump(large, 2).size(); });
    bench::Report("HexDump mode 2: 10 MB against 1 MB", p10, p1, 12.0);
    return 0;
}
