// The verbs that talk to the machine on the operator's behalf: dir, send,
// fetch and delete. Each runs the window's operation on the station and
// tells from what the station reported whether each item was done.
#include "app/verb_session.h"

#include "common/ansi.h"
#include "library/programfile.h"
#include "link/programname.h"

#include <QDir>
#include <QFileInfo>

namespace {
using Kind = ConsolePanel::Event::Kind;

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
bool RequestList(VerbSession& s) {
    const qsizetype mark = s.panel.mark();
    s.station->cmdDir_Click();
    s.awaitAnswer([&] { return s.panel.count(Kind::Fill, mark) > 0 || s.panel.count(Kind::Message, mark) > 0; });
    return s.panel.count(Kind::Fill, mark) > 0;
}

int Finish(const VerbSession& s, bool allDone) { return allDone && s.errorReports() == 0 ? VerbOk : VerbFailed; }
}  // namespace

int RunDir(const VerbOptions& options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) return VerbUsage;
    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) return VerbFailed;
    if (!RequestList(s)) {
        VerbError(QStringLiteral("ingen programlista från maskinen."));
        return VerbFailed;
    }
    for (const RemoteEntry& e : s.panel.remoteList())
        VerbOutFields({FromAnsi(e.name), FromAnsi(e.size)});
    return Finish(s, true);
}

int RunSend(const VerbOptions& options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) return VerbUsage;
    const QStringList files = options.args.mid(1);
    QStringList programs;
    for (const QString& f : files) {
        const QFileInfo fi(f);
        if (!fi.isFile()) {
            VerbError(QStringLiteral("filen \"%1\" finns inte.").arg(f));
            return VerbUsage;
        }
        programs << NameWithoutExt(fi.fileName());
    }
    if (!CheckProgramNames(programs, machine, files)) return VerbUsage;

    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) return VerbFailed;
    // A tape machine has no list to ask and no answer to wait for.
    if (s.station->Machine.Typ == 3) return RunTapeSend(s, files);
    // Without --yes the overwrite question needs the machine's list.
    if (options.overwrite != ConsolePanel::Policy::Yes && !RequestList(s)) {
        VerbError(QStringLiteral("ingen programlista från maskinen; inget sändes."));
        return VerbFailed;
    }
    // Protocol 1 has no answer to a stored program: the link's own end of
    // the send is all there is to go by.
    const QString sentStatus = s.station->Machine.Typ == 2 ? QStringLiteral("Sändning klar (") : QString();

    QList<bool> done;
    // One send run per folder: the files of a run come from one tree folder.
    qsizetype i = 0;
    while (i < files.size()) {
        if (i > 0 && s.station->Aborted) break;
        const QString folder = QFileInfo(files[i]).absolutePath();
        QStringList names;
        while (i < files.size() && QFileInfo(files[i]).absolutePath() == folder) names << QFileInfo(files[i++]).fileName();
        s.panel.setTreeFolder(folder);
        s.panel.setLocalSelection(names);
        const qsizetype mark = s.panel.mark();
        s.station->cmdSend_Click();
        const auto items = s.items(mark, QStringLiteral("Sänder: \""), Kind::Done, sentStatus,
                                   QStringLiteral("Kontroll misslyckades: "));
        for (qsizetype k = 0; k < names.size(); ++k) done << (k < items.size() && items[k].ok);
    }
    bool all = true;
    for (qsizetype k = 0; k < files.size(); ++k) {
        if (k < done.size() && done[k]) continue;
        all = false;
        VerbError(QStringLiteral("\"%1\" sändes inte.").arg(files[k]));
    }
    return Finish(s, all);
}

int RunFetch(const VerbOptions& options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) return VerbUsage;
    const QStringList names = options.args.mid(1);
    if (!CheckProgramNames(names, machine)) return VerbUsage;
    if (!options.to.isEmpty() && !QFileInfo(options.to).isDir()) {
        VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(options.to));
        return VerbUsage;
    }

    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) return VerbFailed;
    // The machine's send folder is already the tree's folder, as in the window.
    if (!options.to.isEmpty()) s.panel.setTreeFolder(QDir(options.to).absolutePath());
    s.panel.setRemoteSelection(names);
    const qsizetype mark = s.panel.mark();
    s.station->cmdRec_Click();
    const auto items = s.items(mark, QStringLiteral("Hämtar: \""), Kind::Done);
    bool all = true;
    for (qsizetype k = 0; k < names.size(); ++k) {
        if (k < items.size() && items[k].ok) continue;
        all = false;
        VerbError(QStringLiteral("\"%1\" hämtades inte.").arg(names[k]));
    }
    return Finish(s, all);
}

int RunDelete(const VerbOptions& options) {
    MachineEntry machine;
    if (!ResolveMachine(options.args.value(0), &machine)) return VerbUsage;
    const QStringList names = options.args.mid(1);
    if (!CheckProgramNames(names, machine)) return VerbUsage;

    VerbSession s(options);
    if (!s.readGeneralSettings() || !s.select(machine)) return VerbFailed;
    // The command line already said which programs to delete.
    s.panel.setConfirmed(true);
    bool all = true;
    bool stopped = false;
    for (const QString& n : names) {
        bool ok = false;
        if (!stopped) {
            s.panel.setRemoteSelection({n});
            const qsizetype mark = s.panel.mark();
            s.station->cmdDel_Click();
            // The answer comes through the parser; nothing in the station
            // bounds the wait for it.
            s.awaitAnswer([&] {
                return s.panel.count(Kind::Removed, mark) > 0 || s.panel.count(Kind::Message, mark) > 0;
            });
            ok = s.panel.count(Kind::Removed, mark) > 0;
            // A machine's refusal leaves the link working; a time-out or a
            // broken link ends the run.
            stopped = !ok && s.station->Aborted;
        }
        if (!ok) {
            all = false;
            VerbError(QStringLiteral("\"%1\" raderades inte.").arg(n));
        }
    }
    return Finish(s, all);
}
