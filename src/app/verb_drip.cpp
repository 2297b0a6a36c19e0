// drip: a program fed to an ISO tape machine while it runs it, from the
// start or from a block, with the station's progress on the terminal; and
// send to such a machine. Both wait at the main loop for the station's task.
#include "app/verb_session.h"

#include "common/log.h"
#include "library/programfile.h"

#include <QCoreApplication>
#include <QFileInfo>

namespace {
// Runs task to its end at the main loop.
bool RunToEnd(QCoro::Task<bool>&& task) {
    bool ok = false;
    std::move(task).then([&ok](bool result) {
        ok = result;
        QCoreApplication::exit(0);
    });
    QCoreApplication::exec();
    return ok;
}
}  // namespace

int RunTapeSend(VerbSession& s, const QStringList& files) {
    bool all = true;
    for (const QString& f : files) {
        const QFileInfo fi(f);
        if (!RunToEnd(s.station->IsoSend(fi.absoluteFilePath(), NameWithoutExt(fi.fileName())))) {
            VerbError(QStringLiteral("\"%1\" sändes inte. %2").arg(f, s.station->IsoStopText));
            all = false;
            break;
        }
    }
    return all && s.errorReports() == 0 ? VerbOk : VerbFailed;
}

int RunDrip(const VerbOptions& options) {
    MachineEntry machine;
    if (!FindMachine(options.args.value(0), &machine)) {
        VerbError(QStringLiteral("okänd maskin \"%1\".").arg(options.args.value(0)));
        return VerbUsage;
    }
    const QString file = options.args.value(1);
    if (!QFileInfo(file).isFile()) {
        VerbError(QStringLiteral("filen \"%1\" finns inte.").arg(file));
        return VerbUsage;
    }
    MachineSettings ms;
    if (PeekMachine(machine.slot, &ms) && ms.Typ != 3) {
        VerbError(QStringLiteral("droppmatning går bara till maskiner på ISO-remsa (Typ=3)."));
        return VerbUsage;
    }
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) return VerbFailed;
    // Hours at the machine's pace: the verb waits at the main loop, with no
    // time-out of its own; a stop says where the machine is.
    if (!RunToEnd(s.station->DripFeed(QFileInfo(file).absoluteFilePath(), options.from))) {
        VerbError(QStringLiteral("droppmatningen av \"%1\" blev inte klar. %2").arg(file, s.station->IsoStopText));
        return VerbFailed;
    }
    return s.errorReports() == 0 ? VerbOk : VerbFailed;
}
