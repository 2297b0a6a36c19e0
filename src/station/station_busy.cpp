// Whether the link is free for an operation: an exchange still open, the
// machine's own transfer on the line, a cut program waiting for a person's
// word; and whether anything at all is under way.
#include "common/log.h"
#include "station/receiver.h"
#include "station/station.h"
#include <QTcpSocket>
#include <QTimer>

bool Station::ConfirmCut(const QString& by) {
    if (CutProgram().isEmpty()) return false;
    const QString name = sender_.cutProgram();
    AddLog(QStringLiteral("Maskinen klar efter den avbrutna sändningen av %1 (bekräftat av %2).").arg(name, by));
    sender_.clearCut();
    // Who said the machine was clear belongs in the journal with the rest.
    Job j;
    j.id = NewJobId();
    j.machine = MachineName;
    j.kind = JobKind::Clear;
    j.by = by;
    j.created = j.started = j.ended = QDateTime::currentDateTimeUtc();
    j.state = JobState::Done;
    j.text = QStringLiteral("Bekräftat: maskinen är klar efter den avbrutna sändningen av %1.").arg(name);
    j.programs.append({name, QString(), 0, {}, ProgramResult::Ok, j.text});
    Jobs.record(j);
    return true;
}

// An operation starts once the link is its own: it waits for an exchange
// still open and for the machine's own transfer on the line (within the
// send time-out). It is refused on a port a shop server holds, and while a
// cut program waits for a person's word; the job then fails saying why.
QCoro::Task<bool> Station::RefuseWhileBusy() {
    if (!HeldBy.isEmpty() && Machine.Typ != 0) {
        panel_.message(HeldBy, AppTitle(), MsgIcon::Information, OperatorPanel::Buttons::Ok);
        Status(HeldBy);
        FailJob(HeldBy);
        co_return true;
    }
    if (sender_.sending() || isoBusy_) {
        Status(QStringLiteral("Väntar: maskinens egen överföring går på linjen."));
        const int bound = std::max(SendTimer.interval(), TimeoutTimer.interval());
        bool expired = false;
        QTimer limit;
        limit.setSingleShot(true);
        connect(&limit, &QTimer::timeout, this, [&] {
            expired = true;
            Wake();
        });
        if (bound > 0) limit.start(bound);
        const auto free = [&] { return expired || !(sender_.sending() || isoBusy_); };
        co_await WaitFor(free);
        if (sender_.sending() || isoBusy_) {
            const QString text =
                QStringLiteral("Linjen är upptagen: ett program går till maskinen. Försök igen när det är klart.");
            Status(text);
            FailJob(text);
            co_return true;
        }
    }
    if (!CutProgram().isEmpty()) {
        const QString waiting = QStringLiteral("Väntar: maskinen kan ha en ofullständig del av %1").arg(sender_.cutProgram());
        auto answer = OperatorPanel::Answer::No;
        if (panel_.attended())
            answer = co_await Ask(
                QStringLiteral("En sändning av %1 avbröts innan programmet var helt skickat. Maskinen kan ha en "
                               "ofullständig del av %1 i minnet, och nästa meddelande på linjen skulle avsluta och "
                               "spara den.\r\nRadera %1 i maskinen, eller avbryt dess inläsning, innan du går vidare."
                               "\r\n\r\nÄr maskinen klar för nästa överföring?")
                    .arg(sender_.cutProgram()),
                AppTitle(), MsgIcon::Exclamation, OperatorPanel::Buttons::YesNo);
        if (answer != OperatorPanel::Answer::Yes) {
            Status(waiting + QLatin1Char('.'));
            if (!panel_.attended())
                AddLog(QStringLiteral("Jobbet väntar på att någon bekräftar att maskinen är klar (Fenmo32 clear)."));
            FailJob(waiting + QLatin1Char('.'));
            co_return true;
        }
        ConfirmCut(QStringLiteral("fönster ") + CurrentUser());
    }
    if (OpenExchange()) {
        Status(QStringLiteral("Väntar på svar från maskinen. Vänta eller tryck Avbryt."));
        const auto ended = [this] { return !OpenExchange(); };
        co_await WaitFor(ended);
        // Ended by "Avbryt" or its time-out: what was asked for next does not
        // start on its own; the operator sees why and may ask again.
        if (exchanges_.latest()->state == Exchange::State::Ended) {
            FailJob(lastStatus_.isEmpty() ? QStringLiteral("Avbrutet medan ett svar väntades.") : lastStatus_);
            co_return true;
        }
    }
    co_return false;
}

bool Station::Idle() const { return !Busy() && rx_.idle() && conns_.idle(); }
