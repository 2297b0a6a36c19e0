// "Hämta", "Hämta med namn..." and the document entries: requests for
// programs that the parser stores when they arrive.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "library/programfile.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/programname.h"
#include "link/station.h"
#include <QCoreApplication>
#include <QTcpSocket>

// Sends the request for one program on the machine's link.
void Station::SendRequest(const QByteArray& request, qint16 typ) {
    QByteArray message = request;
    if (typ == 0) {
        NetLink.InBuffer.clear();
        SendData(message, NetLink, comsock, false);
    } else {
        SerialLink.InBuffer.clear();
        SendData(message, SerialLink, nullptr, false);
    }
}

void Station::cmdRec_Click() {
    Traced(QStringLiteral("cmdRec_Click()"), [&] {
        Aborted = false;
        Status(QStringLiteral("Ansluter..."));
        TargetFolder.clear();
        const QStringList selected = panel_.remoteSelection();
        for (const QString& n : selected) {
            TransferDone = true;
            if (Aborted) break;
            TransferDone = false;
            AddLog(QStringLiteral("Begär mottagning av fil: ") + n);
            ShowPilar(QStringLiteral("Hämtar: \"") + n + QStringLiteral("\"..."), RecArrows());
            if (RefuseName(n)) {
                HidePilar();
                TransferDone = true;
                continue;
            }
            const QByteArray name = ToAnsi(n);
            MachineLink().FileName = n;
            bool requested = true;
            if (FileExists(ProgramPath(panel_.treeFolder(), n, Machine.Extension))) {
                const auto answer = panel_.message(QStringLiteral("Filen finns redan. Skriva över?"), AppTitle(),
                                                   MsgIcon::Question, OperatorPanel::Buttons::YesNoCancel);
                if (answer == OperatorPanel::Answer::Cancel) {
                    Aborted = true;
                    HidePilar();
                    break;
                }
                if (answer == OperatorPanel::Answer::No) {
                    HidePilar();
                    TransferDone = true;
                    requested = false;
                }
            }
            if (requested) {
                if (Machine.Typ == 0) {
                    comsock->abort();
                    if (ConnectToSock(comsock)) {
                        Status(QStringLiteral("Ansluten, Skickar begäran..."));
                        SendRequest(BuildFrame("C", "LOD", "", name, "00"), 0);
                    }
                } else if (Machine.Typ == 1) {
                    Status(QStringLiteral("Ansluten, Skickar begäran..."));
                    SendRequest(BuildFrame("C", "LOD", "", name, "00"), 1);
                } else if (Machine.Typ == 2) {
                    Status(QStringLiteral("Ansluten, Skickar begäran..."));
                    SerialLink.InBuffer.clear();
                    if (Machine.Conversion) {
                        Status(QStringLiteral("Skickar data..."));
                    } else {
                        Status(QStringLiteral("Skickar begäran..."));
                        Status(QStringLiteral("Väntar på maskinsvar..."));
                    }
                    SerialLink.InBuffer.clear();
                    SendProtocolOne(ProtocolOneRequest("L", name));
                }
            }
            // A silent machine must not hold the run for ever: the machine's
            // receive time-out bounds the wait.
            if (!TransferDone && !Aborted) Arm(TimeoutTimer);
            WaitFor([this] { return TransferDone; });
            TimeoutTimer.stop();
        }
    });
}

void Station::mnuRecManual_Click() {
    Traced(QStringLiteral("mnuRecManual_Click()"), [&] {
        Aborted = false;
        const QString n = panel_.input(QStringLiteral("Ange fil att hämta:"), QStringLiteral("Manuell hämtning"),
                                       QString())
                              .value_or(QString());
        if (!n.isEmpty() && RefuseName(n)) return;
        if (!n.isEmpty()) {
            const QByteArray name = ToAnsi(n);
            MachineLink().FileName = n;
            Status(QStringLiteral("Ansluter..."));
            if (Machine.Typ == 1) {
                if (Comm && Comm->isOpen()) {
                    Status(QStringLiteral("Ansluten, Skickar begäran..."));
                    SendRequest(BuildFrame("C", "LOD", "", name, "00"), 1);
                }
            } else if (Machine.Typ == 2) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                SerialLink.InBuffer.clear();
                Status(QStringLiteral("Skickar data..."));
                SerialLink.InBuffer.clear();
                SendProtocolOne(ProtocolOneRequest("L", name));
            } else if (Machine.Typ == 0) {
                if (ConnectToSock(comsock)) {
                    Status(QStringLiteral("Ansluten, Skickar begäran..."));
                    SendRequest(BuildFrame("C", "LOD", "", name, "00"), 0);
                }
            }
        }
        if (Aborted) {
            Status(QStringLiteral("Avbruten."));
        } else {
            Status(QStringLiteral("Väntar på svar..."));
            if (Machine.Typ != 0) Arm(RecTimer);
        }
    });
}

void Station::mnuDocs_Click(const QString& document) {
    Traced(QStringLiteral("mnuDocs_Click()"), [&] {
        Aborted = false;
        panel_.selectTreeFolder(Machine.DocPath);
        QCoreApplication::processEvents();
        panel_.UpdateLocalFolders();
        Status(QStringLiteral("Ansluter..."));
        TargetFolder = Machine.DocPath;
        const QByteArray request = BuildFrame("C", "LOD", "", ToAnsi(document), "00");
        MachineLink().FileName = document;
        bool requested = false;
        if (Machine.Typ == 0) {
            if (ConnectToSock(comsock)) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                SendRequest(request, 0);
                requested = true;
            }
        } else if (Machine.Typ == 1) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                SendRequest(request, 1);
                requested = true;
            }
        }
        // The document folder is the target only while the document is on its
        // way; the machine's receive time-out bounds that.
        if (requested && !Aborted) Arm(TimeoutTimer);
        else TargetFolder.clear();
    });
}
