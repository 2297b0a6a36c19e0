#pragma once
// What a job is asked to do, the same whoever asks: the window from its
// selections, a verb from its arguments, the web from its request. The
// operations read their arguments from here, never from a panel.
#include "jobs/job.h"
#include "operations/comparison.h"
#include <QCoro/QCoroTask>
#include <QList>
#include <QString>
#include <QStringList>
#include <memory>

class JobRun;
class OperatorPanel;
class Station;

// "Sänd": files (names in folder) go out in this order.
struct SendArgs {
    QString folder;
    QStringList files;
};

// "Hämta": the machine's programs go to folder, under their own names.
struct FetchArgs {
    QString folder;
    QStringList programs;
};

struct JobRequest {
    explicit JobRequest(JobKind kind = JobKind::List, QString folder = {}, QStringList programs = {}, QString from = {})
        : kind(kind), folder(std::move(folder)), programs(std::move(programs)), from(std::move(from)) {}
    JobKind kind = JobKind::List;
    QString folder;        // send: the files' folder; fetch: the target; compare: the library's
    QStringList programs;  // send: file names in folder; fetch, delete: the machine's names; drip: one file
    QString from;          // drip: the restart block or line
    bool atToolChange = false;
    QString document;  // documents: the model's document entry
    bool manual = false;  // fetch: the name is asked of the person ("Hämta med namn...")
    // Compare: the outcome per program, for whoever shows it.
    std::shared_ptr<QList<ProgramComparison>> comparisons = std::make_shared<QList<ProgramComparison>>();
};

// The one map from a kind of job to its operation.
QCoro::Task<void> RunRequest(Station& st, JobRequest request);
// Queues request as a job on st, started by by; panel: whoever answers its
// questions and sees its output (kept until the job ends), null for the
// machine's own.
std::shared_ptr<JobRun> SubmitRequest(Station& st, const JobRequest& request, const QString& by,
                                      std::shared_ptr<OperatorPanel> panel = {});
