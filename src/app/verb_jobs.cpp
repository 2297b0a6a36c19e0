// jobs: the journal of what moved, newest first.
#include "app/verb_session.h"
#include "config/machines.h"
#include "jobs/journal.h"

#include <QRegularExpression>
#include <QTimeZone>
#include <cstdio>

namespace {
constexpr int kRows = 1000;

// A date, a date and time (seconds and their fraction optional, "T" or a
// blank between), and a zone ("Z", "+01:00", "+0100", "-05"); without a
// zone, local time. Invalid when it is anything else.
QDateTime SinceFrom(const QString& text) {
    static const QRegularExpression form(QStringLiteral(
        "^(\\d{4})-(\\d{2})-(\\d{2})(?:[T ](\\d{2}):(\\d{2})(?::(\\d{2})(?:[.,](\\d{1,3}))?)?)?"
        " ?(?:(Z)|([+-])(\\d{2})(?::?(\\d{2}))?)?$"));
    const QRegularExpressionMatch m = form.match(text.trimmed());
    if (!m.hasMatch()) return {};
    const auto n = [&](int i) { return m.captured(i).toInt(); };
    const QDate day(n(1), n(2), n(3));
    const QString fraction = m.captured(7);
    const QTime time = m.captured(4).isEmpty() ? QTime(0, 0)
                                               : QTime(n(4), n(5), n(6), fraction.leftJustified(3, QLatin1Char('0')).toInt());
    if (!day.isValid() || !time.isValid()) return {};
    if (!m.captured(8).isEmpty()) return QDateTime(day, time, QTimeZone::utc());
    if (!m.captured(9).isEmpty()) {
        if (n(10) > 14 || n(11) > 59) return {};
        const int offset = (n(10) * 3600 + n(11) * 60) * (m.captured(9) == QLatin1String("-") ? -1 : 1);
        return QDateTime(day, time, QTimeZone(offset));
    }
    return QDateTime(day, time);
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

// A journal line as the file holds it: JSON escapes what must be escaped,
// and nothing else may change it.
void OutRaw(const QByteArray& line) {
    if (InShopServer()) {
        VerbConsole().out(QString::fromUtf8(line) + QLatin1Char('\n'));
        return;
    }
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
}
}  // namespace

int RunJobs(const VerbOptions& options) {
    QString machine = options.args.value(0);
    // A machine of the list by its name or place; any other name as given,
    // since the journal keeps machines that have left the list.
    if (MachineEntry found; !machine.isEmpty() && FindMachine(machine, &found)) machine = found.name;
    QDateTime since;
    if (!options.since.isEmpty() && !(since = SinceFrom(options.since)).isValid()) {
        VerbError(QStringLiteral("\"%1\" är inget datum (ÅÅÅÅ-MM-DD, ÅÅÅÅ-MM-DD TT:MM[:SS] eller med zon, "
                                 "t.ex. 2026-12-08T14:30:00Z eller 2026-12-08 14:30+01:00).")
                      .arg(options.since));
        return VerbUsage;
    }
    const JournalRead read = Journal().query({machine, since, kRows, true});
    for (qsizetype i = 0; i < read.jobs.size(); ++i) {
        const Job& j = read.jobs[i];
        if (options.json)
            OutRaw(read.lines[i]);
        else
            VerbOutFields({Local(j.started.isValid() ? j.started : j.created), j.machine, KindWord(j.kind),
                           StateWord(j.state), j.by, Programs(j), j.text});
    }
    if (!InShopServer()) std::fflush(stdout);
    if (read.skipped > 0)
        VerbError(QStringLiteral("journalen har %1 skadade rader som hoppades över.").arg(read.skipped));
    if (read.leftOut > 0)
        VerbError(QStringLiteral("%1 äldre jobb visas inte (högst %2 rader); välj en maskin eller --since.")
                      .arg(read.leftOut)
                      .arg(kRows));
    return VerbOk;
}
