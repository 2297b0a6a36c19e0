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
#include "link/programname.h"
#include "link/station.h"
#include "operations/jobrequest.h"
#include <QFileInfo>
#include <QTcpSocket>

QCoro::Task<void> Station::cmdRec_Click(FetchArgs args) {
    TraceEnter(QStringLiteral("cmdRec_Click()"));
    if (Machine.Typ == 3 && IsoCannotAsk()) co_return;
    if (co_await RefuseWhileBusy()) co_return;
    Aborted = false;
    Status(QStringLiteral("Ansluter..."));
    TargetFolder.clear();
    const QStringList& selected = args.programs;
    for (const QString& n : selected) {
        TransferDone = true;
        if (Aborted || Jobs.closed()) {
            Row(n, QString(), 0, {}, ProgramResult::Skipped, QStringLiteral("Inte hämtat: körningen avbröts."));
            continue;
        }
        TransferDone = false;
        lastStatus_.clear();
        AddLog(QStringLiteral("Begär mottagning av fil: ") + n);
        ShowPilar(QStringLiteral("Hämtar: \"") + n + QStringLiteral("\"..."), RecArrows());
        if (RefuseName(n)) {
            HidePilar();
            TransferDone = true;
            Row(n, QString(), 0, {}, ProgramResult::Failed, lastStatus_);
            continue;
        }
        const QString target = ProgramPath(args.folder, n, Machine.Extension);
        if (FileExists(target)) {
            const auto answer = co_await Ask(QStringLiteral("Filen finns redan. Skriva över?"), AppTitle(),
                                               MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel);
            if (answer == OperatorPanel::Answer::Cancel) {
                Aborted = true;
                HidePilar();
                Row(n, target, 0, {}, ProgramResult::Skipped, QStringLiteral("Inte hämtat: avbrutet vid frågan."));
                continue;
            }
            if (answer == OperatorPanel::Answer::No) {
                HidePilar();
                TransferDone = true;
                Row(n, target, 0, {}, ProgramResult::Skipped, QStringLiteral("Finns redan; inte överskrivet."));
                continue;
            }
        }
        // A silent machine must not hold the run for ever: the machine's
        // receive time-out bounds the wait.
        const QString noComment;
        const bool requested = co_await RequestProgram(n, target, true, noComment);
        if (requested && !Aborted) {
            Arm(TimeoutTimer);
            co_await AwaitExchange();
        }
        TimeoutTimer.stop();
        const bool ok = TransferDone && exchanges_.latest() && exchanges_.latest()->state == Exchange::State::Done;
        Row(n, target, ok ? QFileInfo(target).size() : 0, Pick(ok, stored_.sha256, QByteArray()),
            ok ? ProgramResult::Ok : ProgramResult::Failed, Pick<QString>(ok, QStringLiteral("Hämtat."), lastStatus_));
    }
}

QCoro::Task<void> Station::mnuRecManual_Click(QString folder) {
    TraceEnter(QStringLiteral("mnuRecManual_Click()"));
    if (Machine.Typ == 3 && IsoCannotAsk()) co_return;
    if (co_await RefuseWhileBusy()) co_return;
    Aborted = false;
    const QString n =
        panel_.input(QStringLiteral("Ange fil att hämta:"), QStringLiteral("Manuell hämtning"), QString()).value_or(QString());
    if (!n.isEmpty() && RefuseName(n)) co_return;
    bool requested = false;
    const QString target = ProgramPath(folder, n, Machine.Extension);
    if (!n.isEmpty()) {
        Status(QStringLiteral("Ansluter..."));
        // A closed port sends nothing and waits for nothing.
        const QString noComment;
        if (Machine.Typ != 1 || (Comm && Comm->isOpen())) requested = co_await RequestProgram(n, target, true, noComment, true);
    }
    if (Aborted) {
        Status(QStringLiteral("Avbruten."));
        co_return;
    }
    Status(QStringLiteral("Väntar på svar..."));
    // The operation lasts until its answer: its own time-out bounds it.
    if (requested && Machine.Typ != 0) {
        exchanges_.latest()->silence = true;
        rx_.serialSilence(true);
    } else if (requested) {
        Arm(TimeoutTimer);
    }
    if (requested) {
        const bool ok = co_await AwaitExchange();
        Row(n, target, ok ? QFileInfo(target).size() : 0, Pick(ok, stored_.sha256, QByteArray()),
            ok ? ProgramResult::Ok : ProgramResult::Failed, Pick<QString>(ok, QStringLiteral("Hämtat."), lastStatus_));
    }
}

QCoro::Task<void> Station::mnuDocs_Click(QString document) {
    TraceEnter(QStringLiteral("mnuDocs_Click()"));
    if (Machine.Typ == 3 && IsoCannotAsk()) co_return;
    if (co_await RefuseWhileBusy()) co_return;
    Aborted = false;
    panel_.selectTreeFolder(Machine.DocPath);
    panel_.UpdateLocalFolders();
    Status(QStringLiteral("Ansluter..."));
    MachineLink().FileName = document;
    bool requested = false;
    const QByteArray request = BuildFrame("C", "LOD", "", ToAnsi(document), "00");
    const QString name = FromAnsi(TrimBlanks(request.mid(9, 6)));
    const QString target = ProgramPath(Machine.DocPath, name, Machine.Extension);
    const QString noComment;
    if (Machine.Typ == 0 || (Machine.Typ == 1 && Comm && Comm->isOpen()))
        requested = co_await RequestProgram(document, target, true, noComment);
    // The document folder is the target only while the document is on its
    // way; the machine's receive time-out bounds that.
    if (requested && !Aborted) {
        TargetFolder = Machine.DocPath;
        Arm(TimeoutTimer);
        const bool ok = co_await AwaitExchange();
        Row(document, target, ok ? QFileInfo(target).size() : 0, Pick(ok, stored_.sha256, QByteArray()),
            ok ? ProgramResult::Ok : ProgramResult::Failed, Pick<QString>(ok, QStringLiteral("Hämtat."), lastStatus_));
    }
}
