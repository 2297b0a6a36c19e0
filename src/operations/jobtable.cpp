// Each kind of job and the operation that does it: the window, the verbs and
// the web all come through here.
#include "common/paths.h"
#include "station/station.h"
#include "operations/operations.h"

// Arguments are named before each co_await: gcc 12 destroys a temporary
// made inside a co_await twice.
namespace {
using Operation = QCoro::Task<void> (*)(Conversation, const JobRequest&);

QCoro::Task<void> List(Conversation c, const JobRequest&) { co_await cmdDir_Click(c); }

QCoro::Task<void> Send(Conversation c, const JobRequest& r) {
    const SendArgs args{r.folder, r.programs};
    co_await cmdSend_Click(c, args);
}

QCoro::Task<void> Fetch(Conversation c, const JobRequest& r) {
    const FetchArgs args{r.folder, r.programs};
    if (r.manual) co_await mnuRecManual_Click(c, r.folder);
    else co_await cmdRec_Click(c, args);
}

QCoro::Task<void> Delete(Conversation c, const JobRequest& r) {
    // A machine's refusal leaves the link working; a time-out, a broken link
    // or a cancel ends the run.
    for (const QString& program : r.programs) {
        co_await cmdDel_Click(c, program);
        if (c.aborted()) break;
    }
}

QCoro::Task<void> Documents(Conversation c, const JobRequest& r) { co_await mnuDocs_Click(c, r.document); }

QCoro::Task<void> Compare(Conversation c, const JobRequest& r) { *r.comparisons = co_await mnuCompare_Click(c, r.folder); }

QCoro::Task<void> Drip(Conversation c, const JobRequest& r) {
    const QString path = JoinPath(r.folder, r.programs.value(0));
    co_await DripJob(c, path, r.from, r.atToolChange);
}

struct Entry {
    JobKind kind;
    Operation operation;
};
// The machine's own loads and stores and a cleared cut are recorded as jobs
// but never asked for this way.
constexpr Entry kTable[] = {
    {JobKind::List, List},           {JobKind::Send, Send},           {JobKind::Fetch, Fetch},
    {JobKind::Delete, Delete},       {JobKind::Documents, Documents}, {JobKind::Compare, Compare},
    {JobKind::Drip, Drip},
};
}  // namespace

QCoro::Task<void> RunRequest(Station& st, JobRequest request) {
    for (const Entry& e : kTable)
        if (e.kind == request.kind) {
            const Conversation c(st);
            co_await e.operation(c, request);
            co_return;
        }
    if (JobRun* job = st.CurrentJob()) job->fail(QStringLiteral("Det här jobbet kan inte beställas."));
}

std::shared_ptr<JobRun> SubmitRequest(Station& st, const JobRequest& request, const QString& by,
                                      std::shared_ptr<OperatorPanel> panel) {
    Station* station = &st;
    OperatorPanel* asks = panel.get();
    return st.Submit(
        request.kind, by, [station, request, panel](JobRun&) { return RunRequest(*station, request); }, asks);
}
