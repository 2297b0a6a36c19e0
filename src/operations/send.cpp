// "Sänd": the selected local programs go to the machine one after the other,
// each after the machine answered the previous one.
#include "common/ansi.h"
#include "common/pick.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/trace.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/station.h"
#include "operations/jobrequest.h"
#include <QFileInfo>
#include <QScopeGuard>

bool Station::RemoteFileExists(const QString& fileName) const {
    const QString suffix = QLatin1Char('.') + Machine.Extension;
    // The machine's names and the file's may differ in case, as Windows would not.
    for (const QString& item : RemoteNames())
        if (QString(item + suffix).compare(fileName, Qt::CaseInsensitive) == 0) return true;
    return false;
}

QCoro::Task<void> Station::cmdSend_Click(SendArgs args) {
    TraceEnter(QStringLiteral("cmdSend_Click()"));
    if (co_await RefuseWhileBusy()) co_return;
    if (Machine.Typ == 3) {
        co_await IsoSend_Click(std::move(args));
        co_return;
    }
    Aborted = false;
    Status(QStringLiteral("Ansluter..."));
    const QStringList& selected = args.files;
    const QString& folder = args.folder;
    // Every name is checked before the first program goes out.
    for (const QString& name : selected)
        if (RefuseName(NameWithoutExt(name), name)) {
            Row(NameWithoutExt(name), JoinPath(folder, name), 0, {}, ProgramResult::Failed, lastStatus_);
            co_return;
        }
    // Several programs show how far the run has come.
    const int total = selected.size() > 1 ? int(selected.size()) : 0;
    const auto progressEnds = qScopeGuard([&] {
        if (total) panel_.setProgress(0, 0);
    });
    int done = 0;
    for (const QString& name : selected) {
        const QString path = JoinPath(folder, name);
        const QString program = NameWithoutExt(name);
        TransferDone = true;
        if (Aborted || Jobs.closed()) {
            Row(program, path, 0, {}, ProgramResult::Skipped,
                Pick<QString>(Aborted, QStringLiteral("Inte sänt: körningen avbröts."), QStringLiteral("Inte sänt: servern stannar.")));
            continue;
        }
        if (total) panel_.setProgress(done++, total);
        TransferDone = false;
        lastStatus_.clear();
        AddLog(QStringLiteral("Begär sändning av fil: ") + name);
        ShowPilar(QStringLiteral("Sänder: \"") + name + QStringLiteral("\"..."), SendArrows());
        bool skip = false;
        if (RemoteFileExists(name)) {
            const auto answer = co_await Ask(QStringLiteral("Filen finns redan i maskinen. Skriva över?"),
                                               AppTitle(), MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel);
            if (answer == OperatorPanel::Answer::Cancel) {
                Aborted = true;
                HidePilar();
                Row(program, path, 0, {}, ProgramResult::Skipped, QStringLiteral("Inte sänt: avbrutet vid frågan."));
                continue;
            }
            if (answer == OperatorPanel::Answer::No) {
                HidePilar();
                TransferDone = true;
                skip = true;
                Row(program, path, 0, {}, ProgramResult::Skipped, QStringLiteral("Finns redan i maskinen; inte överskrivet."));
            }
        }
        if (!skip && !FileExists(path)) {
            // An empty program would overwrite the machine's copy: skip instead.
            AddLog(QStringLiteral("Filen finns inte: ") + path);
            Status(QStringLiteral("Filen finns inte: ") + name);
            TransferDone = true;
            skip = true;
            Row(program, path, 0, {}, ProgramResult::Failed, lastStatus_);
        }
        // What went out, told by the message once the link is done with it.
        const auto sent = std::make_shared<Outgoing::Sent>();
        if (!skip) {
            const QByteArray frameName = ToAnsi(program);
            // The final status texts name the program of this send.
            MachineLink().FileName = program;
            const QByteArray head = BuildFrame("C", "SAV", "", frameName, "00");
            const QString framed = FromAnsi(TrimBlanks(head.mid(9, 6)));
            if (Machine.Typ == 1) {
                Status(QStringLiteral("Ansluten."));
                Status(QStringLiteral("Läser fil..."));
                SerialLink.OutBuffer = head + '\n';
                Outgoing message(SerialLink.OutBuffer, Outgoing::Close::Checksum, Machine.EOB);
                message.setProgram(OpenProgram(path));
                message.reportTo(sent);
                exchanges_.open("SAV", framed, nullptr).target = path;
                Status(QStringLiteral("Skickar data..."));
                SendData(message, SerialLink, nullptr, false);
                SerialLink.OutBuffer.clear();
                co_await AwaitLine();
                if (Aborted) exchanges_.end(Exchange::State::Ended);
                else Status(QStringLiteral("Skickat klart."));
            } else if (Machine.Typ == 2) {
                Status(QStringLiteral("Ansluten."));
                Status(QStringLiteral("Läser fil..."));
                SerialLink.OutBuffer = Pick(Machine.Conversion, BuildColonFrame(":", frameName, "S"), BuildShortFrame("S", frameName) + '\n');
                Outgoing message(SerialLink.OutBuffer, Outgoing::Close::LfPercent);
                message.setProgram(OpenProgram(path));
                message.reportTo(sent);
                Status(QStringLiteral("Skickar data..."));
                // Protocol 1's store has no answer: the line's end is the
                // transfer's, whole even when an abort came just after it.
                const bool whole = co_await SendProtocolOne(message);
                Q_EMIT transferEnded(false, program, QFileInfo(path).size(), whole);
                if (whole) {
                    Status(QStringLiteral("Skickat klart."));
                    // Protocol 1 has no answer to a store: waiting for one would
                    // only end in a time-out after every program.
                    TransferDone = true;
                }
            } else if (Machine.Typ == 0) {
                if (co_await ConnectToSock(comsock)) {
                    Status(QStringLiteral("Ansluten."));
                    Status(QStringLiteral("Skickar data..."));
                    Outgoing message(head + "\r\n", Outgoing::Close::Checksum, Machine.EOB);
                    message.setProgram(OpenProgram(path));
                    message.reportTo(sent);
                    exchanges_.open("SAV", framed, comsock).target = path;
                    SendData(message, NetLink, comsock, false);
                    if (Aborted) exchanges_.end(Exchange::State::Ended);
                    else Status(QStringLiteral("Skickat klart."));
                }
            }
        }
        if (!Aborted && !TransferDone) Status(QStringLiteral("Väntar på svar..."));
        // The answer ends the exchange and its time-out together.
        if (!Aborted && OpenExchange()) {
            Arm(SvarTimer);
            co_await AwaitExchange();
        }
        SvarTimer.stop();
        if (skip) continue;
        bool ok = TransferDone && (!Aborted || Machine.Typ == 2);
        // Protocol 1 has no "00" to tell that the machine stored it.
        if (ok && General.VerifyAfterSend && Machine.Typ != 2 && !co_await VerifySent(program, path)) ok = false;
        Row(program, path, sent->bytes, sent->sha256, ok ? ProgramResult::Ok : ProgramResult::Failed,
            Pick<QString>(ok, QStringLiteral("Sänt."), lastStatus_));
    }
    HidePilar();
}
