// "Hämta", "Hämta med namn..." and the document entries: requests for
// programs that the parser stores where the request said when they arrive.
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

void Station::cmdRec_Click() {
    Traced(QStringLiteral("cmdRec_Click()"), [&] {
        if (Machine.Typ == 3 && IsoCannotAsk()) return;
        if (RefuseWhileBusy()) return;
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
            // The program goes where the question about it was asked.
            const QString target = ProgramPath(panel_.treeFolder(), n, Machine.Extension);
            if (FileExists(target)) {
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
                    continue;
                }
            }
            // A silent machine must not hold the run for ever: the machine's
            // receive time-out bounds the wait.
            if (RequestProgram(n, target, true, QString()) && !Aborted) {
                Arm(TimeoutTimer);
                AwaitExchange();
            }
            TimeoutTimer.stop();
        }
    });
}

void Station::mnuRecManual_Click() {
    Traced(QStringLiteral("mnuRecManual_Click()"), [&] {
        if (Machine.Typ == 3 && IsoCannotAsk()) return;
        if (RefuseWhileBusy()) return;
        Aborted = false;
        const QString n = panel_.input(QStringLiteral("Ange fil att hämta:"), QStringLiteral("Manuell hämtning"),
                                       QString())
                              .value_or(QString());
        if (!n.isEmpty() && RefuseName(n)) return;
        bool requested = false;
        if (!n.isEmpty()) {
            Status(QStringLiteral("Ansluter..."));
            // A closed port sends nothing and waits for nothing.
            if (Machine.Typ != 1 || (Comm && Comm->isOpen()))
                requested =
                    RequestProgram(n, ProgramPath(panel_.treeFolder(), n, Machine.Extension), true, QString(), true);
        }
        if (Aborted) {
            Status(QStringLiteral("Avbruten."));
        } else {
            Status(QStringLiteral("Väntar på svar..."));
            // The operation lasts until its answer: its own time-out bounds it.
            if (requested && Machine.Typ != 0) {
                exchange_->silence = true;
                SerialSilence(true);
            } else if (requested) {
                Arm(TimeoutTimer);
            }
        }
    });
}

void Station::mnuDocs_Click(const QString& document) {
    Traced(QStringLiteral("mnuDocs_Click()"), [&] {
        if (Machine.Typ == 3 && IsoCannotAsk()) return;
        if (RefuseWhileBusy()) return;
        Aborted = false;
        panel_.selectTreeFolder(Machine.DocPath);
        QCoreApplication::processEvents();
        panel_.UpdateLocalFolders();
        Status(QStringLiteral("Ansluter..."));
        MachineLink().FileName = document;
        bool requested = false;
        const QByteArray request = BuildFrame("C", "LOD", "", ToAnsi(document), "00");
        const QString name = FromAnsi(TrimBlanks(request.mid(9, 6)));
        if (Machine.Typ == 0 || (Machine.Typ == 1 && Comm && Comm->isOpen()))
            requested = RequestProgram(document, ProgramPath(Machine.DocPath, name, Machine.Extension), true, QString());
        // The document folder is the target only while the document is on its
        // way; the machine's receive time-out bounds that.
        if (requested && !Aborted) {
            TargetFolder = Machine.DocPath;
            Arm(TimeoutTimer);
        }
    });
}
