// The verbs that talk to the machine on the operator's behalf: dir, send,
// fetch and delete. Each runs the window's operation on the station and
// tells from what the station reported whether each item was done.
#include "app/verb_session.h"

#include "common/ansi.h"
#include "library/programfile.h"
#include "link/programname.h"

#include <QDir>
#include <QFileInfo>
#include "server/peeraccess.h"

namespace {
bool ResolveMachine(const QString& text, MachineEntry* machine) {
    if (FindMachine(text, machine)) return true;
    VerbError(QStringLiteral("okänd maskin \"%1\".").arg(text));
    return false;
}

// Refuses program names before anything reaches the machine or the disk.
// files: where each name came from, for the message (send only).
bool CheckProgramNames(const QStringList& names, const MachineEntry& machine, const QStringList& files = {}) {
    MachineSettings ms;
    const bool known = PeekMachine(machine.slot, &ms);
    for (qsizetype i = 0; i < names.size(); ++i) {
        const QString& n = names[i];
        // A machine whose settings do not load is reported by its selection.
        const QString why = known ? ProgramNameRefusal(n, ms) : ProgramNameProblem(n);
        if (why.isEmpty()) continue;
        if (i < files.size())
            VerbError(QStringLiteral("ogiltigt programnamn \"%1\" (filen \"%2\"): %3.").arg(n, files[i], why));
        else
            VerbError(QStringLiteral("ogiltigt programnamn \"%1\": %2.").arg(n, why));
        return false;
    }
    return true;
}

// Asks for the machine's list and waits for it; true when it came.
QCoro::Task<bool> RequestList(VerbSession& s) {
    // Named first: gcc 12 destroys a lambda made inside a co_await twice.
    const JobRequest list{JobKind::List};
    const Job job = co_await s.run(list);
    co_return job.state == JobState::Done && s.station->listAnswer() == true;
}

int Finish(const VerbSession& s, bool allDone) { return allDone && s.errorReports() == 0 ? VerbOk : VerbFailed; }

bool RowOk(const Job& job, qsizetype k) {
    return k < job.programs.size() && job.programs[k].result == ProgramResult::Ok;
}
}  // namespace

QCoro::Task<int> RunDir(VerbOptions options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) co_return VerbUsage;
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbFailed;
    if (!co_await RequestList(s)) {
        s.error(QStringLiteral("ingen programlista från maskinen."));
        co_return VerbFailed;
    }
    for (const RemoteEntry& e : s.panel.remoteList()) s.outFields({FromAnsi(e.name), FromAnsi(e.size)});
    co_return Finish(s, true);
}

QCoro::Task<int> RunSend(VerbOptions options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) co_return VerbUsage;
    const QStringList files = options.args.mid(1);
    QStringList programs;
    for (const QString& f : files) {
        const QFileInfo fi(f);
        if (!fi.isFile()) {
            VerbError(QStringLiteral("filen \"%1\" finns inte.").arg(f));
            co_return VerbUsage;
        }
        // A client of the server sends only what it could read itself.
        if (const QString why = ClientRefusal(VerbConsole().peer(), f, PeerNeed::Read); !why.isEmpty()) {
            VerbError(why);
            co_return VerbUsage;
        }
        programs << NameWithoutExt(fi.fileName());
    }
    if (!CheckProgramNames(programs, machine, files)) co_return VerbUsage;

    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbFailed;
    // Without --yes the overwrite question needs the machine's list.
    // A tape machine has no list to ask.
    if (s.station->machine().Typ != 3 && options.overwrite != ConsolePanel::Policy::Yes && !co_await RequestList(s)) {
        s.error(QStringLiteral("ingen programlista från maskinen; inget sändes."));
        co_return VerbFailed;
    }
    QList<bool> done;
    // One send run per folder: the files of a run come from one tree folder.
    qsizetype i = 0;
    bool stopped = false;
    while (i < files.size()) {
        const QString folder = QFileInfo(files[i]).absolutePath();
        QStringList names;
        while (i < files.size() && QFileInfo(files[i]).absolutePath() == folder) names << QFileInfo(files[i++]).fileName();
        if (stopped) continue;
        const JobRequest send{JobKind::Send, folder, names};
        const Job job = co_await s.run(send);
        for (qsizetype k = 0; k < names.size(); ++k) done << RowOk(job, k);
        stopped = job.state == JobState::Cancelled || s.station->aborted();
    }
    bool all = true;
    for (qsizetype k = 0; k < files.size(); ++k) {
        if (k < done.size() && done[k]) continue;
        all = false;
        s.error(QStringLiteral("\"%1\" sändes inte.").arg(files[k]));
    }
    co_return Finish(s, all);
}

QCoro::Task<int> RunFetch(VerbOptions options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) co_return VerbUsage;
    const QStringList names = options.args.mid(1);
    if (!CheckProgramNames(names, machine)) co_return VerbUsage;
    if (!options.to.isEmpty() && !QFileInfo(options.to).isDir()) {
        VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(options.to));
        co_return VerbUsage;
    }
    if (!options.to.isEmpty())
        if (const QString why = ClientRefusal(VerbConsole().peer(), options.to, PeerNeed::WriteFolder); !why.isEmpty()) {
            VerbError(why);
            co_return VerbUsage;
        }

    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbFailed;
    // The machine's send folder is already the tree's folder, as in the window.
    const QString folder = options.to.isEmpty() ? s.panel.treeFolder() : QDir(options.to).absolutePath();
    const JobRequest fetch{JobKind::Fetch, folder, names};
    const Job job = co_await s.run(fetch);
    bool all = true;
    for (qsizetype k = 0; k < names.size(); ++k) {
        if (RowOk(job, k)) continue;
        all = false;
        s.error(QStringLiteral("\"%1\" hämtades inte.").arg(names[k]));
    }
    co_return Finish(s, all);
}

QCoro::Task<int> RunDelete(VerbOptions options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) co_return VerbUsage;
    const QStringList names = options.args.mid(1);
    if (!CheckProgramNames(names, machine)) co_return VerbUsage;

    // Asked on the terminal before (or --yes); without a terminal nothing is deleted unasked.
    if (options.overwrite != ConsolePanel::Policy::Yes) {
        VerbError(QStringLiteral("inget raderades: delete frågar på terminalen, och utan terminal raderar den "
                                 "bara med --yes."));
        co_return VerbFailed;
    }
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbFailed;
    s.panel.setConfirmed(true);
    // One job: a time-out, a broken link or a cancel ends it, and the programs after have no row.
    const JobRequest erase{JobKind::Delete, {}, names};
    const Job job = co_await s.run(erase);
    bool all = true;
    for (qsizetype k = 0; k < names.size(); ++k) {
        if (RowOk(job, k)) continue;
        all = false;
        s.error(QStringLiteral("\"%1\" raderades inte.").arg(names[k]));
    }
    co_return Finish(s, all);
}

QCoro::Task<int> RunClear(VerbOptions options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) co_return VerbUsage;
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) co_return VerbFailed;
    const QString cut = s.station->CutProgram();
    // Only a server that holds the line remembers a cut send.
    if (cut.isEmpty() || !s.station->ConfirmCut(QStringLiteral("verb ") + CurrentUser())) {
        s.outFields({QStringLiteral("Ingen avbruten sändning väntar på bekräftelse i %1.").arg(machine.name)});
        co_return VerbOk;
    }
    s.outFields({QStringLiteral("Bekräftat: %1 är klar efter den avbrutna sändningen av %2.").arg(machine.name, cut)});
    co_return VerbOk;
}
