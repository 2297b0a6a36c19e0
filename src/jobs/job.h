#pragma once
// One thing the PC or a machine asked to have moved: who asked, what, when,
// and what became of every program in it. The same record goes to the API,
// the verbs' "jobs", the web page and the journal.
#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <optional>

enum class JobKind { List, Send, Fetch, Delete, Documents, Compare, MachineLoad, MachineStore, Drip, Clear };
enum class JobState { Queued, Running, Done, Failed, Cancelled };
enum class ProgramResult { Ok, Failed, Skipped, Same, Differs, Missing };

// The words the JSON and the journal use ("send", "machine-load", "running").
QString KindWord(JobKind kind);
QString StateWord(JobState state);
QString ResultWord(ProgramResult result);
std::optional<JobKind> KindFromWord(const QString& word);
std::optional<JobState> StateFromWord(const QString& word);
std::optional<ProgramResult> ResultFromWord(const QString& word);

struct JobProgram {
    QString name;  // as the machine knows it
    QString file;  // the library file sent or stored; empty when none
    qint64 bytes = 0;
    QByteArray sha256;  // hex, of the bytes that went out or were stored; empty when none moved
    ProgramResult result = ProgramResult::Ok;
    QString text;  // what a person reads, in Swedish
};

struct Job {
    QString id;  // unique across processes and restarts
    QString machine;
    JobKind kind = JobKind::List;
    // "fönster USER", "verb USER", "webb ADDRESS", "maskin ADDRESS"
    QString by;
    JobState state = JobState::Queued;
    QDateTime created, started, ended;  // UTC; started/ended invalid until then
    QString text;  // the job's outcome for a person, in Swedish
    QList<JobProgram> programs;

    bool finished() const { return state == JobState::Done || state == JobState::Failed || state == JobState::Cancelled; }
    QJsonObject toJson() const;
    // Empty when obj is not a job (a damaged journal line).
    static std::optional<Job> fromJson(const QJsonObject& obj);
};

// A new job id, never one this process gave before: the creation time and
// eight hex digits, e.g. "20261207-113502-3fa9c1d2".
QString NewJobId();
// "USER" of this process, for "fönster USER" and "verb USER".
QString CurrentUser();
