// "Uppdatera bibliotek" and "Radera": the machine's list and deletions.
// Each ends when the parser completed its exchange or its time-out ended it.
#include "common/ansi.h"
#include "common/pick.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/trace.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "station/tapeengine.h"
#include "operations/operations.h"
#include "operations/requests.h"

QCoro::Task<void> cmdDir_Click(Conversation c) {
    TraceEnter(QStringLiteral("CmdDir_Click()"));
    const MachineSettings& m = c.machine();
    if (m.Typ == 3 && c.tape().cannotAsk()) co_return;
    if (!co_await c.start()) co_return;
    c.panel().UpdateLocalFolders();
    c.log(QStringLiteral("Begär fillista."));
    c.status(QStringLiteral("Ansluter..."));
    bool requested = false;
    if (m.Typ == 1) {
        if (c.portOpen()) {
            c.status(QStringLiteral("Ansluten, Skickar begäran..."));
            c.open("DRQ", QString()).silence = true;
            requested = true;
            c.send(BuildFrame("C", "DRQ", "ALL", "", "00"));
            co_await c.awaitLine();
        }
    } else if (m.Typ == 2) {
        if (c.portOpen()) {
            c.status(QStringLiteral("Ansluten, Skickar begäran..."));
            c.open("D", QString()).silence = true;
            requested = true;
            QByteArray list = Pick(m.Conversion, BuildColonFrame(":", "D", "L"), BuildShortFrame("D", ""));
            co_await c.sendP1(std::move(list));
        }
    } else if (m.Typ == 0) {
        if (co_await c.connect()) {
            c.status(QStringLiteral("Ansluten, Skickar begäran..."));
            c.open("DRQ", QString());
            requested = true;
            c.send(BuildFrame("C", "DRQ", "ALL", "", "00"));
        }
    }
    if (c.aborted()) {
        c.end();
        co_return;
    }
    c.status(QStringLiteral("Väntar på svar..."));
    // The list is awaited under its own time-out, on the network too.
    if (requested && c.pending())
        co_await c.await(m.Typ != 0 ? Conversation::Bound::Silence : Conversation::Bound::Receive);
    if (JobRun* job = c.job(); job && job->record.kind == JobKind::List) {
        if (c.listAnswer() == true) job->record.text = QStringLiteral("%1 program i maskinen.").arg(c.remoteNames().size());
        else job->fail(c.lastStatus().isEmpty() ? QStringLiteral("Ingen programlista från maskinen.") : c.lastStatus());
    }
}

QCoro::Task<void> cmdDel_Click(Conversation c, QString program) {
    TraceEnter(QStringLiteral("cmdDel_Click()"));
    const MachineSettings& m = c.machine();
    if (m.Typ == 3 && c.tape().cannotAsk()) co_return;
    if (!co_await c.start()) co_return;
    if (program.isEmpty()) co_return;
    const QString n = program;
    if (RefuseName(c, n)) {
        c.row(n, QString(), 0, {}, ProgramResult::Failed, c.lastStatus());
        co_return;
    }
    const auto answer =
        co_await c.ask(QStringLiteral("Är du säker på att du vill radera filen \"") + n + QStringLiteral("\"?"),
                       QStringLiteral("Radera"), MsgIcon::Exclamation, OperatorPanel::Buttons::YesNo);
    if (answer != OperatorPanel::Answer::Yes) {
        c.row(n, QString(), 0, {}, ProgramResult::Skipped, QStringLiteral("Inte raderat."));
        co_return;
    }
    c.clearStatus();
    c.pilar(QStringLiteral("Raderar: ") + n, DeleteArrows());
    c.status(QStringLiteral("Ansluter..."));
    c.log(QStringLiteral("Begär borttagning av fil: ") + n);
    const QByteArray name = ToAnsi(n);
    c.naming(n);
    const QByteArray request = BuildFrame("C", "DEL", "", name, "00");
    const QString framed = FromAnsi(TrimBlanks(request.mid(9, 6)));
    bool done = false;
    if (m.Typ == 1) {
        c.status(QStringLiteral("Ansluten, Skickar begäran..."));
        c.open("DEL", framed);
        co_await SendRequest(c, request);
    } else if (m.Typ == 2) {
        if (c.portOpen()) {
            c.status(QStringLiteral("Ansluten, Skickar begäran..."));
            const QByteArray erase = ProtocolOneRequest(m, "E", name);
            c.open("E", P1Name(erase));
            // The colon form acknowledges nothing: written is done, as its stores are.
            if (!m.Conversion) c.arm(Conversation::Bound::Answer);
            co_await c.sendP1(erase);
            if (m.Conversion && !c.aborted() && c.pending()) {
                c.end(Exchange::State::Done);
                c.status(QStringLiteral("Radering utförd ('") + n + QStringLiteral("')."));
                c.forget(n);
                c.hidePilar();
                done = true;
            }
        }
    } else if (m.Typ == 0) {
        if (co_await c.connect()) {
            c.status(QStringLiteral("Ansluten, Skickar begäran..."));
            c.open("DEL", framed);
            co_await SendRequest(c, request);
        }
    }
    if (c.aborted()) c.end();
    // Bounded like a fetch: a machine that never answers must not leave
    // the indicator running.
    if (!done && !c.aborted() && c.pending())
        done = co_await c.await(m.Typ != 2 ? Conversation::Bound::Receive : Conversation::Bound::Armed);
    else if (!done) done = !c.aborted() && c.answered();
    c.row(n, QString(), 0, {}, done ? ProgramResult::Ok : ProgramResult::Failed,
          Pick<QString>(done, QStringLiteral("Raderat."), c.lastStatus()));
}
