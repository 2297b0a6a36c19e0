// drip: a program fed to an ISO tape machine while it runs it, from the
// start or from a block, as a job of the machine's like any other.
#include "app/verb_session.h"

#include "common/log.h"
#include "library/programfile.h"
#include "server/peeraccess.h"

#include <QFileInfo>

namespace {
QCoro::Task<void> Drip(Station* st, QString path, QString from, bool atToolChange, bool* ok) {
    co_await st->DripJob(path, from, atToolChange);
    const JobRun* job = st->CurrentJob();
    *ok = job && !job->record.programs.isEmpty() && job->record.programs.last().result == ProgramResult::Ok;
}
}  // namespace

QCoro::Task<int> RunDrip(VerbOptions options) {
    MachineEntry machine;
    if (!FindMachine(options.args.value(0), &machine)) {
        VerbError(QStringLiteral("okänd maskin \"%1\".").arg(options.args.value(0)));
        co_return VerbUsage;
    }
    const QString file = options.args.value(1);
    if (!QFileInfo(file).isFile()) {
        VerbError(QStringLiteral("filen \"%1\" finns inte.").arg(file));
        co_return VerbUsage;
    }
    if (const QString why = ClientRefusal(VerbConsole().peer(), file, PeerNeed::Read); !why.isEmpty()) {
        VerbError(why);
        co_return VerbUsage;
    }
    MachineSettings ms;
    if (PeekMachine(machine.slot, &ms) && ms.Typ != 3) {
        VerbError(QStringLiteral("droppmatning går bara till maskiner på ISO-remsa (Typ=3)."));
        co_return VerbUsage;
    }
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbFailed;
    // Hours at the machine's pace: no time-out of the verb's own; a stop
    // says where the machine is.
    bool ok = false;
    const QString path = QFileInfo(file).absoluteFilePath();
    const auto drip = [st = s.station, path, from = options.from, tc = options.fromToolChange, &ok] {
        return Drip(st, path, from, tc, &ok);
    };
    co_await s.run(JobKind::Drip, drip);
    if (!ok) {
        s.error(QStringLiteral("droppmatningen av \"%1\" blev inte klar. %2").arg(file, s.station->IsoStopText));
        co_return VerbFailed;
    }
    co_return s.errorReports() == 0 ? VerbOk : VerbFailed;
}
