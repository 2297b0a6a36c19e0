// drip: a program fed to an ISO tape machine while it runs it, from the
// start or from a block, as a job of the machine's like any other.
#include "app/verb_session.h"

#include "common/log.h"
#include "library/programfile.h"
#include "server/peeraccess.h"

#include <QFileInfo>

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
    const QFileInfo fi(file);
    JobRequest request{JobKind::Drip, fi.absolutePath(), {fi.fileName()}, options.from};
    request.atToolChange = options.fromToolChange;
    const Job job = co_await s.run(request);
    const bool ok = !job.programs.isEmpty() && job.programs.last().result == ProgramResult::Ok;
    if (!ok) {
        s.error(QStringLiteral("droppmatningen av \"%1\" blev inte klar. %2").arg(file, s.station->isoStopText()));
        co_return VerbFailed;
    }
    co_return s.errorReports() == 0 ? VerbOk : VerbFailed;
}
