#pragma once
// The shop's record of everything that moved: one JSON line per job when it
// starts and one when it ends, in "journal/YYYY-MM.jsonl" (the month of the
// line, UTC) of the program folder. A job's last line is what it became.
//
// Each line goes to the file with a single write() on a descriptor opened
// for appending, so that a window and a server on one library never
// interleave their lines, and a process killed right after leaves the line
// whole in the system's cache. No fsync: a line is not worth a disk wait on
// the event thread, and a power cut losing the last seconds is accepted.
#include "jobs/job.h"

#include <QDateTime>
#include <QList>
#include <QString>

// A journal line: what QJsonDocument makes of job.toJson() with "host" and
// "pid" added (keys in its order, compact, newline at the end), written
// straight, as the objects cost more than all else a line takes.
QByteArray JournalLine(const Job& job, const QString& host, qint64 pid);

class Journal {
public:
    // The program folder's "journal".
    Journal();
    explicit Journal(QString folder);

    // False (and one log line) when the line could not be written.
    bool started(const Job& job);
    bool ended(const Job& job);

    // The jobs newest first (by creation), each as its last line tells,
    // of one machine (case-insensitive; empty for all), created at or after
    // since (invalid for all), at most limit. Damaged lines are passed over.
    QList<Job> read(const QString& machine = {}, const QDateTime& since = {}, int limit = 1000) const;

    // Jobs that a process of this host started and that never ended because
    // it is gone (a killed server) are ended now as cancelled, "servern
    // stoppades". Jobs of live processes are left alone. Returns how many.
    int recoverUnended();

    QString folder() const { return folder_; }
    // The file a line written at time goes to.
    QString fileFor(const QDateTime& time) const;

private:
    bool append(const Job& job, const QDateTime& when);

    QString folder_;
};
