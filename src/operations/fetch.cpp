// "Hämta", "Hämta med namn..." and the document entries: requests for
// programs that the parser stores where the request said when they arrive.
#include "common/ansi.h"
#include "common/pick.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/trace.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "station/tapeengine.h"
#include "link/programname.h"
#include "operations/operations.h"
#include "operations/requests.h"
#include <QFileInfo>

namespace {
// The fetched program's row: its size and checksum as stored, or why not.
void Finished(const Conversation& c, const QString& name, const QString& target, bool ok) {
    c.row(name, target, ok ? QFileInfo(target).size() : 0, Pick(ok, c.storedSha(), QByteArray()),
          ok ? ProgramResult::Ok : ProgramResult::Failed, Pick<QString>(ok, QStringLiteral("Hämtat."), c.lastStatus()));
}
}  // namespace

QCoro::Task<void> cmdRec_Click(Conversation c, FetchArgs args) {
    TraceEnter(QStringLiteral("cmdRec_Click()"));
    const MachineSettings& m = c.machine();
    if (m.Typ == 3 && c.tape().cannotAsk()) co_return;
    if (!co_await c.start()) co_return;
    c.status(QStringLiteral("Ansluter..."));
    c.setTargetFolder({});
    const QStringList& selected = args.programs;
    for (const QString& n : selected) {
        c.setTransferDone(true);
        if (c.aborted() || c.closing()) {
            c.row(n, QString(), 0, {}, ProgramResult::Skipped, QStringLiteral("Inte hämtat: körningen avbröts."));
            continue;
        }
        c.setTransferDone(false);
        c.clearStatus();
        c.log(QStringLiteral("Begär mottagning av fil: ") + n);
        c.pilar(QStringLiteral("Hämtar: \"") + n + QStringLiteral("\"..."), RecArrows());
        if (RefuseName(c, n)) {
            c.hidePilar();
            c.setTransferDone(true);
            c.row(n, QString(), 0, {}, ProgramResult::Failed, c.lastStatus());
            continue;
        }
        const QString target = ProgramPath(args.folder, n, m.Extension);
        if (FileExists(target)) {
            const auto answer = co_await c.ask(QStringLiteral("Filen finns redan. Skriva över?"), AppTitle(),
                                               MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel);
            if (answer == OperatorPanel::Answer::Cancel) {
                c.cancel();
                c.hidePilar();
                c.row(n, target, 0, {}, ProgramResult::Skipped, QStringLiteral("Inte hämtat: avbrutet vid frågan."));
                continue;
            }
            if (answer == OperatorPanel::Answer::No) {
                c.hidePilar();
                c.setTransferDone(true);
                c.row(n, target, 0, {}, ProgramResult::Skipped, QStringLiteral("Finns redan; inte överskrivet."));
                continue;
            }
        }
        // A silent machine must not hold the run for ever: the machine's
        // receive time-out bounds the wait.
        const QString noComment;
        const bool requested = co_await RequestProgram(c, n, target, true, noComment);
        if (requested && !c.aborted()) co_await c.await(Conversation::Bound::Receive);
        const bool ok = c.transferDone() && c.answered();
        Finished(c, n, target, ok);
    }
}

QCoro::Task<void> mnuRecManual_Click(Conversation c, QString folder) {
    TraceEnter(QStringLiteral("mnuRecManual_Click()"));
    const MachineSettings& m = c.machine();
    if (m.Typ == 3 && c.tape().cannotAsk()) co_return;
    if (!co_await c.start()) co_return;
    const QString n =
        c.panel().input(QStringLiteral("Ange fil att hämta:"), QStringLiteral("Manuell hämtning"), QString()).value_or(QString());
    if (!n.isEmpty() && RefuseName(c, n)) co_return;
    bool requested = false;
    const QString target = ProgramPath(folder, n, m.Extension);
    if (!n.isEmpty()) {
        c.status(QStringLiteral("Ansluter..."));
        // A closed port sends nothing and waits for nothing.
        const QString noComment;
        if (m.Typ != 1 || c.portOpen()) requested = co_await RequestProgram(c, n, target, true, noComment, true);
    }
    if (c.aborted()) {
        c.status(QStringLiteral("Avbruten."));
        co_return;
    }
    c.status(QStringLiteral("Väntar på svar..."));
    // The operation lasts until its answer: its own time-out bounds it.
    if (requested) {
        const bool ok = co_await c.await(m.Typ != 0 ? Conversation::Bound::Silence : Conversation::Bound::Receive);
        Finished(c, n, target, ok);
    }
}

QCoro::Task<void> mnuDocs_Click(Conversation c, QString document) {
    TraceEnter(QStringLiteral("mnuDocs_Click()"));
    const MachineSettings& m = c.machine();
    if (m.Typ == 3 && c.tape().cannotAsk()) co_return;
    if (!co_await c.start()) co_return;
    c.panel().selectTreeFolder(m.DocPath);
    c.panel().UpdateLocalFolders();
    c.status(QStringLiteral("Ansluter..."));
    c.naming(document);
    bool requested = false;
    const QByteArray request = BuildFrame("C", "LOD", "", ToAnsi(document), "00");
    const QString name = FromAnsi(TrimBlanks(request.mid(9, 6)));
    const QString target = ProgramPath(m.DocPath, name, m.Extension);
    const QString noComment;
    if (m.Typ == 0 || (m.Typ == 1 && c.portOpen())) requested = co_await RequestProgram(c, document, target, true, noComment);
    // The document folder is the target only while the document is on its
    // way; the machine's receive time-out bounds that.
    if (requested && !c.aborted()) {
        c.setTargetFolder(m.DocPath);
        const bool ok = co_await c.await(Conversation::Bound::Receive);
        Finished(c, document, target, ok);
    }
}
