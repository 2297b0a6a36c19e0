// "Uppdatera bibliotek" and "Radera": the machine's list and deletions.
// Each ends when the parser completed its exchange or its time-out ended it.
#include "common/ansi.h"
#include "common/pick.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/trace.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/station.h"

QCoro::Task<void> Station::cmdDir_Click() {
    TraceEnter(QStringLiteral("CmdDir_Click()"));
    if (Machine.Typ == 3 && IsoCannotAsk()) co_return;
    if (co_await RefuseWhileBusy()) co_return;
    panel_.UpdateLocalFolders();
    AddLog(QStringLiteral("Begär fillista."));
    Aborted = false;
    Status(QStringLiteral("Ansluter..."));
    const QByteArray request = BuildFrame("C", "DRQ", "ALL", "", "00");
    bool requested = false;
    if (Machine.Typ == 1) {
        if (Comm && Comm->isOpen()) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            exchanges_.open("DRQ", QString(), nullptr).silence = true;
            requested = true;
            QByteArray message = request;
            SendData(message, SerialLink, nullptr, false);
            co_await AwaitLine();
        }
    } else if (Machine.Typ == 2) {
        if (Comm && Comm->isOpen()) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            exchanges_.open("D", QString(), nullptr).silence = true;
            requested = true;
            QByteArray list = Pick(Machine.Conversion, BuildColonFrame(":", "D", "L"), BuildShortFrame("D", ""));
            co_await SendProtocolOne(std::move(list));
        }
    } else if (Machine.Typ == 0) {
        if (co_await ConnectToSock(comsock)) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            exchanges_.open("DRQ", QString(), comsock);
            requested = true;
            QByteArray message = request;
            SendData(message, NetLink, comsock, false);
        }
    }
    if (Aborted) {
        exchanges_.end(Exchange::State::Ended);
        co_return;
    }
    Status(QStringLiteral("Väntar på svar..."));
    // The list is awaited under its own time-out, on the network too.
    if (requested && OpenExchange()) {
        if (Machine.Typ != 0) rx_.serialSilence(true);
        else Arm(TimeoutTimer);
        co_await AwaitExchange();
    }
    if (JobRun* job = CurrentJob(); job && job->record.kind == JobKind::List) {
        if (ListAnswer == true) job->record.text = QStringLiteral("%1 program i maskinen.").arg(RemoteNames().size());
        else job->fail(lastStatus_.isEmpty() ? QStringLiteral("Ingen programlista från maskinen.") : lastStatus_);
    }
}

QCoro::Task<void> Station::cmdDel_Click(QString program) {
    TraceEnter(QStringLiteral("cmdDel_Click()"));
    if (Machine.Typ == 3 && IsoCannotAsk()) co_return;
    if (co_await RefuseWhileBusy()) co_return;
    Aborted = false;
    if (program.isEmpty()) co_return;
    const QString n = program;
    if (RefuseName(n)) {
        Row(n, QString(), 0, {}, ProgramResult::Failed, lastStatus_);
        co_return;
    }
    const auto answer =
        co_await Ask(QStringLiteral("Är du säker på att du vill radera filen \"") + n + QStringLiteral("\"?"),
                       QStringLiteral("Radera"), MsgIcon::Exclamation, OperatorPanel::Buttons::YesNo);
    if (answer != OperatorPanel::Answer::Yes) {
        Row(n, QString(), 0, {}, ProgramResult::Skipped, QStringLiteral("Inte raderat."));
        co_return;
    }
    lastStatus_.clear();
    ShowPilar(QStringLiteral("Raderar: ") + n, DeleteArrows());
    Status(QStringLiteral("Ansluter..."));
    AddLog(QStringLiteral("Begär borttagning av fil: ") + n);
    const QByteArray name = ToAnsi(n);
    MachineLink().FileName = n;
    const QByteArray request = BuildFrame("C", "DEL", "", name, "00");
    const QString framed = FromAnsi(TrimBlanks(request.mid(9, 6)));
    bool done = false;
    if (Machine.Typ == 1) {
        Status(QStringLiteral("Ansluten, Skickar begäran..."));
        exchanges_.open("DEL", framed, nullptr);
        co_await SendRequest(request, 1);
    } else if (Machine.Typ == 2) {
        if (Comm && Comm->isOpen()) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            const QByteArray erase = ProtocolOneRequest("E", name);
            exchanges_.open("E", P1Name(erase), nullptr);
            // The colon form acknowledges nothing: written is done, as its stores are.
            if (!Machine.Conversion) Arm(SvarTimer);
            co_await SendProtocolOne(erase);
            if (Machine.Conversion && !Aborted && OpenExchange()) {
                exchanges_.end(Exchange::State::Done);
                Status(QStringLiteral("Radering utförd ('") + n + QStringLiteral("')."));
                RemoveRemote(n);
                HidePilar();
                done = true;
            }
        }
    } else if (Machine.Typ == 0) {
        if (co_await ConnectToSock(comsock)) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            exchanges_.open("DEL", framed, comsock);
            co_await SendRequest(request, 0);
        }
    }
    if (Aborted) exchanges_.end(Exchange::State::Ended);
    // Bounded like a fetch: a machine that never answers must not leave
    // the indicator running.
    if (!Aborted && Machine.Typ != 2 && OpenExchange()) Arm(TimeoutTimer);
    if (!done && !Aborted && OpenExchange()) done = co_await AwaitExchange();
    else if (!done) done = !Aborted && exchanges_.latest() && exchanges_.latest()->state == Exchange::State::Done;
    Row(n, QString(), 0, {}, done ? ProgramResult::Ok : ProgramResult::Failed,
        Pick<QString>(done, QStringLiteral("Raderat."), lastStatus_));
}
