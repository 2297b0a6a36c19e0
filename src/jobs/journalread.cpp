// Reading the journal: from the end of the newest month backwards, only as
// far as a query needs.
#include "jobs/journal.h"
#include "jobs/journalindex.h"
#include "jobs/journalparts.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>
#include <algorithm>
#include <limits>
#include <numeric>
#include <string_view>

using namespace journal;

namespace {

// The text of a top-level string field as the line holds it ("\"id\":\""
// for key), null when absent; *escaped when it holds an escape. Inside a
// value every quote is escaped, so key cannot match there.
QByteArrayView RawString(QByteArrayView line, std::string_view key, bool* escaped) {
    const std::string_view text(line.data(), size_t(line.size()));
#ifdef __GLIBC__
    const void* found = ::memmem(text.data(), text.size(), key.data(), key.size());
    if (!found) return {};
    const size_t at = size_t(static_cast<const char*>(found) - text.data());
#else
    const size_t at = text.find(key);
    if (at == std::string_view::npos) return {};
#endif
    *escaped = false;
    for (size_t i = at + key.size(); i < text.size(); ++i) {
        if (text[i] == '\\') {
            *escaped = true;
            ++i;
        } else if (text[i] == '"') {
            return QByteArrayView(line.data() + at + key.size(), qsizetype(i - at - key.size()));
        }
    }
    return {};
}

QByteArray TimeText(const QDateTime& t) {
    QByteArray out;
    PutTime(out, t);
    return out.mid(1, out.size() - 2);
}

// A line that does not match the query by what is cheap to see; a line
// that might goes through the JSON parser.
struct Prefilter {
    QByteArray machine;  // UTF-8, or empty
    QString machineText;
    QByteArray since;  // as the lines write times, or empty

    bool rejects(QByteArrayView line) const {
        bool escaped = false;
        if (!machine.isEmpty()) {
            const QByteArrayView m = RawString(line, "\"machine\":\"", &escaped);
            if (!m.isNull() && !escaped && m != QByteArrayView(machine) &&
                QString::fromUtf8(m).compare(machineText, Qt::CaseInsensitive) != 0)
                return true;
        }
        if (!since.isEmpty()) {
            const QByteArrayView c = RawString(line, "\"created\":\"", &escaped);
            if (c.size() == since.size() && !escaped && c < QByteArrayView(since)) return true;
        }
        return false;
    }
};

// Looks like a whole journal line: a known state and kind, and its close.
bool LooksWhole(QByteArrayView line) {
    bool escaped = false;
    const QByteArrayView state = RawString(line, "\"state\":\"", &escaped);
    const QByteArrayView kind = RawString(line, "\"kind\":\"", &escaped);
    static const auto words = [](auto last, auto word) {
        std::vector<QByteArray> w;
        for (int i = 0; i <= int(last); ++i) w.push_back(word(decltype(last)(i)).toLatin1());
        return w;
    };
    static const std::vector<QByteArray> states = words(JobState::Cancelled, StateWord);
    static const std::vector<QByteArray> kinds = words(JobKind::Drip, KindWord);
    const auto known = [](const std::vector<QByteArray>& list, QByteArrayView w) {
        return std::any_of(list.begin(), list.end(), [&](const QByteArray& x) { return w == QByteArrayView(x); });
    };
    return line.endsWith('}') && !state.isNull() && !kind.isNull() && known(states, state) && known(kinds, kind);
}
}  // namespace

QStringList journal::MonthFiles(const QString& folder) {
    static const QRegularExpression month(QStringLiteral("^\\d{4}-\\d{2}\\.jsonl$"));
    QStringList files = QDir(folder).entryList({QStringLiteral("*.jsonl")}, QDir::Files, QDir::Name);
    files.removeIf([](const QString& f) { return !month.match(f).hasMatch(); });
    return files;
}

std::optional<Parsed> journal::Parse(QByteArrayView line) {
    const QJsonDocument doc = QJsonDocument::fromJson(line.toByteArray());
    if (!doc.isObject()) return std::nullopt;
    const QJsonObject obj = doc.object();
    std::optional<Job> job = Job::fromJson(obj);
    if (!job) return std::nullopt;
    return Parsed{std::move(*job), obj.value(kHost).toString(), qint64(obj.value(kPid).toDouble())};
}

JournalRead Journal::query(const JournalQuery& q) const {
    JournalRead r;
    const QStringList files = MonthFiles(folder_);
    const QString first = q.since.isValid() ? q.since.toUTC().toString(QStringLiteral("yyyy-MM")) : QString();
    Prefilter pre{q.machine.toUtf8(), q.machine, q.since.isValid() ? TimeText(q.since) : QByteArray()};
    const qsizetype limit = q.limit > 0 ? q.limit : std::numeric_limits<qsizetype>::max();
    QSet<QByteArray> seen;           // ids whose last line has been read
    std::vector<size_t> beyond;      // hashes of the ids the limit left out
    bool full = false;
    for (qsizetype i = files.size() - 1; i >= 0 && !(full && !q.countLeftOut); --i) {
        if (!first.isEmpty() && files[i].left(7) < first) break;
        const QString path = folder_ + QLatin1Char('/') + files[i];
        // A machine or a day: the month's index says where their lines begin, or that it has none.
        qint64 floor = 0;
        if (!q.machine.isEmpty() || q.since.isValid())
            if (const std::optional<MonthIndex> index = ReadMonthIndex(IndexPathFor(path))) {
                floor = index->from(q.machine, files[i].left(7) == first ? q.since.toUTC().date().day() : 1);
                if (floor < 0) continue;
            }
        LinesBackward lines(path, floor);
        QByteArrayView line;
        while (lines.next(&line)) {
            if (line.isEmpty()) continue;
            bool escaped = false;
            const QByteArrayView rawId = RawString(line, "\"id\":\"", &escaped);
            if (!rawId.isNull() && seen.contains(QByteArray::fromRawData(rawId.data(), rawId.size()))) continue;
            if (pre.rejects(line)) continue;
            if (full && !rawId.isNull() && !escaped && LooksWhole(line)) {
                beyond.push_back(qHash(rawId));
                continue;
            }
            std::optional<Parsed> p = Parse(line);
            if (!p) {
                ++r.skipped;
                continue;
            }
            const Job& j = p->job;
            seen.insert(rawId.isNull() ? j.id.toUtf8() : rawId.toByteArray());
            if (!q.machine.isEmpty() && j.machine.compare(q.machine, Qt::CaseInsensitive) != 0) continue;
            if (q.since.isValid() && j.created.isValid() && j.created < q.since) continue;
            if (full) {
                beyond.push_back(qHash(j.id.toUtf8()));
                continue;
            }
            r.jobs.append(j);
            r.lines.append(line.toByteArray());
            if (r.jobs.size() >= limit) {
                full = true;
                if (!q.countLeftOut) break;
            }
        }
    }
    std::vector<qsizetype> order(size_t(r.jobs.size()));
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](qsizetype a, qsizetype b) {
        const Job& x = r.jobs[a];
        const Job& y = r.jobs[b];
        return x.created != y.created ? x.created > y.created : x.id > y.id;
    });
    JournalRead sorted;
    for (const qsizetype k : order) {
        sorted.jobs.append(r.jobs[k]);
        sorted.lines.append(r.lines[k]);
    }
    sorted.skipped = r.skipped;
    std::sort(beyond.begin(), beyond.end());
    sorted.leftOut = qint64(std::unique(beyond.begin(), beyond.end()) - beyond.begin());
    return sorted;
}
