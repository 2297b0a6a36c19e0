// compare: the machine's programs against a library folder, one line each.
#include "app/verb_session.h"

#include "common/ansi.h"
#include "operations/comparison.h"

#include <QDir>
#include <QFileInfo>

int RunCompare(const VerbOptions& options) {
    MachineEntry machine;
    if (!FindMachine(options.args.value(0), &machine)) {
        VerbError(QStringLiteral("okänd maskin \"%1\".").arg(options.args.value(0)));
        return VerbUsage;
    }
    if (!options.folder.isEmpty() && !QFileInfo(options.folder).isDir()) {
        VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(options.folder));
        return VerbUsage;
    }
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) return VerbIncomplete;
    // Without --folder the machine's send folder, as the window shows it first.
    const QString folder = options.folder.isEmpty() ? s.panel.treeFolder() : QDir(options.folder).absolutePath();
    const QList<ProgramComparison> results = s.station->mnuCompare_Click(folder);
    if (results.isEmpty() && s.station->ListAnswer != true) {
        VerbError(QStringLiteral("ingen programlista från maskinen."));
        return VerbIncomplete;
    }
    bool differs = false, incomplete = s.station->Aborted || s.errorReports() > 0;
    for (const ProgramComparison& c : results) {
        using R = ProgramComparison::Result;
        differs = differs || c.result == R::Different || c.result == R::OnlyMachine;
        incomplete = incomplete || c.result == R::Failed;
        QStringList fields{c.name, ComparisonText(c.result)};
        if (!c.detail.isEmpty()) fields << c.detail;
        VerbOutFields(fields);
    }
    // A library holds more than any one machine: its own programs differ from nothing.
    return differs ? VerbFailed : incomplete ? VerbIncomplete : VerbOk;
}
