#include "jobs/journalindex.h"

#include <QFile>
#include <QUrl>

namespace journal {

qint64 MonthIndex::from(const QString& machine, int day) const {
    const auto m = machines.constFind(machine.toCaseFolded());
    if (!machine.isEmpty() && m == machines.cend()) return -1;
    const std::map<int, qint64>& entries = machine.isEmpty() ? days : *m;
    qint64 first = -1;
    for (auto it = entries.lower_bound(day); it != entries.end(); ++it)
        if (first < 0 || it->second < first) first = it->second;
    return first;
}

QString IndexPathFor(const QString& monthPath) {
    return monthPath.chopped(int(qstrlen(".jsonl"))) + QStringLiteral(".idx");
}

QByteArray IndexKey(int day, const QString& machine) {
    return QByteArray::number(day) + ' ' + QUrl::toPercentEncoding(machine);
}

QByteArray IndexEntry(int day, const QString& machine, qint64 offset) {
    return QByteArray::number(day) + ' ' + QByteArray::number(offset) + ' ' + QUrl::toPercentEncoding(machine) + '\n';
}

namespace {
// "DAY OFFSET MACHINE" read into its parts; false when it is not an entry.
bool Split(const QByteArray& line, int* day, qint64* offset, QByteArray* machine) {
    const QList<QByteArray> f = line.split(' ');
    bool okDay = false, okOffset = false;
    if (f.size() != 3) return false;
    *day = f[0].toInt(&okDay);
    *offset = f[1].toLongLong(&okOffset);
    *machine = f[2];
    return okDay && okOffset && *day >= 1 && *day <= 31 && *offset >= 0;
}
}  // namespace

QList<QByteArray> IndexKeys(const QByteArray& bytes) {
    QList<QByteArray> keys;
    int day = 0;
    qint64 offset = 0;
    QByteArray machine;
    for (const QByteArray& line : bytes.split('\n'))
        if (Split(line, &day, &offset, &machine)) keys << QByteArray::number(day) + ' ' + machine;
    return keys;
}

std::optional<MonthIndex> ReadMonthIndex(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return std::nullopt;
    MonthIndex index;
    QList<QByteArray> lines = f.readAll().split('\n');
    if (!lines.isEmpty() && lines.last().isEmpty()) lines.removeLast();
    for (const QByteArray& line : lines) {
        int day = 0;
        qint64 offset = 0;
        QByteArray encoded;
        if (!Split(line, &day, &offset, &encoded)) return std::nullopt;
        auto keep = [&](std::map<int, qint64>& entries) {
            const auto [it, added] = entries.emplace(day, offset);
            if (!added && offset < it->second) it->second = offset;
        };
        keep(index.days);
        keep(index.machines[QUrl::fromPercentEncoding(encoded).toCaseFolded()]);
    }
    return index;
}

}  // namespace journal
