// The machine's own requests: the PC serves programs from the send folder,
// its list, and stores and erases in the machine's folders.
#include "station/responder.h"
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/filelists.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/programname.h"
#include "station/station.h"
#include <QFileInfo>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Status the PC answers a store with when it could not store the program:
// a bad name or a failed write. Machines show it through their own error texts.
const QByteArray kStoreFailed = QByteArrayLiteral("09");
}  // namespace

// A machine's own store goes to the library, whatever the PC is fetching.
// Never a job's folder: a verb's --to or a file's own folder is that job's.
QString Responder::folder() const { return st_.ownPanel().machineFolder(); }

QString Responder::storePath(const QString& name) const {
    return ProgramPath(folder(), name, st_.Machine.Extension);
}

// Sizes for the published state: the file served, or the one just stored.
qint64 Responder::servedSize(const QString& name) const {
    return QFileInfo(ProgramPath(st_.Machine.SendPath, name, st_.Machine.Extension)).size();
}

qint64 Responder::storedSize(const QString& name) const { return QFileInfo(storePath(name)).size(); }

QByteArray Responder::pcList(bool narrow, const QString& pattern) const {
    return BuildProgramList(st_.Machine.SendPath, pattern, narrow ? ListWidth::Narrow : ListWidth::Wide);
}

// The program the machine asks for: looked for in the send folder; read from
// the machine's own folder when it is there too, else from the send folder.
// Null when there is none to send.
std::unique_ptr<ProgramTextReader> Responder::readFor(const QString& name) {
    const MachineSettings& m = st_.Machine;
    const QString problem = MachineNameProblem(name);
    const QString checked = ProgramPath(m.SendPath, name, m.Extension);
    st_.AddLog(QStringLiteral("Filkoll: ") + checked);
    if (!problem.isEmpty()) {
        st_.AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        return {};
    }
    if (!FileExists(checked) || FolderExists(checked)) return {};
    st_.Status(QStringLiteral("Läser fil."));
    const QString inTree = ProgramPath(folder(), name, m.Extension);
    try {
        auto program = std::make_unique<ProgramTextReader>();
        if (program->open(FileExists(inTree) && !FolderExists(inTree) ? inTree : checked, true)) return program;
    } catch (const AppError& e) {
        const QString why = FileResult{false, e.number(), e.description()}.message();
        st_.AddLog(why);
        st_.Status(why);
    }
    return {};
}

void Responder::moveToTrash(const QString& name, std::function<void(bool moved)> done) {
    const MachineSettings& m = st_.Machine;
    const QString problem = MachineNameProblem(name);
    if (!problem.isEmpty()) {
        st_.AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        return done(false);
    }
    const QString source = ProgramPath(m.RecPath, name, m.Extension);
    if (!FileExists(source) || FolderExists(source)) return done(false);
    const QString trashName = m.Extension.isEmpty()
                                  ? name + QLatin1Char('.') + NowStamp()
                                  : name + QLatin1Char('.') + NowStamp() + QLatin1Char('.') + m.Extension;
    const QString target = JoinPath(ResolveCase(m.Deleted), trashName);
    if (QFileInfo::exists(target)) return done(false);  // never overwrite what is already in the trash
    // Its version is compressed on a worker: a large program holds no other machine.
    const Receiver::DiskWait held = st_.rx_.hold();
    WhenReady(&st_, StartTrash(ResolveCase(source), target, QStringLiteral("Raderad av ") + st_.MachineName),
              [this, held, done = std::move(done)](const TrashResult& t) {
                  if (!t.kept.ok) st_.AddLog(t.kept.message());
                  done(t.moved);
                  st_.rx_.release(held);
              });
}

// A program the machine asked for: its count and job row are told once the
// link is done with the reply, when what went out is known. The SendDone
// returned takes the serial line's word on the drain.
Responder::SendDone Responder::loaded(Outgoing& reply, const QString& name, const QString& by) {
    auto drained = std::make_shared<bool>(true);
    auto sent = std::make_shared<Outgoing::Sent>();
    sent->ended = [this, alive = std::weak_ptr<bool>(st_.alive_), drained, name, by](const Outgoing::Sent& s) {
        if (alive.expired()) return;
        // A socket takes the whole reply at once and reads on as it drains:
        // only the handed-out closing says the machine got it all.
        const bool ok = *drained && s.whole;
        // Told after whoever dropped the reply (a broken connection) has left its status text.
        QMetaObject::invokeMethod(
            &st_,
            [this, name, by, ok, sha256 = s.sha256, bytes = s.bytes] {
                Q_EMIT st_.transferEnded(false, name, servedSize(name), ok);
                st_.MachineJob(false, name, ProgramPath(st_.Machine.SendPath, name, st_.Machine.Extension), bytes,
                               sha256, ok, by);
            },
            Qt::QueuedConnection);
    };
    reply.reportTo(std::move(sent));
    return [drained](bool whole) { *drained = whole; };
}

void Responder::request(QByteArray& message, LinkState& link, const QByteArray& command, const QByteArray& selector,
                        const QString& name) {
    const MachineSettings& m = st_.Machine;
    QTcpSocket* const on = st_.rx_.parsingFrom_;
    const QByteArray wireName = ToAnsi(name);
    const QByteArray lineEnd = link.Kind == 0 ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    if (command == "LOD") {
        link.Phase = 2;
        link.FileName = name;
        st_.AddLog(QStringLiteral("Skickar fil: ") + name);
        st_.ShowPilar(QStringLiteral("Sänder: ") + name, SendArrows());
        auto program = readFor(name);
        if (program) {
            st_.Status(QStringLiteral("Sänder..."));
            link.OutBuffer = BuildFrame("R", "LOD", "", wireName, "00") + lineEnd;
        } else {
            link.OutBuffer = BuildFrame("R", "LOD", "", wireName, "08");
        }
        const bool found = program != nullptr;
        Outgoing reply(link.OutBuffer, Outgoing::Close::Checksum, m.EOB);
        reply.setProgram(std::move(program));
        SendDone done;
        if (found) done = loaded(reply, name, st_.MachineBy(on));
        else done = [this, name](bool) { Q_EMIT st_.transferEnded(false, name, 0, false); };
        st_.SendData(reply, link, on, false, std::move(done));
        link.OutBuffer.clear();
        st_.HidePilar();
        link.Phase = 0;
    } else if (command == "SAV") {
        link.Phase = 1;
        link.FileName = name;
        st_.AddLog(QStringLiteral("Tar emot fil: ") + name);
        // Stored first, answered after: "00" only once the program is on disk.
        st_.RxCount = 0;
        if (!st_.rx_.parsingProgram_) {
            st_.rx_.parsingAnswers_ = 0;
            st_.rx_.parsingOrigin_ = QStringLiteral("Sparad av ") + st_.MachineName;
        }
        const QPointer<QTcpSocket> from = on;
        const auto answered = [this, &link, from, name, wireName, by = st_.MachineBy(on)](const StoreResult& r,
                                                                                         const QString& fileError) {
            const bool stored = r.stored();
            Q_EMIT st_.transferEnded(true, name, stored ? storedSize(name) : 0, stored);
            st_.MachineJob(true, name, storePath(name), r.bytes, r.sha256, stored, by);
            if (link.Kind == 0 && (!from || from->state() != QAbstractSocket::ConnectedState)) {
                st_.AddLog(QStringLiteral("Svaret kunde inte skickas: förbindelsen är stängd eller överföringen avbruten."));
            } else {
                link.OutBuffer = BuildFrame("R", "SAV", "", wireName, stored ? QByteArrayLiteral("00") : kStoreFailed);
                st_.SendData(link.OutBuffer, link, from, false);
                link.OutBuffer.clear();
            }
            link.Phase = 0;
            if (stored) st_.ownPanel().UpdateLocalFolders();
            st_.HidePilar();
            // The machine has its answer before a box waits for the operator.
            st_.ShowFileError(fileError);
        };
        st_.rx_.store([&] { return StripFrame(std::move(message)); }, name, answered);
    } else if (command == "DRQ" && selector == "ALL") {
        st_.AddLog(QStringLiteral("Skickar fillista."));
        QByteArray reply = BuildFrame("R", "DRQ", "ALL", "", "00");
        const QByteArray programs = pcList(false, PcListPattern(m.Extension));
        if (!programs.isEmpty()) reply += lineEnd + programs;
        replyLater(std::move(reply), link, 500);
    } else if (command == "DRQ" && selector == "SEL") {
        st_.AddLog(QStringLiteral("Skickar fillista: ") + name);
        QByteArray programs;
        const QString problem = MachineNameProblem(name);
        if (problem.isEmpty()) {
            const QString pattern = m.Extension.isEmpty() ? name : name + QLatin1Char('.') + m.Extension;
            programs = pcList(false, pattern);
        } else {
            st_.AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        }
        link.OutBuffer = BuildFrame("R", "DRQ", "SEL", "", programs.isEmpty() ? "08" : "00") + programs;
        st_.SendData(link.OutBuffer, link, on, false);
        link.OutBuffer.clear();
    } else if (command == "DEL") {
        st_.AddLog(QStringLiteral("Raderar fil: ") + name);
        const QPointer<QTcpSocket> from = on;
        const bool network = link.Kind == 0;
        moveToTrash(name, [this, &link, from, network, wireName](bool moved) {
            if (network && (!from || from->state() != QAbstractSocket::ConnectedState)) return;
            link.OutBuffer = BuildFrame("R", "DEL", "", wireName, moved ? "00" : "07");
            st_.SendData(link.OutBuffer, link, from, false);
            link.OutBuffer.clear();
        });
    }
}

void Responder::serve(const QString& name, bool colon, LinkState& link) {
    link.FileName = name;
    auto program = readFor(name);
    if (!program) return;
    const QByteArray wireName = ToAnsi(name);
    link.OutBuffer = colon ? BuildColonFrame(":", wireName, "S") : BuildShortFrame("S", wireName) + '\n';
    Outgoing reply(link.OutBuffer, colon ? Outgoing::Close::LfPercent : Outgoing::Close::Percent);
    reply.setProgram(std::move(program));
    Q_EMIT st_.requestArrived(QStringLiteral("L"), name);
    st_.SendDatap1(reply, link, false, loaded(reply, name, st_.MachineBy(nullptr)));
    link.OutBuffer.clear();
}

void Responder::list(bool colon, LinkState& link) {
    st_.AddLog(QStringLiteral("Skickar fillista."));
    const QString pattern = PcListPattern(st_.Machine.Extension);
    if (colon) link.OutBuffer = BuildColonFrame(":", "D", "S") + pcList(true, pattern);
    else link.OutBuffer = BuildShortFrame("D", "") + '\n' + pcList(false, pattern);
    st_.SendDatap1(link.OutBuffer, link, !colon, false);
    link.OutBuffer.clear();
}

void Responder::erase(const QString& name, LinkState& link) {
    st_.AddLog(QStringLiteral("Raderar fil: ") + name);
    moveToTrash(name, [this, &link, wireName = ToAnsi(name)](bool moved) {
        if (!moved) return;
        link.OutBuffer = BuildShortFrame("R", wireName);
        st_.SendDatap1(link.OutBuffer, link, false, false);
        link.OutBuffer.clear();
    });
}

// Dropped when its connection has closed or an abort came between.
void Responder::replyLater(QByteArray reply, LinkState& link, int ms) {
    QPointer<QTcpSocket> socket = st_.rx_.parsingFrom_;
    if (NetConnections::Accepted* a = st_.conns_.of(socket)) ++a->pending;
    const bool network = link.Kind == 0;
    const quint64 generation = st_.aborts_;
    QTimer::singleShot(ms, &st_, [this, reply, socket, network, generation, &link]() mutable {
        if (!network && st_.sender_.sending()) {
            // Never between two pieces of the message the line is writing.
            replyLater(std::move(reply), link, 20);
            return;
        }
        if (NetConnections::Accepted* a = st_.conns_.of(socket)) --a->pending;
        if (generation != st_.aborts_ || (network && (!socket || socket->state() != QAbstractSocket::ConnectedState))) {
            st_.AddLog(QStringLiteral("Svaret kunde inte skickas: förbindelsen är stängd eller överföringen avbruten."));
            return;
        }
        link.OutBuffer = std::move(reply);
        st_.SendData(link.OutBuffer, link, socket, false);
        link.OutBuffer.clear();
    });
}
