// "Uppdatera bibliotek" and "Radera": the machine's list and deletions.
// Both send their request and return; the parser completes the exchange.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/station.h"

void Station::cmdDir_Click() {
    Traced(QStringLiteral("CmdDir_Click()"), [&] {
        panel_.UpdateLocalFolders();
        AddLog(QStringLiteral("Begär fillista."));
        Aborted = false;
        Status(QStringLiteral("Ansluter..."));
        const QByteArray request = BuildFrame("C", "DRQ", "ALL", "", "00");
        if (Machine.Typ == 1) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                QByteArray message = request;
                SendData(message, SerialLink, nullptr, false);
            }
        } else if (Machine.Typ == 2) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                SendProtocolOne(Machine.Conversion ? BuildColonFrame(":", "D", "L") : BuildShortFrame("D", ""));
            }
        } else if (Machine.Typ == 0) {
            if (ConnectToSock(comsock)) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                QByteArray message = request;
                SendData(message, NetLink, comsock, false);
            }
        }
        if (!Aborted) {
            Status(QStringLiteral("Väntar på svar..."));
            if (Machine.Typ != 0) Arm(RecTimer);
        }
    });
}

void Station::cmdDel_Click() {
    Traced(QStringLiteral("cmdDel_Click()"), [&] {
        Aborted = false;
        const QStringList selected = panel_.remoteSelection();
        if (selected.isEmpty()) return;
        const QString n = selected.first();
        if (RefuseName(n)) return;
        const auto answer =
            panel_.message(QStringLiteral("Är du säker på att du vill radera filen \"") + n + QStringLiteral("\"?"),
                           QStringLiteral("Radera"), MsgIcon::Exclamation, OperatorPanel::Buttons::YesNo);
        if (answer != OperatorPanel::Answer::Yes) return;
        ShowPilar(QStringLiteral("Raderar: ") + n, DeleteArrows());
        Status(QStringLiteral("Ansluter..."));
        AddLog(QStringLiteral("Begär borttagning av fil: ") + n);
        const QByteArray name = ToAnsi(n);
        MachineLink().FileName = n;
        if (Machine.Typ == 1) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            SendRequest(BuildFrame("C", "DEL", "", name, "00"), 1);
        } else if (Machine.Typ == 2) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                Arm(SvarTimer);
                SendProtocolOne(ProtocolOneRequest("E", name));
            }
        } else if (Machine.Typ == 0) {
            if (ConnectToSock(comsock)) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                SendRequest(BuildFrame("C", "DEL", "", name, "00"), 0);
            }
        }
        // Bounded like a fetch: a machine that never answers must not leave
        // the indicator running.
        if (!Aborted && Machine.Typ != 2) Arm(TimeoutTimer);
    });
}
