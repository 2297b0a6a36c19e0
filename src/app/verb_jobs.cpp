// jobs: the journal of what moved, newest first.
#include "app/verb_session.h"
#include "config/machines.h"
#include "jobs/journal.h"

#include <QJsonDocument>

namespace {
// "2026-12-08" or "2026-12-08 14:30[:00]", local time.
QDateTime SinceFrom(const QString& text) {
    const QString t = text.trimmed();
    for (const char* format : {"yyyy-MM-dd HH:mm:ss", "yyyy-MM-dd HH:mm", "yyyy-MM-ddTHH:mm:ss", "yyyy-MM-ddTHH:mm"})
        if (const QDateTime d = QDateTime::fromString(t, QLatin1String(format)); d.isValid()) return d;
    const QDate day = QDate::fromString(t, Qt::ISODate);
    return day.isValid() ? day.startOfDay() : QDateTime();
}

QString Local(const QDateTime& t) {
    return t.isValid() ? t.toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")) : QString();
}

// "O1000 1234 B 3fa9c1d2e4b5 ok", one for each program, separated by "; ".
QString Programs(const Job& j) {
    QStringList rows;
    for (const JobProgram& p : j.programs) {
        QString row = p.name + QLatin1Char(' ') + QString::number(p.bytes) + QStringLiteral(" B");
        if (!p.sha256.isEmpty()) row += QLatin1Char(' ') + QString::fromLatin1(p.sha256.left(12));
        rows << row + QLatin1Char(' ') + ResultWord(p.result);
    }
    return rows.join(QStringLiteral("; "));
}
}  // namespace

int RunJobs(const VerbOptions& options) {
    QString machine = options.args.value(0);
    // A machine of the list by its name or place; any other name as given,
    // since the journal keeps machines that have left the list.
    if (MachineEntry found; !machine.isEmpty() && FindMachine(machine, &found)) machine = found.name;
    QDateTime since;
    if (!options.since.isEmpty() && !(since = SinceFrom(options.since)).isValid()) {
        VerbError(QStringLiteral("\"%1\" är inget datum (ÅÅÅÅ-MM-DD eller ÅÅÅÅ-MM-DD TT:MM).").arg(options.since));
        return VerbUsage;
    }
    for (const Job& j : Journal().read(machine, since, 1000)) {
        if (options.json)
            VerbOut(QString::fromUtf8(QJsonDocument(j.toJson()).toJson(QJsonDocument::Compact)));
        else
            VerbOutFields({Local(j.started.isValid() ? j.started : j.created), j.machine, KindWord(j.kind),
                           StateWord(j.state), j.by, Programs(j), j.text});
    }
    return VerbOk;
}
