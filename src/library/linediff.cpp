#include "library/linediff.h"

#include <QHash>
#include <algorithm>
#include <vector>

namespace {

// Beyond this many differing lines the edit script costs more time and
// memory than a side-by-side view is worth.
constexpr int kMaxEdits = 2000;
// Steps along the diagonals; long runs of repeated lines (a program of
// identical moves) cost steps without edits, and the window waits for them.
constexpr qint64 kMaxSteps = 50'000'000;

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
    // A program and its copy mostly differ in a few places: the common head
    // and tail cost one pass and no edit script.
    qsizetype head = 0, tail = 0;
    while (head < a.size() && head < b.size() && a[head] == b[head]) ++head;
    while (tail < a.size() - head && tail < b.size() - head && a[a.size() - 1 - tail] == b[b.size() - 1 - tail]) ++tail;

    // Lines as numbers: comparing ints in the inner loop, not byte arrays.
    QHash<QByteArray, int> ids;
    auto id = [&ids](const QByteArray& line) {
        auto it = ids.constFind(line);
        return it != ids.constEnd() ? it.value() : ids.insert(line, int(ids.size())).value();
    };
    std::vector<int> x, y;
    for (qsizetype i = head; i < a.size() - tail; ++i) x.push_back(id(a[i]));
    for (qsizetype i = head; i < b.size() - tail; ++i) y.push_back(id(b[i]));

    const int n = int(x.size()), m = int(y.size());
    const int maxD = std::min(n + m, kMaxEdits);
    // trace[d] holds V for k in [-d, d] after step d.
    std::vector<std::vector<int>> trace;
    std::vector<int> v(2 * maxD + 3, 0);
    const int off = maxD + 1;
    int found = -1;
    qint64 steps = 0;
    for (int d = 0; d <= maxD && found < 0 && steps <= kMaxSteps; ++d) {
        for (int k = -d; k <= d; k += 2) {
            int px = (k == -d || (k != d && v[off + k - 1] < v[off + k + 1])) ? v[off + k + 1] : v[off + k - 1] + 1;
            int py = px - k;
            const int from = px;
            while (px < n && py < m && x[px] == y[py]) ++px, ++py;
            steps += 1 + px - from;
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
    for (qsizetype i = 0; i < tail; ++i) rev.append({DiffLine::Same, a[a.size() - 1 - i]});
    for (int d = found; d > 0; --d) {
        const std::vector<int>& prev = trace[d - 1];  // index k + d - 1
        const int k = px - py;
        const bool down = k == -d || (k != d && prev[k - 1 + d - 1] < prev[k + 1 + d - 1]);
        const int pk = down ? k + 1 : k - 1;
        const int sx = prev[pk + d - 1], sy = sx - pk;
        const int ex = down ? sx : sx + 1;
        while (px > ex) rev.append({DiffLine::Same, a[head + --px]}), --py;
        if (down)
            rev.append({DiffLine::Added, b[head + sy]});
        else
            rev.append({DiffLine::Removed, a[head + sx]});
        px = sx;
        py = sy;
    }
    while (px > 0) rev.append({DiffLine::Same, a[head + --px]}), --py;
    out.lines.reserve(head + rev.size());
    for (qsizetype i = 0; i < head; ++i) out.lines.append({DiffLine::Same, a[i]});
    for (auto it = rev.crbegin(); it != rev.crend(); ++it) out.lines.append(*it);
    return out;
}

QList<DiffRow> SideBySide(const LineDiff& diff) {
    QList<DiffRow> rows;
    rows.reserve(diff.lines.size());
    int beforeLine = 0, afterLine = 0;
    QList<const QByteArray*> removed, added;
    auto flush = [&] {
        for (qsizetype i = 0; i < std::max(removed.size(), added.size()); ++i) {
            DiffRow r;
            const bool left = i < removed.size(), right = i < added.size();
            r.kind = left && right ? DiffRow::Changed : left ? DiffRow::Removed : DiffRow::Added;
            if (left) r.beforeLine = ++beforeLine, r.before = *removed[i];
            if (right) r.afterLine = ++afterLine, r.after = *added[i];
            rows.append(r);
        }
        removed.clear();
        added.clear();
    };
    for (const DiffLine& line : diff.lines) {
        if (line.kind == DiffLine::Removed) {
            removed << &line.text;
        } else if (line.kind == DiffLine::Added) {
            added << &line.text;
        } else {
            flush();
            rows.append({DiffRow::Same, ++beforeLine, ++afterLine, line.text, line.text});
        }
    }
    flush();
    return rows;
}

int DifferingRows(const QList<DiffRow>& rows) {
    return int(std::count_if(rows.cbegin(), rows.cend(), [](const DiffRow& r) { return r.kind != DiffRow::Same; }));
}
