// Incoming messages: responses to the PC's requests; the machine's own
// requests go to the responder.
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
#include "station/station.h"
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopedValueRollback>
#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Log lines quote at most this much of an unknown message.
constexpr qsizetype kLogQuote = 200;

QString Quote(const QByteArray& message) {
    if (message.size() <= kLogQuote) return FromAnsi(message);
    return FromAnsi(message.left(kLogQuote)) + QStringLiteral("... (%1 tecken)").arg(message.size());
}
}  // namespace

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

void Station::ShowFileError(const QString& text) {
    if (!text.isEmpty()) Tell(text, AppTitle(), MsgIcon::None);
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
        if (rx_.parsingProgram_) {
            // Its text went to a file as it arrived; the message holds its header.
            received = rx_.parsingProgram_->receivedChecksum();
            computed = rx_.parsingProgram_->computedChecksum();
        } else {
            if (!message.endsWith('%')) AddLog(QStringLiteral("Okänt kommando: ") + Quote(message));
            ChecksumMatches(message, &received, &computed);
        }
        AddLog(QStringLiteral("Recieved Chksum: ") + FromAnsi(received) + QStringLiteral(" - Calc chksum: ") +
               FromAnsi(computed));
        if (received != computed) {
            link.OutBuffer = BuildFrame("R", command, selector, ToAnsi(name), "04");
            SendData(link.OutBuffer, link, rx_.parsingFrom_, false);
            link.OutBuffer.clear();
        } else if (type == "R") {
            ParseResponse(message, link, command, selector, name, status);
        } else if (type == "C") {
            responder_.request(message, link, command, selector, name);
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
    Exchange* x = exchanges_.answered(command, list ? QString() : name, rx_.parsingFrom_);
    if (!x || (rx_.parsingProgram_ && rx_.parsingAnswers_ != x->id)) {
        exchanges_.unexpected(message);
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
            exchanges_.end(Exchange::State::Failed);
            TransferDone = true;
            return;
        }
        if (!ok) {
            ended(true, false);
            link.Phase = 0;
            exchanges_.end(Exchange::State::Failed);
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
        if (!rx_.parsingProgram_) {
            rx_.parsingAnswers_ = x->id;
            rx_.parsingOrigin_ = x->library ? QStringLiteral("Hämtad från ") + MachineName : QString();
        }
        const quint64 id = x->id;
        rx_.store([&] { return StripFrame(std::move(message)); }, name,
                         [this, &link, ended, id, name](const StoreResult& r, const QString& fileError) {
                             ended(true, r.stored());
                             // Aborted meanwhile: the abort has told its own end.
                             if (!exchanges_.stillOpen(id)) return;
                             if (!r.stored()) {
                                 link.Phase = 0;
                                 const QString statusText = QStringLiteral("Mottagningen misslyckades ('%1').").arg(name);
                                 exchanges_.end(Exchange::State::Failed);
                                 AbortExchange();
                                 Status(statusText);
                                 ShowFileError(fileError);
                                 return;
                             }
                             Status(QStringLiteral("Mottagning klar ('") + name + QStringLiteral("')"));
                             link.Phase = 0;
                             exchanges_.end(Exchange::State::Done);
                             panel_.UpdateLocalFolders();
                             HidePilar();
                             TransferDone = true;
                         });
    } else if (command == "SAV") {
        ended(false, ok);
        if (!ok) {
            // The machine has answered: the send ends here, not in a time-out
            // that would claim it never did.
            exchanges_.end(Exchange::State::Failed);
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            link.Phase = 0;
            HidePilar();
            Aborted = true;
            return;
        }
        exchanges_.end(Exchange::State::Done);
        link.FileName = name;
        Status(QStringLiteral("Sändning klar ('") + name + QStringLiteral("')"));
        if (network) comsock->close();
        HidePilar();
        TransferDone = true;
    } else if (list) {
        if (!ok) {
            ListAnswer = false;
            exchanges_.end(Exchange::State::Failed);
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            link.Phase = 0;
            HidePilar();
            return;
        }
        ShowRemoteList(ReadReceivedList(message, 2));
        ListAnswer = true;
        exchanges_.end(Exchange::State::Done);
        if (network) comsock->close();
        Status(QStringLiteral("Fillista klar."));
    } else if (command == "DEL") {
        exchanges_.end(ok ? Exchange::State::Done : Exchange::State::Failed);
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

void Station::ParseP1(QByteArray message, LinkState& link) {
    Traced(QStringLiteral("ParseP1()"), [&] {
        const QByteArray letter = message.mid(1, 1);
        const bool shortForm = letter.size() == 1 && QByteArrayView("LSERD").contains(letter.at(0));
        const QString name = P1Name(message);
        const QByteArray letter2 = message.mid(9, 1);

        // A store answers the PC's fetch of that program when one was open
        // as its header arrived; otherwise it is the machine's own.
        auto store = [&](QByteArray (*strip)(const QByteArray&)) {
            link.FileName = name;
            Exchange* x = exchanges_.answered("L", name, nullptr);
            if (rx_.parsingProgram_ ? (rx_.parsingAnswers_ && (!x || x->id != rx_.parsingAnswers_)) : !x && exchanges_.lateCopy(name)) {
                exchanges_.unexpected(message);
                return;
            }
            if (x) x->arrived = true;
            if (!rx_.parsingProgram_) {
                rx_.parsingAnswers_ = x ? x->id : 0;
                rx_.parsingOrigin_ = !x ? QStringLiteral("Sparad av ") + MachineName
                                 : x->library ? QStringLiteral("Hämtad från ") + MachineName : QString();
            }
            const quint64 answers = rx_.parsingAnswers_;
            rx_.store([&] { return strip(message); }, name,
                             [this, &link, answers, name](const StoreResult& r, const QString& fileError) {
                                 const bool answer = answers != 0, stored = r.stored();
                                 AddLog(QStringLiteral("Tar emot fil: ") + name);
                                 if (!answer) Q_EMIT transferEnded(true, name, stored ? responder_.storedSize(name) : 0, stored);
                                 if (!answer) MachineJob(true, name, responder_.storePath(name), r.bytes, r.sha256, stored, MachineBy(nullptr));
                                 RxCount = 0;
                                 link.Phase = 0;
                                 // A fetch aborted meanwhile has told its own end.
                                 if (answer && !exchanges_.stillOpen(answers)) return;
                                 if (!stored) {
                                     const QString text = QStringLiteral("Mottagningen misslyckades ('%1').").arg(name);
                                     if (answer) exchanges_.end(Exchange::State::Failed);
                                     AbortExchange();
                                     Status(text);
                                     ShowFileError(fileError);
                                     return;
                                 }
                                 if (answer) exchanges_.end(Exchange::State::Done);
                                 (answer ? panel_ : own_).UpdateLocalFolders();
                                 HidePilar();
                                 TransferDone = true;
                             });
        };
        auto machineList = [&] {
            if (!exchanges_.answered("D", QString(), nullptr)) {
                exchanges_.unexpected(message);
                return;
            }
            ShowRemoteList(ReadReceivedList(message, 1));
            ListAnswer = true;
            exchanges_.end(Exchange::State::Done);
            Status(QStringLiteral("Fillista klar."));
        };
        // A short-form message is handled once: its name's seventh character
        // sits where the colon form keeps its letter.
        bool handled = shortForm;
        if (letter == "L") {
            responder_.serve(name, false, link);
        } else if (letter == "S") {
            store(StripShortHeader);
        } else if (letter == "E") {
            responder_.erase(name, link);
        } else if (letter == "R") {
            // The machine acknowledges an erase the way the PC acknowledges one.
            if (!exchanges_.answered("E", name, nullptr)) {
                exchanges_.unexpected(message);
                return;
            }
            exchanges_.end(Exchange::State::Done);
            Status(QStringLiteral("Radering utförd ('") + name + QStringLiteral("')."));
            RemoveRemote(name);
            HidePilar();
        } else if (letter == "D" && (message.size() >= 16 || exchanges_.answered("D", QString(), nullptr))) {
            // The open list request decides: an empty memory's list is short.
            machineList();
        } else if (letter == "D") {
            responder_.list(false, link);
        } else {
            handled = false;
        }
        if (!handled) {
            if (letter2 == "L" && name == QLatin1String("D")) {
                responder_.list(true, link);
            } else if (letter2 == "L") {
                responder_.serve(name, true, link);
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
    const QScopedValueRollback<QTcpSocket*> from(rx_.parsingFrom_, socket);
    Parse(QByteArrayLiteral("%CDRQALL            03%"), NetLink);
}

