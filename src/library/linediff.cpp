#include "library/linediff.h"

#include <QHash>
#include <vector>

namespace {

// Beyond this many differing lines the edit script costs more time and
// memory than a side-by-side view is worth.
constexpr int kMaxEdits = 2000;

QList<QByteArray> SplitLines(const QByteArray& text) {
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    for (QByteArray& l : lines)
        if (l.endsWith('\r')) l.chop(1);
    return lines;
}

}  // namespace

LineDiff DiffLines(const QByteArray& before, const QByteArray& after) {
    LineDiff out;
    if (before.size() > kDiffMaxBytes || after.size() > kDiffMaxBytes) {
        out.tooLarge = true;
        return out;
    }
    const QList<QByteArray> a = SplitLines(before), b = SplitLines(after);
    // Lines as numbers: comparing ints in the inner loop, not byte arrays.
    QHash<QByteArray, int> ids;
    std::vector<int> x(a.size()), y(b.size());
    auto id = [&ids](const QByteArray& line) {
        auto it = ids.constFind(line);
        return it != ids.constEnd() ? it.value() : ids.insert(line, int(ids.size())).value();
    };
    for (qsizetype i = 0; i < a.size(); ++i) x[i] = id(a[i]);
    for (qsizetype i = 0; i < b.size(); ++i) y[i] = id(b[i]);

    const int n = int(x.size()), m = int(y.size());
    const int maxD = std::min(n + m, kMaxEdits);
    // trace[d] holds V for k in [-d, d] after step d.
    std::vector<std::vector<int>> trace;
    std::vector<int> v(2 * maxD + 3, 0);
    const int off = maxD + 1;
    int found = -1;
    for (int d = 0; d <= maxD && found < 0; ++d) {
        for (int k = -d; k <= d; k += 2) {
            int px = (k == -d || (k != d && v[off + k - 1] < v[off + k + 1])) ? v[off + k + 1] : v[off + k - 1] + 1;
            int py = px - k;
            while (px < n && py < m && x[px] == y[py]) ++px, ++py;
            v[off + k] = px;
            if (px >= n && py >= m) found = d;
        }
        trace.emplace_back(v.begin() + off - d, v.begin() + off + d + 1);
    }
    if (found < 0) {
        out.tooLarge = true;
        return out;
    }

    QList<DiffLine> rev;
    int px = n, py = m;
    for (int d = found; d > 0; --d) {
        const std::vector<int>& prev = trace[d - 1];  // index k + d - 1
        const int k = px - py;
        const bool down = k == -d || (k != d && prev[k - 1 + d - 1] < prev[k + 1 + d - 1]);
        const int pk = down ? k + 1 : k - 1;
        const int sx = prev[pk + d - 1], sy = sx - pk;
        const int ex = down ? sx : sx + 1;
        while (px > ex) rev.append({DiffLine::Same, a[--px]}), --py;
        if (down)
            rev.append({DiffLine::Added, b[sy]});
        else
            rev.append({DiffLine::Removed, a[sx]});
        px = sx;
        py = sy;
    }
    while (px > 0) rev.append({DiffLine::Same, a[--px]}), --py;
    out.lines.reserve(rev.size());
    for (auto it = rev.crbegin(); it != rev.crend(); ++it) out.lines.append(*it);
    return out;
}
