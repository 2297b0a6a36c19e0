// compare: the machine's programs against a library folder, one line each.
#include "app/verb_session.h"

#include "common/ansi.h"
#include "common/pick.h"
#include "operations/comparison.h"
#include "server/peeraccess.h"

#include <QDir>
#include <QFileInfo>

QCoro::Task<int> RunCompare(VerbOptions options) {
    MachineEntry machine;
    if (!FindMachine(options.args.value(0), &machine)) {
        VerbError(QStringLiteral("okänd maskin \"%1\".").arg(options.args.value(0)));
        co_return VerbUsage;
    }
    if (!options.folder.isEmpty() && !QFileInfo(options.folder).isDir()) {
        VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(options.folder));
        co_return VerbUsage;
    }
    if (!options.folder.isEmpty())
        if (const QString why = ClientRefusal(VerbConsole().peer(), options.folder, PeerNeed::Read); !why.isEmpty()) {
            VerbError(why);
            co_return VerbUsage;
        }
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbIncomplete;
    // Without --folder the machine's send folder, as the window shows it first.
    const QString folder = Pick(options.folder.isEmpty(), s.panel.treeFolder(), QDir(options.folder).absolutePath());
    const JobRequest request{JobKind::Compare, folder};
    const Job job = co_await s.run(request);
    const QList<ProgramComparison>& results = *request.comparisons;
    if (results.isEmpty() && s.station->listAnswer() != true) {
        s.error(QStringLiteral("ingen programlista från maskinen."));
        co_return VerbIncomplete;
    }
    bool differs = false, incomplete = s.station->aborted() || s.errorReports() > 0 || job.state == JobState::Cancelled;
    for (const ProgramComparison& c : results) {
        using R = ProgramComparison::Result;
        differs = differs || c.result == R::Different || c.result == R::OnlyMachine;
        incomplete = incomplete || c.result == R::Failed;
        QStringList fields{c.name, ComparisonText(c.result)};
        if (!c.detail.isEmpty()) fields << c.detail;
        s.outFields(fields);
    }
    // A library holds more than any one machine: its own programs differ from nothing.
    co_return differs ? VerbFailed : incomplete ? VerbIncomplete : VerbOk;
}
