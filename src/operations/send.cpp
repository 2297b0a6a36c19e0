// "Sänd": the selected local programs go to the machine one after the other,
// each after the machine answered the previous one.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/outgoing.h"
#include "link/station.h"
#include <QFileInfo>
#include <QScopeGuard>

bool Station::RemoteFileExists(const QString& fileName) const {
    const QString suffix = QLatin1Char('.') + Machine.Extension;
    // The machine's names and the file's may differ in case, as Windows would not.
    for (const QString& item : panel_.remoteNames())
        if (QString(item + suffix).compare(fileName, Qt::CaseInsensitive) == 0) return true;
    return false;
}

void Station::cmdSend_Click() {
    Traced(QStringLiteral("cmdSend_Click()"), [&] {
        if (RefuseWhileBusy()) return;
        if (Machine.Typ == 3) {
            IsoSend_Click();
            return;
        }
        Aborted = false;
        Status(QStringLiteral("Ansluter..."));
        const QStringList selected = panel_.localSelection();
        // Every program is read from the folder the run started in.
        const QString folder = panel_.treeFolder();
        // Every name is checked before the first program goes out.
        for (const QString& name : selected)
            if (RefuseName(NameWithoutExt(name), name)) return;
        // Several programs show how far the run has come.
        const int total = selected.size() > 1 ? int(selected.size()) : 0;
        const auto progressEnds = qScopeGuard([&] {
            if (total) panel_.setProgress(0, 0);
        });
        int done = 0;
        for (const QString& name : selected) {
            if (total) panel_.setProgress(done++, total);
            TransferDone = true;
            if (Aborted) break;
            TransferDone = false;
            AddLog(QStringLiteral("Begär sändning av fil: ") + name);
            ShowPilar(QStringLiteral("Sänder: \"") + name + QStringLiteral("\"..."), SendArrows());
            bool skip = false;
            if (RemoteFileExists(name)) {
                const auto answer = panel_.message(QStringLiteral("Filen finns redan i maskinen. Skriva över?"),
                                                   AppTitle(), MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel);
                if (answer == OperatorPanel::Answer::Cancel) {
                    Aborted = true;
                    HidePilar();
                    return;
                }
                if (answer == OperatorPanel::Answer::No) {
                    HidePilar();
                    TransferDone = true;
                    skip = true;
                }
            }
            const QString path = JoinPath(folder, name);
            if (!skip && !FileExists(path)) {
                // An empty program would overwrite the machine's copy: skip instead.
                AddLog(QStringLiteral("Filen finns inte: ") + path);
                Status(QStringLiteral("Filen finns inte: ") + name);
                TransferDone = true;
                skip = true;
            }
            if (!skip) {
                const QByteArray program = ToAnsi(NameWithoutExt(name));
                // The final status texts name the program of this send.
                MachineLink().FileName = NameWithoutExt(name);
                const QByteArray head = BuildFrame("C", "SAV", "", program, "00");
                const QString framed = FromAnsi(TrimBlanks(head.mid(9, 6)));
                if (Machine.Typ == 1) {
                    Status(QStringLiteral("Ansluten."));
                    Status(QStringLiteral("Läser fil..."));
                    SerialLink.OutBuffer = head + '\n';
                    Outgoing message(SerialLink.OutBuffer, Outgoing::Close::Checksum, Machine.EOB);
                    message.setProgram(OpenProgram(path));
                    Open("SAV", framed, nullptr).target = path;
                    Status(QStringLiteral("Skickar data..."));
                    SendData(message, SerialLink, nullptr, false);
                    SerialLink.OutBuffer.clear();
                    AwaitLine();
                    if (Aborted) {
                        EndExchange(Exchange::State::Ended);
                        break;
                    }
                    Status(QStringLiteral("Skickat klart."));
                } else if (Machine.Typ == 2) {
                    Status(QStringLiteral("Ansluten."));
                    Status(QStringLiteral("Läser fil..."));
                    SerialLink.OutBuffer = Machine.Conversion ? BuildColonFrame(":", program, "S")
                                                              : BuildShortFrame("S", program) + '\n';
                    Outgoing message(SerialLink.OutBuffer, Outgoing::Close::LfPercent);
                    message.setProgram(OpenProgram(path));
                    Status(QStringLiteral("Skickar data..."));
                    SendProtocolOne(message);
                    // Protocol 1's store has no answer: the line's end is the transfer's.
                    Q_EMIT transferEnded(false, NameWithoutExt(name), QFileInfo(path).size(), !Aborted);
                    if (Aborted) break;
                    Status(QStringLiteral("Skickat klart."));
                    // Protocol 1 has no answer to a store: waiting for one would
                    // only end in a time-out after every program.
                    TransferDone = true;
                } else if (Machine.Typ == 0) {
                    if (ConnectToSock(comsock)) {
                        Status(QStringLiteral("Ansluten."));
                        Status(QStringLiteral("Skickar data..."));
                        Outgoing message(head + "\r\n", Outgoing::Close::Checksum, Machine.EOB);
                        message.setProgram(OpenProgram(path));
                        Open("SAV", framed, comsock).target = path;
                        SendData(message, NetLink, comsock, false);
                        if (Aborted) {
                            EndExchange(Exchange::State::Ended);
                            break;
                        }
                        Status(QStringLiteral("Skickat klart."));
                    }
                }
            }
            if (Aborted) break;
            if (!TransferDone) Status(QStringLiteral("Väntar på svar..."));
            // The answer ends the exchange and its time-out together.
            if (OpenExchange()) {
                Arm(SvarTimer);
                AwaitExchange();
            }
            SvarTimer.stop();
            // Protocol 1 has no "00" to tell that the machine stored it.
            if (General.VerifyAfterSend && !skip && TransferDone && !Aborted && Machine.Typ != 2 &&
                !VerifySent(NameWithoutExt(name), path))
                break;
        }
        HidePilar();
    });
}
