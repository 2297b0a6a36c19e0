#pragma once
// A month's index ("2026-12.idx" beside "2026-12.jsonl"): for each day and
// machine, where in the month the first line written that day (UTC) for
// that machine begins. The writers keep it from the month's first line on,
// each entry before its line, so no line lies before its entry; a month
// without an index (older, or one whose index missed an entry and was
// removed) is read whole.
#include <QByteArray>
#include <QHash>
#include <QString>
#include <map>
#include <optional>

namespace journal {

struct MonthIndex {
    std::map<int, qint64> days;                       // day: its first line's offset, any machine
    QHash<QString, std::map<int, qint64>> machines;  // case-folded machine: day: offset

    // Where the lines of machine (empty: any) written on day or later
    // begin; -1 when the month has none.
    qint64 from(const QString& machine, int day) const;
};

// The index file of a month file ("…/2026-12.jsonl").
QString IndexPathFor(const QString& monthPath);
// One entry: "DAY OFFSET MACHINE" (the machine percent-encoded), line end included.
QByteArray IndexEntry(int day, const QString& machine, qint64 offset);
// The day and machine of an entry, as the writers tell entries apart ("7 Fräs%201").
QByteArray IndexKey(int day, const QString& machine);
// Empty when there is no index, or a line of it cannot be read: then
// nothing about the month can be trusted to it.
std::optional<MonthIndex> ReadMonthIndex(const QString& path);
// The keys of an index file's bytes (for a writer joining a month).
QList<QByteArray> IndexKeys(const QByteArray& bytes);

}  // namespace journal
