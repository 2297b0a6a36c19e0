// Incoming messages: responses to the PC's requests, and the machine's own
// requests, where the PC serves as the machine's file server.
#include "common/ansi.h"
#include "common/code2error.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/paths.h"
#include "library/history.h"
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
#include <QScopedValueRollback>
#include <QTcpSocket>

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

QString Station::FolderForIncoming() const { return TargetFolder.isEmpty() ? panel_.treeFolder() : TargetFolder; }

void Station::ShowMachineError(const QString& statusText, const QByteArray& code) {
    Status(statusText + FromAnsi(code));
    const QString text = Code2Error(FromAnsi(code));
    panel_.message(QStringLiteral("Överföringsfel: \r\n") + text, QStringLiteral("Fel"), MsgIcon::Critical,
                   OperatorPanel::Buttons::Ok);
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
    const QString inTree = ProgramPath(panel_.treeFolder(), name, Machine.Extension);
    try {
        auto program = std::make_unique<ProgramTextReader>();
        if (program->open(FileExists(inTree) && !FolderExists(inTree) ? inTree : checked)) return program;
    } catch (const AppError& e) {
        const QString why = FileResult{false, e.number(), e.description()}.message();
        AddLog(why);
        Status(why);
    }
    return {};
}

bool Station::MoveToTrash(const QString& name) {
    const QString problem = MachineNameProblem(name);
    if (!problem.isEmpty()) {
        AddLog(QStringLiteral("Ogiltigt programnamn från maskinen ('%1'): %2.").arg(name, problem));
        return false;
    }
    const QString source = ProgramPath(Machine.RecPath, name, Machine.Extension);
    if (!FileExists(source) || FolderExists(source)) return false;
    const QString trashName = Machine.Extension.isEmpty()
                                  ? name + QLatin1Char('.') + NowStamp()
                                  : name + QLatin1Char('.') + NowStamp() + QLatin1Char('.') + Machine.Extension;
    const QString target = JoinPath(ResolveCase(Machine.Deleted), trashName);
    if (QFileInfo::exists(target)) return false;  // never overwrite what is already in the trash
    if (const FileResult kept = KeepVersion(ResolveCase(source), QStringLiteral("Raderad av ") + MachineName);
        !kept.ok) {
        AddLog(kept.message());
        return false;
    }
    return QFile::rename(source, target);
}

void Station::ShowFileError(const QString& text) {
    if (!text.isEmpty()) panel_.message(text, AppTitle(), MsgIcon::None, OperatorPanel::Buttons::Ok);
}

QByteArray Station::PcList(bool narrow, const QString& pattern) const {
    return BuildProgramList(Machine.SendPath, pattern, narrow ? ListWidth::Narrow : ListWidth::Wide);
}

void Station::Parse(QByteArray message, LinkState& link) {
    // The message is the connection's buffer: one owner, so a large body can
    // be taken out in place.
    InBufferOf(link).clear();
    Traced(QStringLiteral("Parse()"), [&] {
        Aborted = false;
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
            SendData(link.OutBuffer, link, ReplySocket(), false);
            link.OutBuffer.clear();
        } else if (type == "R") {
            ParseResponse(message, link, command, selector, name, status);
        } else if (type == "C") {
            ParseRequest(message, link, command, selector, name);
        }
        InBufferOf(link).clear();
    });
    InBufferOf(link).clear();
}

void Station::ParseResponse(QByteArray& message, LinkState& link, const QByteArray& command,
                            const QByteArray& selector, const QString& name, const QByteArray& status) {
    const bool ok = status == "00";
    const bool network = link.Kind == 0;
    if (command == "LOD") {
        if (!ok && !FetchInto.path.isEmpty()) {
            // A comparison goes on with the next program.
            link.Phase = 0;
            TimeoutTimer.stop();
            FetchInto.status = status;
            TransferDone = true;
            return;
        }
        if (!ok) {
            link.Phase = 0;
            // The abort routine empties the status line: the error is shown after it.
            cmdAbort_Click();
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            return;
        }
        TimeoutTimer.stop();
        link.Phase = 2;
        link.FileName = name;
        AddLog(QStringLiteral("Tar emot fil: ") + name);
        Status(QStringLiteral("Tar emot..."));
        QString fileError;
        const bool stored = StoreFromMachine([&] { return StripFrame(std::move(message)); }, name, &fileError,
                                             QStringLiteral("Hämtad från ") + MachineName);
        TargetFolder.clear();
        InBufferOf(link).clear();
        if (!stored) {
            link.Phase = 0;
            const QString statusText = QStringLiteral("Mottagningen misslyckades ('%1').").arg(name);
            cmdAbort_Click();
            Status(statusText);
            ShowFileError(fileError);
            return;
        }
        Status(QStringLiteral("Mottagning klar ('") + name + QStringLiteral("')"));
        link.Phase = 0;
        panel_.UpdateLocalFolders();
        HidePilar();
        TransferDone = true;
    } else if (command == "SAV") {
        if (!ok) {
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            link.Phase = 0;
            HidePilar();
            // The machine has answered: the send ends here, not in a time-out
            // that would claim it never did.
            SvarTimer.stop();
            Aborted = true;
            return;
        }
        link.FileName = name;
        Status(QStringLiteral("Sändning klar ('") + name + QStringLiteral("')"));
        if (network) comsock->close();
        HidePilar();
        TransferDone = true;
    } else if (command == "DRQ" && (selector == "ALL" || selector == "SEL")) {
        if (!ok) {
            ListAnswer = false;
            ShowMachineError(QStringLiteral("Mottagningsfel: "), status);
            link.Phase = 0;
            HidePilar();
            return;
        }
        panel_.fillRemoteList(ReadReceivedList(message, 2));
        ListAnswer = true;
        InBufferOf(link).clear();
        if (network) comsock->close();
        Status(QStringLiteral("Fillista klar."));
    } else if (command == "DEL") {
        InBufferOf(link).clear();
        TimeoutTimer.stop();
        if (ok) {
            Status(QStringLiteral("Radering utförd ('") + name + QStringLiteral("')."));
            panel_.removeRemoteItem(name);
        } else {
            Status(QStringLiteral("Fel vid radering: ") + FromAnsi(status));
            const QString text = Code2Error(FromAnsi(status));
            panel_.message(QStringLiteral("Överföringsfel: \r\n") + text, QStringLiteral("Fel"), MsgIcon::Critical,
                           OperatorPanel::Buttons::Ok);
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
        Outgoing reply(link.OutBuffer, Outgoing::Close::Checksum, Machine.EOB);
        reply.setProgram(std::move(program));
        SendData(reply, link, ReplySocket(), false);
        link.OutBuffer.clear();
        HidePilar();
        link.Phase = 0;
        InBufferOf(link).clear();
    } else if (command == "SAV") {
        link.Phase = 1;
        link.FileName = name;
        AddLog(QStringLiteral("Tar emot fil: ") + name);
        // Stored first, answered after: "00" only once the program is on disk.
        RxCount = 0;
        QString fileError;
        const bool stored = StoreFromMachine([&] { return StripFrame(std::move(message)); }, name, &fileError,
                                             QStringLiteral("Sparad av ") + MachineName);
        link.OutBuffer = BuildFrame("R", "SAV", "", wireName, stored ? QByteArrayLiteral("00") : kStoreFailed);
        SendData(link.OutBuffer, link, ReplySocket(), false);
        link.OutBuffer.clear();
        TargetFolder.clear();
        link.Phase = 0;
        if (stored) panel_.UpdateLocalFolders();
        HidePilar();
        // The machine has its answer before a box waits for the operator.
        ShowFileError(fileError);
    } else if (command == "DRQ" && selector == "ALL") {
        AddLog(QStringLiteral("Skickar fillista."));
        const QByteArray list = PcList(false, PcListPattern(Machine.Extension));
        WaitMs(500);
        link.OutBuffer = BuildFrame("R", "DRQ", "ALL", "", "00");
        if (!list.isEmpty()) link.OutBuffer += lineEnd + list;
        SendData(link.OutBuffer, link, ReplySocket(), false);
        link.OutBuffer.clear();
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
        SendData(link.OutBuffer, link, ReplySocket(), false);
        link.OutBuffer.clear();
    } else if (command == "DEL") {
        AddLog(QStringLiteral("Raderar fil: ") + name);
        const bool moved = MoveToTrash(name);
        link.OutBuffer = BuildFrame("R", "DEL", "", wireName, moved ? "00" : "07");
        SendData(link.OutBuffer, link, ReplySocket(), false);
        link.OutBuffer.clear();
    }
}

void Station::ParseP1(QByteArray message, LinkState& link) {
    Traced(QStringLiteral("ParseP1()"), [&] {
        Aborted = false;
        const QByteArray letter = message.mid(1, 1);
        const bool shortForm = letter.size() == 1 && QByteArrayView("LSERD").contains(letter.at(0));
        const QString name = P1Name(message);
        const QByteArray letter2 = message.mid(9, 1);
        const QByteArray wireName = ToAnsi(name);
        const QString listPattern = PcListPattern(Machine.Extension);

        auto store = [&](QByteArray (*strip)(const QByteArray&)) {
            link.FileName = name;
            QString fileError;
            const bool stored =
                StoreFromMachine([&] { return strip(message); }, name, &fileError, QStringLiteral("Sparad av ") + MachineName);
            AddLog(QStringLiteral("Tar emot fil: ") + name);
            RxCount = 0;
            TargetFolder.clear();
            link.InBuffer.clear();
            link.Phase = 0;
            if (!stored) {
                const QString text = QStringLiteral("Mottagningen misslyckades ('%1').").arg(name);
                cmdAbort_Click();
                Status(text);
                ShowFileError(fileError);
                return;
            }
            panel_.UpdateLocalFolders();
            HidePilar();
            TransferDone = true;
        };
        auto serve = [&](bool colon) {
            link.FileName = name;
            auto program = ReadForMachine(name);
            if (!program) return;
            link.OutBuffer = colon ? BuildColonFrame(":", wireName, "S") : BuildShortFrame("S", wireName) + '\n';
            Outgoing reply(link.OutBuffer, colon ? Outgoing::Close::LfPercent : Outgoing::Close::Percent);
            reply.setProgram(std::move(program));
            SendDatap1(reply, link, false);
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
            if (MoveToTrash(name)) {
                link.OutBuffer = BuildShortFrame("R", wireName);
                SendDatap1(link.OutBuffer, link, false, false);
                link.OutBuffer.clear();
            }
        } else if (letter == "R") {
            // The machine acknowledges an erase the way the PC acknowledges one.
            SvarTimer.stop();
            link.InBuffer.clear();
            Status(QStringLiteral("Radering utförd ('") + name + QStringLiteral("')."));
            panel_.removeRemoteItem(name);
            HidePilar();
        } else if (letter == "D" && message.size() >= 16) {
            panel_.fillRemoteList(ReadReceivedList(message, 1));
            ListAnswer = true;
            link.InBuffer.clear();
            Status(QStringLiteral("Fillista klar."));
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
                link.InBuffer.clear();
            } else if (letter2 == "S" && name == QLatin1String("D")) {
                panel_.fillRemoteList(ReadReceivedList(message, 1));
                ListAnswer = true;
                link.InBuffer.clear();
                Status(QStringLiteral("Fillista klar."));
            } else if (letter2 == "S") {
                store(StripColonHeader);
            }
        }
        link.InBuffer.clear();
    });
    link.InBuffer.clear();
}

// "Auto dok" answers on the selected machine's link, in its protocol.
void Station::cmdChangeFolder_Click() {
    if (Machine.Typ == 2) {
        ParseP1((Machine.Conversion ? BuildColonFrame(":", "D", "L") : BuildShortFrame("D", "")) + '%', SerialLink);
        return;
    }
    if (Machine.Typ != 0) {
        Parse(QByteArrayLiteral("%CDRQALL            03%"), SerialLink);
        return;
    }
    // On the network the list goes on the machine's own connection, or on
    // a connection to the machine when it has none open.
    QTcpSocket* socket = MasterSock;
    if (socket->state() != QAbstractSocket::ConnectedState) {
        Aborted = false;
        if (!ConnectToSock(comsock)) return;
        socket = comsock;
    }
    const QScopedValueRollback<QTcpSocket*> from(parsingFrom_, socket);
    Parse(QByteArrayLiteral("%CDRQALL            03%"), NetLink);
}
