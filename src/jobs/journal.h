#pragma once
// The shop's record of everything that moved: one JSON line per job when it
// is queued, when it starts and when it ends, in "journal/YYYY-MM.jsonl" (the
// month of the line, UTC) of the program folder. A job's last line is what
// it became.
//
// A line is whole or absent: each goes to the file with a single write() on
// a descriptor opened for appending (a window and a server on one library
// never interleave their lines), a short write is cut back off, and a line
// that could not be written (a full disk) waits in memory and is written,
// in order, when it can be. No fsync: a line is not worth a disk wait on the
// event thread, and a power cut losing the last seconds is accepted.
//
// Each process also keeps "journal/open/PID-START-HOST": where its lines
// are, truncated whenever none of its jobs is open, so that the next server
// finds the jobs a killed process left open without reading the months.
#include "jobs/job.h"

#include <QDateTime>
#include <QList>
#include <QString>

// A journal line: what QJsonDocument makes of job.toJson() with "host" and
// "pid" added (keys in its order, compact, newline at the end), written
// straight, as the objects cost more than all else a line takes.
QByteArray JournalLine(const Job& job, const QString& host, qint64 pid);

// When a process started, as the system counts it (ticks since boot on
// Linux); with the pid it names one process. Empty when unknown.
QByteArray ProcessStartOf(qint64 pid);

struct JournalQuery {
    QString machine;   // case-insensitive; empty for all
    QDateTime since;   // jobs created at or after; invalid for all
    int limit = 1000;  // jobs at most
    // Count the jobs the limit left out (reads the rest of the months asked for).
    bool countLeftOut = false;
};

struct JournalRead {
    QList<Job> jobs;          // newest first (by creation)
    QList<QByteArray> lines;  // each job's last line as the file holds it, without its line end
    int skipped = 0;          // lines passed over that were not whole journal lines
    qint64 leftOut = 0;       // with countLeftOut: matching jobs beyond the limit
};

class Journal {
public:
    // The program folder's "journal".
    Journal();
    explicit Journal(QString folder);

    // Journals the job as it is now (queued, running or ended). False (and
    // one log line for the gap) when the line waits in memory.
    bool record(const Job& job);
    bool started(const Job& job) { return record(job); }
    bool ended(const Job& job) { return record(job); }

    // The jobs whose last lines are the newest, read from the end of the
    // newest month backwards: only as far as the query needs.
    JournalRead query(const JournalQuery& q) const;
    QList<Job> read(const QString& machine = {}, const QDateTime& since = {}, int limit = 1000) const {
        return query({machine, since, limit, false}).jobs;
    }

    // Jobs a process of this host left open and that is gone (its pid dead,
    // or alive as another process) are ended now as cancelled, "servern
    // stoppades". Jobs of live processes are left alone. Returns how many.
    int recoverUnended();

    // Lines waiting in memory for the disk (this process, this folder).
    int waiting() const;

    QString folder() const { return folder_; }
    // The file a line written at time goes to.
    QString fileFor(const QDateTime& time) const;

private:
    QString folder_;
};
