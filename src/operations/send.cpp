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
#include "operations/operations.h"
#include "operations/requests.h"
#include <QFileInfo>
#include <QScopeGuard>

namespace {
bool RemoteFileExists(const Conversation& c, const QString& fileName) {
    const QString suffix = QLatin1Char('.') + c.machine().Extension;
    // The machine's names and the file's may differ in case, as Windows would not.
    for (const QString& item : c.remoteNames())
        if (QString(item + suffix).compare(fileName, Qt::CaseInsensitive) == 0) return true;
    return false;
}
}  // namespace

QCoro::Task<void> cmdSend_Click(Conversation c, SendArgs args) {
    TraceEnter(QStringLiteral("cmdSend_Click()"));
    if (!co_await c.start()) co_return;
    const MachineSettings& m = c.machine();
    if (m.Typ == 3) {
        co_await IsoSend_Click(c, std::move(args));
        co_return;
    }
    c.status(QStringLiteral("Ansluter..."));
    const QStringList& selected = args.files;
    const QString& folder = args.folder;
    // Every name is checked before the first program goes out.
    for (const QString& name : selected)
        if (RefuseName(c, NameWithoutExt(name), name)) {
            c.row(NameWithoutExt(name), JoinPath(folder, name), 0, {}, ProgramResult::Failed, c.lastStatus());
            co_return;
        }
    // Several programs show how far the run has come.
    const int total = selected.size() > 1 ? int(selected.size()) : 0;
    const auto progressEnds = qScopeGuard([&] {
        if (total) c.panel().setProgress(0, 0);
    });
    int done = 0;
    for (const QString& name : selected) {
        const QString path = JoinPath(folder, name);
        const QString program = NameWithoutExt(name);
        c.setTransferDone(true);
        if (c.aborted() || c.closing()) {
            c.row(program, path, 0, {}, ProgramResult::Skipped,
                  Pick<QString>(c.aborted(), QStringLiteral("Inte sänt: körningen avbröts."), QStringLiteral("Inte sänt: servern stannar.")));
            continue;
        }
        if (total) c.panel().setProgress(done++, total);
        c.setTransferDone(false);
        c.clearStatus();
        c.log(QStringLiteral("Begär sändning av fil: ") + name);
        c.pilar(QStringLiteral("Sänder: \"") + name + QStringLiteral("\"..."), SendArrows());
        bool skip = false;
        if (RemoteFileExists(c, name)) {
            const auto answer = co_await c.ask(QStringLiteral("Filen finns redan i maskinen. Skriva över?"),
                                               AppTitle(), MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel);
            if (answer == OperatorPanel::Answer::Cancel) {
                c.cancel();
                c.hidePilar();
                c.row(program, path, 0, {}, ProgramResult::Skipped, QStringLiteral("Inte sänt: avbrutet vid frågan."));
                continue;
            }
            if (answer == OperatorPanel::Answer::No) {
                c.hidePilar();
                c.setTransferDone(true);
                skip = true;
                c.row(program, path, 0, {}, ProgramResult::Skipped, QStringLiteral("Finns redan i maskinen; inte överskrivet."));
            }
        }
        if (!skip && !FileExists(path)) {
            // An empty program would overwrite the machine's copy: skip instead.
            c.log(QStringLiteral("Filen finns inte: ") + path);
            c.status(QStringLiteral("Filen finns inte: ") + name);
            c.setTransferDone(true);
            skip = true;
            c.row(program, path, 0, {}, ProgramResult::Failed, c.lastStatus());
        }
        // What went out, told by the message once the link is done with it.
        const auto sent = std::make_shared<Outgoing::Sent>();
        if (!skip) {
            const QByteArray frameName = ToAnsi(program);
            // The final status texts name the program of this send.
            c.naming(program);
            const QByteArray head = BuildFrame("C", "SAV", "", frameName, "00");
            const QString framed = FromAnsi(TrimBlanks(head.mid(9, 6)));
            if (m.Typ == 1) {
                c.status(QStringLiteral("Ansluten."));
                c.status(QStringLiteral("Läser fil..."));
                Outgoing message(head + '\n', Outgoing::Close::Checksum, m.EOB);
                message.setProgram(OpenProgram(path));
                message.reportTo(sent);
                c.open("SAV", framed).target = path;
                c.status(QStringLiteral("Skickar data..."));
                c.send(message);
                co_await c.awaitLine();
                if (c.aborted()) c.end();
                else c.status(QStringLiteral("Skickat klart."));
            } else if (m.Typ == 2) {
                c.status(QStringLiteral("Ansluten."));
                c.status(QStringLiteral("Läser fil..."));
                Outgoing message(Pick(m.Conversion, BuildColonFrame(":", frameName, "S"), BuildShortFrame("S", frameName) + '\n'),
                                 Outgoing::Close::LfPercent);
                message.setProgram(OpenProgram(path));
                message.reportTo(sent);
                c.status(QStringLiteral("Skickar data..."));
                // Protocol 1's store has no answer: the line's end is the
                // transfer's, whole even when an abort came just after it.
                const bool whole = co_await c.sendP1(message);
                c.transferEnded(false, program, QFileInfo(path).size(), whole);
                if (whole) {
                    c.status(QStringLiteral("Skickat klart."));
                    // Protocol 1 has no answer to a store: waiting for one would
                    // only end in a time-out after every program.
                    c.setTransferDone(true);
                }
            } else if (m.Typ == 0) {
                if (co_await c.connect()) {
                    c.status(QStringLiteral("Ansluten."));
                    c.status(QStringLiteral("Skickar data..."));
                    Outgoing message(head + "\r\n", Outgoing::Close::Checksum, m.EOB);
                    message.setProgram(OpenProgram(path));
                    message.reportTo(sent);
                    c.open("SAV", framed).target = path;
                    c.send(message);
                    if (c.aborted()) c.end();
                    else c.status(QStringLiteral("Skickat klart."));
                }
            }
        }
        if (!c.aborted() && !c.transferDone()) c.status(QStringLiteral("Väntar på svar..."));
        // The answer ends the exchange and its time-out together.
        if (!c.aborted() && c.pending()) co_await c.await(Conversation::Bound::Answer);
        if (skip) continue;
        bool ok = c.transferDone() && (!c.aborted() || m.Typ == 2);
        // Protocol 1 has no "00" to tell that the machine stored it.
        if (ok && c.general().VerifyAfterSend && m.Typ != 2 && !co_await VerifySent(c, program, path)) ok = false;
        c.row(program, path, sent->bytes, sent->sha256, ok ? ProgramResult::Ok : ProgramResult::Failed,
              Pick<QString>(ok, QStringLiteral("Sänt."), c.lastStatus()));
    }
    c.hidePilar();
}
