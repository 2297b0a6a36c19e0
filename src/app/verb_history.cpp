// history and restore: the kept versions of a library program.
#include "app/verb_session.h"
#include "library/history.h"

int RunHistory(const VerbOptions& options) {
    for (const HistoryVersion& v : ListVersions(options.args.value(0)))
        VerbOutFields({QString::number(v.id), v.date.toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")),
                       QString::number(v.size), v.origin});
    return VerbOk;
}

int RunRestore(const VerbOptions& options) {
    const QString file = options.args.value(0);
    bool number = false;
    const int id = options.args.value(1).toInt(&number);
    if (!number) {
        VerbError(QStringLiteral("\"%1\" är inget versionsnummer.").arg(options.args.value(1)));
        return VerbUsage;
    }
    const FileResult r = RestoreVersion(file, id);
    if (!r.ok) {
        VerbError(QStringLiteral("%1: %2").arg(file, r.message()));
        return VerbFailed;
    }
    VerbOut(QStringLiteral("Version %1 av %2 är återställd.").arg(id).arg(file));
    return VerbOk;
}
