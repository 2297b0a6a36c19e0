// "Jämför med maskin" and the read-back check after a send: programs fetched
// from the machine into a temporary folder, never into the library, and
// compared with the library's files.
#include "operations/comparison.h"
#include "common/pick.h"

#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/trace.h"
#include "common/paths.h"
#include "library/filecompare.h"
#include "library/linediff.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/filelists.h"
#include "link/frames.h"
#include "link/programname.h"
#include "link/station.h"
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTcpSocket>
#include <QTemporaryDir>

QString ComparisonText(ProgramComparison::Result result) {
    switch (result) {
    case ProgramComparison::Result::Same: return QStringLiteral("Lika");
    case ProgramComparison::Result::Different: return QStringLiteral("Olika");
    case ProgramComparison::Result::OnlyMachine: return QStringLiteral("Bara i maskinen");
    case ProgramComparison::Result::OnlyLibrary: return QStringLiteral("Bara i biblioteket");
    case ProgramComparison::Result::Failed: break;
    }
    return QStringLiteral("Ej jämförd");
}

QCoro::Task<bool> Station::FetchCopy(QString name, QString target, QString comment, QByteArray* status) {
    status->clear();
    // A copy outside the library, or nothing at all.
    if (target.isEmpty()) co_return false;
    TransferDone = false;
    if (co_await RequestProgram(name, target, false, comment) && !Aborted) {
        Arm(TimeoutTimer);
        co_await AwaitExchange();
    }
    TimeoutTimer.stop();
    const bool done = exchanges_.latest() && exchanges_.latest()->state == Exchange::State::Done;
    if (exchanges_.latest()) *status = exchanges_.latest()->status;
    co_return done && FileExists(target);
}

QCoro::Task<bool> Station::VerifySent(QString name, QString path) {
    QTemporaryDir copies;
    if (!copies.isValid()) {
        const QString text = QStringLiteral("Kontroll av %1: ingen tillfällig mapp (%2).").arg(name, copies.errorString());
        AddLog(text);
        Aborted = true;
        HidePilar();
        Status(text);
        co_return false;
    }
    const QString copy = copies.filePath(QStringLiteral("kontroll"));
    QByteArray status;
    const QString comment = FileComment(path);
    const bool fetched = co_await FetchCopy(name, copy, comment, &status);
    if (Aborted) co_return false;
    FileDifference d;
    if (fetched) d = CompareProgramFiles(path, copy);
    if (fetched && d.same) {
        AddLog(QStringLiteral("Kontrollerad: ") + name);
        co_return true;
    }
    if (!fetched) AddLog(QStringLiteral("Kontroll av %1: kunde inte hämtas (%2).").arg(name, FromAnsi(status)));
    else if (!d.error.ok) AddLog(QStringLiteral("Kontroll av %1: %2").arg(name, d.error.message()));
    else AddLog(QStringLiteral("Kontroll av %1: första skillnaden på %2").arg(name, DifferenceText(d)));
    Aborted = true;
    HidePilar();
    Status(QStringLiteral("Kontroll misslyckades: %1 skiljer sig i maskinen.").arg(name));
    co_return false;
}

QCoro::Task<QList<ProgramComparison>> Station::mnuCompare_Click(QString folder) {
    using Result = ProgramComparison::Result;
    QList<ProgramComparison> results;
    TraceEnter(QStringLiteral("mnuCompare_Click()"));
    {
        if (co_await RefuseWhileBusy()) co_return results;
        // The machine's copies go to a folder of their own, never over the
        // library's: without one there is no comparison.
        QTemporaryDir copies;
        if (!copies.isValid()) {
            const QString text =
                QStringLiteral("Jämförelsen kan inte göras: ingen tillfällig mapp (%1).").arg(copies.errorString());
            AddLog(text);
            Status(text);
            co_return results;
        }
        ListAnswer.reset();
        co_await cmdDir_Click();
        TimeoutTimer.stop();
        if (!ListAnswer.value_or(false)) {
            if (!Aborted) Status(QStringLiteral("Ingen programlista från maskinen. Jämförelsen avbruten."));
            if (JobRun* job = CurrentJob()) job->fail(lastStatus_);
            co_return results;
        }
        // The library's programs by name; a machine's name finds its file the
        // way a fetch would: exactly, else without regard to case.
        QStringList files;
        for (const FoundFile& f : FindFiles(folder, PcListPattern(Machine.Extension)))
            if (!f.isDir) files << f.name;
        QList<bool> matched(files.size(), false);
        auto library = [&](const QString& name) -> qsizetype {
            for (Qt::CaseSensitivity cs : {Qt::CaseSensitive, Qt::CaseInsensitive})
                for (qsizetype i = 0; i < files.size(); ++i) {
                    const qsizetype dot = files[i].indexOf(QLatin1Char('.'));
                    if (QStringView(files[i]).left(dot < 0 ? files[i].size() : dot).compare(name, cs) == 0) return i;
                }
            return -1;
        };
        const QStringList machine = RemoteNames();
        QList<qsizetype> pair;
        int total = 0;
        for (const QString& n : machine) {
            pair << library(n);
            if (pair.last() >= 0) ++total;
        }
        const QString copy = copies.filePath(QStringLiteral("jamforelse"));
        int done = 0;
        qint64 kept = 0;
        panel_.setProgress(0, total);
        for (qsizetype k = 0; k < machine.size() && !Aborted; ++k) {
            const QString& n = machine[k];
            ProgramComparison c{n, Result::OnlyMachine, {}};
            if (pair[k] >= 0) {
                matched[pair[k]] = true;
                const QString path = JoinPath(folder, files[pair[k]]);
                if (files[pair[k]].left(n.size()) != n)
                    c.detail = QStringLiteral("heter %1 i biblioteket").arg(files[pair[k]]);
                ShowPilar(QStringLiteral("Jämför: \"") + n + QStringLiteral("\"..."), RecArrows());
                QByteArray status;
                const QString problem = ProgramNameRefusal(n, Machine);
                const QString comment = FileComment(path);
                bool fetched = false;
                if (problem.isEmpty()) fetched = co_await FetchCopy(n, copy, comment, &status);
                if (!problem.isEmpty()) {
                    c.result = Result::Failed;
                    c.detail = problem;
                } else if (!fetched) {
                    c.result = Result::Failed;
                    c.detail = status.isEmpty() ? QStringLiteral("inget program från maskinen")
                                                : QStringLiteral("maskinen svarade %1").arg(FromAnsi(status));
                } else {
                    const FileDifference d = CompareProgramFiles(path, copy);
                    c.result = d.same ? Result::Same : d.error.ok ? Result::Different : Result::Failed;
                    const QString why = Pick<QString>(d.error.ok, DifferenceText(d), d.error.message());
                    if (!d.same) c.detail = Pick<QString>(c.detail.isEmpty(), why, c.detail + QStringLiteral(", ") + why);
                    // Kept for the side-by-side view, up to a bound for the whole run.
                    const qint64 size = QFileInfo(copy).size();
                    if (c.result == Result::Different && size <= kDiffMaxBytes && kept + size <= 4 * kDiffMaxBytes) {
                        c.libraryFile = path;
                        c.machineText = ReadProgramFile(copy);
                        kept += c.machineText.size();
                    }
                    QFile::remove(copy);
                }
                panel_.setProgress(++done, total);
            }
            const QString detail = Pick<QString>(c.detail.isEmpty(), QString(), QStringLiteral(" (") + c.detail + QLatin1Char(')'));
            AddLog(QStringLiteral("Jämförelse %1: %2%3").arg(n, ComparisonText(c.result), detail));
            results << c;
        }
        HidePilar();
        panel_.setProgress(0, 0);
        if (Aborted) co_return results;
        for (qsizetype i = 0; i < files.size(); ++i)
            if (!matched[i]) {
                const qsizetype dot = files[i].indexOf(QLatin1Char('.'));
                results << ProgramComparison{Pick<QString>(dot < 0, files[i], files[i].left(dot)), Result::OnlyLibrary, {}};
            }
        int count[5] = {};
        for (const ProgramComparison& c : results) ++count[int(c.result)];
        QString summary =
            QStringLiteral("Jämförelse klar: %1 lika, %2 olika, %3 bara i maskinen, %4 bara i biblioteket")
                .arg(count[0])
                .arg(count[1])
                .arg(count[2])
                .arg(count[3]);
        if (count[4]) summary += QStringLiteral(", %1 ej jämförda").arg(count[4]);
        Status(summary + QLatin1Char('.'));
        if (JobRun* job = CurrentJob()) job->record.text = summary + QLatin1Char('.');
        for (const ProgramComparison& c : results) {
            static const ProgramResult kRow[] = {ProgramResult::Same, ProgramResult::Differs, ProgramResult::Missing,
                                                 ProgramResult::Missing, ProgramResult::Failed};
            Row(c.name, QString(), 0, {}, kRow[int(c.result)],
                ComparisonText(c.result) + Pick<QString>(c.detail.isEmpty(), QString(), QStringLiteral(" (") + c.detail + QLatin1Char(')')));
        }
    }
    co_return results;
}
