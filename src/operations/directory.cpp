// "Uppdatera bibliotek" and "Radera": the machine's list and deletions.
// Both send their request and return with its exchange open; the parser
// completes it, or its time-out ends it.
#include "common/ansi.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "link/arrows.h"
#include "link/frames.h"
#include "link/station.h"

void Station::cmdDir_Click() {
    Traced(QStringLiteral("CmdDir_Click()"), [&] {
        if (Machine.Typ == 3 && IsoCannotAsk()) return;
        if (RefuseWhileBusy()) return;
        panel_.UpdateLocalFolders();
        AddLog(QStringLiteral("Begär fillista."));
        Aborted = false;
        Status(QStringLiteral("Ansluter..."));
        const QByteArray request = BuildFrame("C", "DRQ", "ALL", "", "00");
        bool requested = false;
        if (Machine.Typ == 1) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                Open("DRQ", QString(), nullptr).silence = true;
                requested = true;
                QByteArray message = request;
                SendData(message, SerialLink, nullptr, false);
                AwaitLine();
            }
        } else if (Machine.Typ == 2) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                Open("D", QString(), nullptr).silence = true;
                requested = true;
                SendProtocolOne(Machine.Conversion ? BuildColonFrame(":", "D", "L") : BuildShortFrame("D", ""));
            }
        } else if (Machine.Typ == 0) {
            if (ConnectToSock(comsock)) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                Open("DRQ", QString(), comsock);
                requested = true;
                QByteArray message = request;
                SendData(message, NetLink, comsock, false);
            }
        }
        if (Aborted) {
            EndExchange(Exchange::State::Ended);
            return;
        }
        Status(QStringLiteral("Väntar på svar..."));
        // The list is awaited under its own time-out, on the network too.
        if (requested && OpenExchange()) {
            if (Machine.Typ != 0) SerialSilence(true);
            else Arm(TimeoutTimer);
        }
    });
}

void Station::cmdDel_Click() {
    Traced(QStringLiteral("cmdDel_Click()"), [&] {
        if (Machine.Typ == 3 && IsoCannotAsk()) return;
        if (RefuseWhileBusy()) return;
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
        const QByteArray request = BuildFrame("C", "DEL", "", name, "00");
        const QString framed = FromAnsi(TrimBlanks(request.mid(9, 6)));
        if (Machine.Typ == 1) {
            Status(QStringLiteral("Ansluten, Skickar begäran..."));
            Open("DEL", framed, nullptr);
            SendRequest(request, 1);
        } else if (Machine.Typ == 2) {
            if (Comm && Comm->isOpen()) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                const QByteArray erase = ProtocolOneRequest("E", name);
                Open("E", P1Name(erase), nullptr);
                // The colon form acknowledges nothing: written is done, as its stores are.
                if (!Machine.Conversion) Arm(SvarTimer);
                SendProtocolOne(erase);
                if (Machine.Conversion && !Aborted && OpenExchange()) {
                    EndExchange(Exchange::State::Done);
                    Status(QStringLiteral("Radering utförd ('") + n + QStringLiteral("')."));
                    panel_.removeRemoteItem(n);
                    HidePilar();
                }
            }
        } else if (Machine.Typ == 0) {
            if (ConnectToSock(comsock)) {
                Status(QStringLiteral("Ansluten, Skickar begäran..."));
                Open("DEL", framed, comsock);
                SendRequest(request, 0);
            }
        }
        if (Aborted) EndExchange(Exchange::State::Ended);
        // Bounded like a fetch: a machine that never answers must not leave
        // the indicator running.
        if (!Aborted && Machine.Typ != 2 && OpenExchange()) Arm(TimeoutTimer);
    });
}
