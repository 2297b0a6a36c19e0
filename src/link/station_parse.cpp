// Incoming messages: responses to the PC's requests, and the machine's own
// requests, where the PC serves as the machine's file server.
#include "common/ansi.h"
#include "common/pick.h"
#include "common/code2error.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/filelists.h"
#include "link/frames.h"
#include "link/incomingprogram.h"
#include "link/outgoing.h"
#include "link/programname.h"
#include "link/station.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopedValueRollback>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Status the PC answers a store with when it could not store the program:
// a bad name or a failed write. Machines show it through their own error texts.
const QByteArray kStoreFailed = QByteArrayLiteral("09");
// Log lines quote at most this much of an unknown message.
constexpr qsizetype kLogQuote = 200;

QString Quote(const QByteArray& message) {
    if (message.size() <= kLogQuote) return FromAnsi(message);
    return FromAnsi(message.left(kLogQuote)) + QStringLiteral("... (%1 tecken)").arg(message.size());
}
}  // namespace

// A machine's own store goes to the library, whatever the PC is fetching.
// Never a job's folder: a verb's --to or a file's own folder is that job's.
QString Station::FolderForIncoming() const { return own_.machineFolder(); }

void Station::ShowRemoteList(const QList<RemoteEntry>& entries) {
    remote_ = entries;
    panel_.fillRemoteList(entries);
}

void Station::RemoveRemote(const QString& name) {
    remote_.removeIf([&](const RemoteEntry& e) { return FromAnsi(e.name) == name; });
    panel_.removeRemoteItem(name);
}

QStringList Station::RemoteNames() const {
    QStringList names;
    for (const RemoteEntry& e : remote_) names << FromAnsi(e.name);
    return names;
}

void Station::ShowMachineError(const QString& statusText, const QByteArray& code) {
    Status(statusText + FromAnsi(code));
    const QString text = Code2Error(FromAnsi(code));
    Tell(QStringLiteral("Överföringsfel: \r\n") + text, QStringLiteral("Fel"), MsgIcon::Critical);
}

void Station::Tell(const QString& text, const QString& title, MsgIcon icon) {
    QMetaObject::invokeMethod(
        this, [this, text, title, icon] { panel_.message(text, title, icon, OperatorPanel::Buttons::Ok); },
        Qt::QueuedConnection);
}

// The program the machine asks for: looked for in the send folder; read from
// the folder selected in the tree when it is there too, else from the send
// folder. Null when there is none to send.
std::unique_ptr<ProgramTextReader> Station::ReadForMachine(const QString& name) {
    const QString problem = MachineNameProblem(name);
    const QString checked = ProgramPath(Machine.SendPath, name, Machine.Extension);
    AddLog(QStringLiteral("Filkoll: ") + checked);
    if (!problem.isEmpty()) {
        AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        return {};
    }
    if (!FileExists(checked) || FolderExists(checked)) return {};
    Status(QStringLiteral("Läser fil."));
    const QString inTree = ProgramPath(FolderForIncoming(), name, Machine.Extension);
    try {
        auto program = std::make_unique<ProgramTextReader>();
        if (program->open(FileExists(inTree) && !FolderExists(inTree) ? inTree : checked, true)) return program;
    } catch (const AppError& e) {
        const QString why = FileResult{false, e.number(), e.description()}.message();
        AddLog(why);
        Status(why);
    }
    return {};
}

void Station::MoveToTrash(const QString& name, std::function<void(bool moved)> done) {
    const QString problem = MachineNameProblem(name);
    if (!problem.isEmpty()) {
        AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        return done(false);
    }
    const QString source = ProgramPath(Machine.RecPath, name, Machine.Extension);
    if (!FileExists(source) || FolderExists(source)) return done(false);
    const QString trashName = Machine.Extension.isEmpty()
                                  ? name + QLatin1Char('.') + NowStamp()
                                  : name + QLatin1Char('.') + NowStamp() + QLatin1Char('.') + Machine.Extension;
    const QString target = JoinPath(ResolveCase(Machine.Deleted), trashName);
    if (QFileInfo::exists(target)) return done(false);  // never overwrite what is already in the trash
    // Its version is compressed on a worker: a large program holds no other machine.
    const DiskWait held = HoldConnection();
    WhenReady(this, StartTrash(ResolveCase(source), target, QStringLiteral("Raderad av ") + MachineName),
              [this, held, done = std::move(done)](const TrashResult& t) {
                  if (!t.kept.ok) AddLog(t.kept.message());
                  done(t.moved);
                  ReleaseConnection(held);
              });
}

// Sizes for the published state: the file served, or the one just stored.
qint64 Station::ServedSize(const QString& name) const {
    return QFileInfo(ProgramPath(Machine.SendPath, name, Machine.Extension)).size();
}

qint64 Station::StoredSize(const QString& name) const {
    return QFileInfo(StorePath(name)).size();
}

Station::SendDone Station::MachineLoad(Outgoing& reply, const QString& name, const QString& by) {
    auto drained = std::make_shared<bool>(true);
    auto sent = std::make_shared<Outgoing::Sent>();
    sent->ended = [this, alive = std::weak_ptr<bool>(alive_), drained, name, by](const Outgoing::Sent& s) {
        if (alive.expired()) return;
        // A socket takes the whole reply at once and reads on as it drains:
        // only the handed-out closing says the machine got it all.
        const bool ok = *drained && s.whole;
        // Told after whoever dropped the reply (a broken connection) has left its status text.
        QMetaObject::invokeMethod(
            this,
            [this, name, by, ok, sha256 = s.sha256, bytes = s.bytes] {
                Q_EMIT transferEnded(false, name, ServedSize(name), ok);
                MachineJob(false, name, ProgramPath(Machine.SendPath, name, Machine.Extension), bytes, sha256, ok, by);
            },
            Qt::QueuedConnection);
    };
    reply.reportTo(std::move(sent));
    return [drained](bool whole) { *drained = whole; };
}

void Station::ShowFileError(const QString& text) {
    if (!text.isEmpty()) Tell(text, AppTitle(), MsgIcon::None);
}

QByteArray Station::PcList(bool narrow, const QString& pattern) const {
    return BuildProgramList(Machine.SendPath, pattern, narrow ? ListWidth::Narrow : ListWidth::Wide);
}

void Station::Parse(QByteArray message, LinkState& link) {
    Traced(QStringLiteral("Parse()"), [&] {
        QByteArray type, command, selector, status;
        QString name;
        if (message.startsWith('%')) {
            type = message.mid(1, 1);
            command = message.mid(2, 3);
            selector = TrimBlanks(message.mid(5, 4));
            name = FromAnsi(TrimBlanks(message.mid(9, 6)));
            status = message.mid(17, 2);
            AddLog(QStringLiteral("Inkommande kommando: ") + FromAnsi(type + command + selector) + name +
                   FromAnsi(status));
            if (type == "C") Q_EMIT requestArrived(FromAnsi(command + (selector.isEmpty() ? "" : " " + selector)), name);
        } else {
            AddLog(QStringLiteral("Okänt kommando: ") + Quote(message));
        }
        QByteArray received, computed;
        if (parsingProgram_) {
            // Its text went to a file as it arrived; the message holds its header.
            received = parsingProgram_->receivedChecksum();
            computed = parsingProgram_->computedChecksum();
        } else {
            if (!message.endsWith('%')) AddLog(QStringLiteral("Okänt kommando: ") + Quote(message));
            ChecksumMatches(message, &received, &computed);
        }
        AddLog(QStringLiteral("Recieved Chksum: ") + FromAnsi(received) + QStringLiteral(" - Calc chksum: ") +
               FromAnsi(computed));
        if (received != computed) {
            link.OutBuffer = BuildFrame("R", command, selector, ToAnsi(name), "04");
            SendData(link.OutBuffer, link, parsingFrom_, false);
            link.OutBuffer.clear();
        } else if (type == "R") {
            ParseResponse(message, link, command, selector, name, status);
        } else if (type == "C") {
            ParseRequest(message, link, command, selector, name);
        }
    });
}

void Station::ParseResponse(QByteArray& message, LinkState& link, const QByteArray& command,
                            const QByteArray& selector, const QString& name, const QByteArray& status) {
    const bool ok = status == "00";
    const bool network = link.Kind == 0;
    const bool list = command == "DRQ" && (selector == "ALL" || selector == "SEL");
    if (command != "LOD" && command != "SAV" && command != "DEL" && !list) return;
    // Only the answer to the PC's open request, on its own connection, counts.
    Exchange* x = Answered(command, list ? QString() : name, parsingFrom_);
    if (!x || (parsingProgram_ && parsingAnswers_ != x->id)) {
        Unexpected(message);
        return;
    }
    // The PC's own transfers count as the machine's do; a comparison's copies do not.
    const auto ended = [this, library = x->library, target = x->target, name](bool in, bool whole) {
        if (library) Q_EMIT transferEnded(in, name, whole ? QFileInfo(target).size() : 0, whole);
    };
    if (command == "LOD") {
        if (!ok && x->keepErrors) {
            // A comparison goes on with the next program.
            link.Phase = 0;
            x->status = status;
            EndExchange(Exchange::State::Failed);
            TransferDone = true;
            return;
        }
        if (!ok) {
            ended(true, false);
            link.Phase = 0;
            EndExchange(Exchange::State::Failed);
            // The abort routine empties the status line: the error is shown after it.
            AbortExchange();
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            return;
        }
        TimeoutTimer.stop();
        x->arrived = true;
        link.Phase = 2;
        link.FileName = name;
        AddLog(QStringLiteral("Tar emot fil: ") + name);
        Status(QStringLiteral("Tar emot..."));
        if (!parsingProgram_) {
            parsingAnswers_ = x->id;
            parsingOrigin_ = x->library ? QStringLiteral("Hämtad från ") + MachineName : QString();
        }
        const quint64 id = x->id;
        StoreFromMachine([&] { return StripFrame(std::move(message)); }, name,
                         [this, &link, ended, id, name](const StoreResult& r, const QString& fileError) {
                             ended(true, r.stored());
                             // Aborted meanwhile: the abort has told its own end.
                             if (!exchange_ || exchange_->id != id || !exchange_->open()) return;
                             if (!r.stored()) {
                                 link.Phase = 0;
                                 const QString statusText = QStringLiteral("Mottagningen misslyckades ('%1').").arg(name);
                                 EndExchange(Exchange::State::Failed);
                                 AbortExchange();
                                 Status(statusText);
                                 ShowFileError(fileError);
                                 return;
                             }
                             Status(QStringLiteral("Mottagning klar ('") + name + QStringLiteral("')"));
                             link.Phase = 0;
                             EndExchange(Exchange::State::Done);
                             panel_.UpdateLocalFolders();
                             HidePilar();
                             TransferDone = true;
                         });
    } else if (command == "SAV") {
        ended(false, ok);
        if (!ok) {
            // The machine has answered: the send ends here, not in a time-out
            // that would claim it never did.
            EndExchange(Exchange::State::Failed);
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            link.Phase = 0;
            HidePilar();
            Aborted = true;
            return;
        }
        EndExchange(Exchange::State::Done);
        link.FileName = name;
        Status(QStringLiteral("Sändning klar ('") + name + QStringLiteral("')"));
        if (network) comsock->close();
        HidePilar();
        TransferDone = true;
    } else if (list) {
        if (!ok) {
            ListAnswer = false;
            EndExchange(Exchange::State::Failed);
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            link.Phase = 0;
            HidePilar();
            return;
        }
        ShowRemoteList(ReadReceivedList(message, 2));
        ListAnswer = true;
        EndExchange(Exchange::State::Done);
        if (network) comsock->close();
        Status(QStringLiteral("Fillista klar."));
    } else if (command == "DEL") {
        EndExchange(ok ? Exchange::State::Done : Exchange::State::Failed);
        if (ok) {
            Status(QStringLiteral("Radering utförd ('") + name + QStringLiteral("')."));
            RemoveRemote(name);
        } else {
            Status(QStringLiteral("Fel vid radering: ") + FromAnsi(status));
            const QString text = Code2Error(FromAnsi(status));
            Tell(QStringLiteral("Överföringsfel: \r\n") + text, QStringLiteral("Fel"), MsgIcon::Critical);
        }
        if (network) comsock->close();
        HidePilar();
    }
}

void Station::ParseRequest(QByteArray& message, LinkState& link, const QByteArray& command,
                           const QByteArray& selector, const QString& name) {
    const QByteArray wireName = ToAnsi(name);
    const QByteArray lineEnd = link.Kind == 0 ? QByteArrayLiteral("\r\n") : QByteArrayLiteral("\n");
    if (command == "LOD") {
        link.Phase = 2;
        link.FileName = name;
        AddLog(QStringLiteral("Skickar fil: ") + name);
        ShowPilar(QStringLiteral("Sänder: ") + name, SendArrows());
        auto program = ReadForMachine(name);
        if (program) {
            Status(QStringLiteral("Sänder..."));
            link.OutBuffer = BuildFrame("R", "LOD", "", wireName, "00") + lineEnd;
        } else {
            link.OutBuffer = BuildFrame("R", "LOD", "", wireName, "08");
        }
        const bool found = program != nullptr;
        Outgoing reply(link.OutBuffer, Outgoing::Close::Checksum, Machine.EOB);
        reply.setProgram(std::move(program));
        SendDone done;
        if (found) done = MachineLoad(reply, name, MachineBy(parsingFrom_));
        else done = [this, name](bool) { Q_EMIT transferEnded(false, name, 0, false); };
        SendData(reply, link, parsingFrom_, false, std::move(done));
        link.OutBuffer.clear();
        HidePilar();
        link.Phase = 0;
    } else if (command == "SAV") {
        link.Phase = 1;
        link.FileName = name;
        AddLog(QStringLiteral("Tar emot fil: ") + name);
        // Stored first, answered after: "00" only once the program is on disk.
        RxCount = 0;
        if (!parsingProgram_) {
            parsingAnswers_ = 0;
            parsingOrigin_ = QStringLiteral("Sparad av ") + MachineName;
        }
        const QPointer<QTcpSocket> from = parsingFrom_;
        StoreFromMachine([&] { return StripFrame(std::move(message)); }, name,
                         [this, &link, from, name, wireName, by = MachineBy(parsingFrom_)](const StoreResult& r, const QString& fileError) {
                             const bool stored = r.stored();
                             Q_EMIT transferEnded(true, name, stored ? StoredSize(name) : 0, stored);
                             MachineJob(true, name, StorePath(name), r.bytes, r.sha256, stored, by);
                             if (link.Kind == 0 && (!from || from->state() != QAbstractSocket::ConnectedState)) {
                                 AddLog(QStringLiteral("Svaret kunde inte skickas: förbindelsen är stängd eller överföringen avbruten."));
                             } else {
                                 link.OutBuffer = BuildFrame("R", "SAV", "", wireName, stored ? QByteArrayLiteral("00") : kStoreFailed);
                                 SendData(link.OutBuffer, link, from, false);
                                 link.OutBuffer.clear();
                             }
                             link.Phase = 0;
                             if (stored) panel_.UpdateLocalFolders();
                             HidePilar();
                             // The machine has its answer before a box waits for the operator.
                             ShowFileError(fileError);
                         });
    } else if (command == "DRQ" && selector == "ALL") {
        AddLog(QStringLiteral("Skickar fillista."));
        QByteArray reply = BuildFrame("R", "DRQ", "ALL", "", "00");
        const QByteArray list = PcList(false, PcListPattern(Machine.Extension));
        if (!list.isEmpty()) reply += lineEnd + list;
        ReplyLater(std::move(reply), link, 500);
    } else if (command == "DRQ" && selector == "SEL") {
        AddLog(QStringLiteral("Skickar fillista: ") + name);
        QByteArray list;
        const QString problem = MachineNameProblem(name);
        if (problem.isEmpty()) {
            const QString pattern = Machine.Extension.isEmpty() ? name : name + QLatin1Char('.') + Machine.Extension;
            list = PcList(false, pattern);
        } else {
            AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        }
        link.OutBuffer = BuildFrame("R", "DRQ", "SEL", "", list.isEmpty() ? "08" : "00") + list;
        SendData(link.OutBuffer, link, parsingFrom_, false);
        link.OutBuffer.clear();
    } else if (command == "DEL") {
        AddLog(QStringLiteral("Raderar fil: ") + name);
        const QPointer<QTcpSocket> from = parsingFrom_;
        const bool network = link.Kind == 0;
        MoveToTrash(name, [this, &link, from, network, wireName](bool moved) {
            if (network && (!from || from->state() != QAbstractSocket::ConnectedState)) return;
            link.OutBuffer = BuildFrame("R", "DEL", "", wireName, moved ? "00" : "07");
            SendData(link.OutBuffer, link, from, false);
            link.OutBuffer.clear();
        });
    }
}

void Station::ParseP1(QByteArray message, LinkState& link) {
    Traced(QStringLiteral("ParseP1()"), [&] {
        const QByteArray letter = message.mid(1, 1);
        const bool shortForm = letter.size() == 1 && QByteArrayView("LSERD").contains(letter.at(0));
        const QString name = P1Name(message);
        const QByteArray letter2 = message.mid(9, 1);
        const QByteArray wireName = ToAnsi(name);
        const QString listPattern = PcListPattern(Machine.Extension);

        // A store answers the PC's fetch of that program when one was open
        // as its header arrived; otherwise it is the machine's own.
        auto store = [&](QByteArray (*strip)(const QByteArray&)) {
            link.FileName = name;
            Exchange* x = Answered("L", name, nullptr);
            if (parsingProgram_ ? (parsingAnswers_ && (!x || x->id != parsingAnswers_)) : !x && LateCopy(name)) {
                Unexpected(message);
                return;
            }
            if (x) x->arrived = true;
            if (!parsingProgram_) {
                parsingAnswers_ = x ? x->id : 0;
                parsingOrigin_ = !x ? QStringLiteral("Sparad av ") + MachineName
                                 : x->library ? QStringLiteral("Hämtad från ") + MachineName : QString();
            }
            const quint64 answers = parsingAnswers_;
            StoreFromMachine([&] { return strip(message); }, name,
                             [this, &link, answers, name](const StoreResult& r, const QString& fileError) {
                                 const bool answer = answers != 0, stored = r.stored();
                                 AddLog(QStringLiteral("Tar emot fil: ") + name);
                                 if (!answer) Q_EMIT transferEnded(true, name, stored ? StoredSize(name) : 0, stored);
                                 if (!answer) MachineJob(true, name, StorePath(name), r.bytes, r.sha256, stored, MachineBy(nullptr));
                                 RxCount = 0;
                                 link.Phase = 0;
                                 // A fetch aborted meanwhile has told its own end.
                                 if (answer && !(exchange_ && exchange_->id == answers && exchange_->open())) return;
                                 if (!stored) {
                                     const QString text = QStringLiteral("Mottagningen misslyckades ('%1').").arg(name);
                                     if (answer) EndExchange(Exchange::State::Failed);
                                     AbortExchange();
                                     Status(text);
                                     ShowFileError(fileError);
                                     return;
                                 }
                                 if (answer) EndExchange(Exchange::State::Done);
                                 panel_.UpdateLocalFolders();
                                 HidePilar();
                                 TransferDone = true;
                             });
        };
        auto machineList = [&] {
            if (!Answered("D", QString(), nullptr)) {
                Unexpected(message);
                return;
            }
            ShowRemoteList(ReadReceivedList(message, 1));
            ListAnswer = true;
            EndExchange(Exchange::State::Done);
            Status(QStringLiteral("Fillista klar."));
        };
        auto serve = [&](bool colon) {
            link.FileName = name;
            auto program = ReadForMachine(name);
            if (!program) return;
            link.OutBuffer = colon ? BuildColonFrame(":", wireName, "S") : BuildShortFrame("S", wireName) + '\n';
            Outgoing reply(link.OutBuffer, colon ? Outgoing::Close::LfPercent : Outgoing::Close::Percent);
            reply.setProgram(std::move(program));
            Q_EMIT requestArrived(QStringLiteral("L"), name);
            SendDatap1(reply, link, false, MachineLoad(reply, name, MachineBy(nullptr)));
            link.OutBuffer.clear();
        };

        // A short-form message is handled once: its name's seventh character
        // sits where the colon form keeps its letter.
        bool handled = shortForm;
        if (letter == "L") {
            serve(false);
        } else if (letter == "S") {
            store(StripShortHeader);
        } else if (letter == "E") {
            AddLog(QStringLiteral("Raderar fil: ") + name);
            MoveToTrash(name, [this, &link, wireName](bool moved) {
                if (!moved) return;
                link.OutBuffer = BuildShortFrame("R", wireName);
                SendDatap1(link.OutBuffer, link, false, false);
                link.OutBuffer.clear();
            });
        } else if (letter == "R") {
            // The machine acknowledges an erase the way the PC acknowledges one.
            if (!Answered("E", name, nullptr)) {
                Unexpected(message);
                return;
            }
            EndExchange(Exchange::State::Done);
            Status(QStringLiteral("Radering utförd ('") + name + QStringLiteral("')."));
            RemoveRemote(name);
            HidePilar();
        } else if (letter == "D" && (message.size() >= 16 || Answered("D", QString(), nullptr))) {
            // The open list request decides: an empty memory's list is short.
            machineList();
        } else if (letter == "D") {
            AddLog(QStringLiteral("Skickar fillista."));
            link.OutBuffer = BuildShortFrame("D", "") + '\n' + PcList(false, listPattern);
            SendDatap1(link.OutBuffer, link, true, false);
            link.OutBuffer.clear();
        } else {
            handled = false;
        }
        if (!handled) {
            if (letter2 == "L" && name == QLatin1String("D")) {
                AddLog(QStringLiteral("Skickar fillista."));
                link.OutBuffer = BuildColonFrame(":", "D", "S") + PcList(true, listPattern);
                SendDatap1(link.OutBuffer, link, false, false);
                link.OutBuffer.clear();
            } else if (letter2 == "L") {
                serve(true);
            } else if (letter2 == "S" && name == QLatin1String("D")) {
                machineList();
            } else if (letter2 == "S") {
                store(StripColonHeader);
            }
        }
    });
}

// "Auto dok" answers on the selected machine's link, in its protocol.
QCoro::Task<void> Station::cmdChangeFolder_Click() {
    // Never written between two pieces of a program going out on the line.
    if (sender_.sending()) {
        Status(QStringLiteral("Linjen är upptagen: ett program går till maskinen. Försök igen när det är klart."));
        co_return;
    }
    if (Machine.Typ == 2) {
        ParseP1(Pick(Machine.Conversion, BuildColonFrame(":", "D", "L"), BuildShortFrame("D", "")) + '%', SerialLink);
        co_return;
    }
    if (Machine.Typ != 0) {
        Parse(QByteArrayLiteral("%CDRQALL            03%"), SerialLink);
        co_return;
    }
    // On the network the list goes on the machine's own connection, or on
    // a connection to the machine when it has none open.
    QTcpSocket* socket = MasterSock;
    if (!socket || socket->state() != QAbstractSocket::ConnectedState) {
        Aborted = false;
        if (!co_await ConnectToSock(comsock)) co_return;
        socket = comsock;
    }
    const QScopedValueRollback<QTcpSocket*> from(parsingFrom_, socket);
    Parse(QByteArrayLiteral("%CDRQALL            03%"), NetLink);
}

// A reply that goes out after a wait, on the connection its request came
// on; nothing waits for it meanwhile. It is dropped when that connection has
// closed or an abort came between.
void Station::ReplyLater(QByteArray reply, LinkState& link, int ms) {
    QPointer<QTcpSocket> socket = parsingFrom_;
    Accepted* a = AcceptedOf(parsingFrom_);
    if (a) ++a->pending;
    const bool network = link.Kind == 0;
    const quint64 generation = aborts_;
    QTimer::singleShot(ms, this, [this, reply, socket, network, generation, &link]() mutable {
        if (!network && sender_.sending()) {
            // Never between two pieces of the message the line is writing.
            ReplyLater(std::move(reply), link, 20);
            return;
        }
        if (Accepted* a = AcceptedOf(socket)) --a->pending;
        if (generation != aborts_ || (network && (!socket || socket->state() != QAbstractSocket::ConnectedState))) {
            AddLog(QStringLiteral("Svaret kunde inte skickas: förbindelsen är stängd eller överföringen avbruten."));
            return;
        }
        link.OutBuffer = std::move(reply);
        SendData(link.OutBuffer, link, socket, false);
        link.OutBuffer.clear();
    });
}
