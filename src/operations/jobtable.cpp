// Each kind of job and the operation that does it: the window, the verbs and
// the web all come through here.
#include "common/paths.h"
#include "link/station.h"
#include "operations/jobrequest.h"

// Arguments are named before each co_await: gcc 12 destroys a temporary
// made inside a co_await twice.
namespace {
using Operation = QCoro::Task<void> (*)(Station&, const JobRequest&);

QCoro::Task<void> List(Station& st, const JobRequest&) { co_await st.cmdDir_Click(); }

QCoro::Task<void> Send(Station& st, const JobRequest& r) {
    const SendArgs args{r.folder, r.programs};
    co_await st.cmdSend_Click(args);
}

QCoro::Task<void> Fetch(Station& st, const JobRequest& r) {
    const FetchArgs args{r.folder, r.programs};
    if (r.manual) co_await st.mnuRecManual_Click(r.folder);
    else co_await st.cmdRec_Click(args);
}

QCoro::Task<void> Delete(Station& st, const JobRequest& r) {
    // A machine's refusal leaves the link working; a time-out, a broken link
    // or a cancel ends the run.
    for (const QString& program : r.programs) {
        co_await st.cmdDel_Click(program);
        if (st.aborted()) break;
    }
}

QCoro::Task<void> Documents(Station& st, const JobRequest& r) { co_await st.mnuDocs_Click(r.document); }

QCoro::Task<void> Compare(Station& st, const JobRequest& r) { *r.comparisons = co_await st.mnuCompare_Click(r.folder); }

QCoro::Task<void> Drip(Station& st, const JobRequest& r) {
    const QString path = JoinPath(r.folder, r.programs.value(0));
    co_await st.DripJob(path, r.from, r.atToolChange);
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
            co_await e.operation(st, request);
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
