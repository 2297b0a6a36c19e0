// The PC's exchanges with the machine: one open at a time, and only its own
// answer, on its own connection, completes it.
#include "common/ansi.h"
#include "common/log.h"
#include "link/station.h"
#include <QDeadlineTimer>
#include <QTcpSocket>
#include <QTimer>

namespace {
// Log lines quote at most this much of an unexpected message.
constexpr qsizetype kQuote = 60;
}  // namespace

Exchange& Station::Open(const QByteArray& command, const QString& name, QTcpSocket* socket) {
    // A request replaces one still open: its answer can no longer come in time.
    EndExchange(Exchange::State::Ended);
    exchange_ = std::make_unique<Exchange>();
    exchange_->id = ++nextExchange_;
    exchange_->command = command;
    exchange_->name = name;
    exchange_->socket = socket;
    return *exchange_;
}

void Station::EndExchange(Exchange::State state) {
    if (!exchange_ || !exchange_->open()) return;
    exchange_->state = state;
    // A protocol-1 machine often sends when its operator gets to it: a copy
    // that comes after its fetch gave up must still never reach the library.
    if (state != Exchange::State::Done && !exchange_->library && exchange_->command == "L") {
        const int window = std::max(General.RecTimeout, 1) * 10;
        lateCopies_.push_back({exchange_->name, QDeadlineTimer(window)});
    }
    // Its time-outs end with it, so that none is ever reported for another.
    SvarTimer.stop();
    TimeoutTimer.stop();
    TargetFolder.clear();
    SerialSilence(false);
    Q_EMIT exchangeEnded();
}

// The open exchange this answer belongs to: the same connection, the same
// command and, where it has one, the same name as the frame carried it.
Exchange* Station::Answered(const QByteArray& command, const QString& name, QTcpSocket* from) {
    Exchange* x = exchange_.get();
    if (!x || !x->open() || x->socket != from || x->command != command) return nullptr;
    if (!x->name.isEmpty() && x->name.compare(name, Qt::CaseInsensitive) != 0) return nullptr;
    return x;
}

bool Station::LateCopy(const QString& name) {
    std::erase_if(lateCopies_, [](const LateCopyOf& c) { return c.until.hasExpired(); });
    for (const LateCopyOf& c : lateCopies_)
        if (c.name.compare(name, Qt::CaseInsensitive) == 0) return true;
    return false;
}

void Station::Unexpected(const QByteArray& message) {
    QByteArray quote = message.left(kQuote);
    if (message.size() > kQuote) quote += "...";
    AddLog(QStringLiteral("Oväntat svar: ") + FromAnsi(quote));
}

// Before a request: bytes that start no message go, all of them. A message
// that started stays: it is the machine's own request, or a late answer
// that will be dropped whole once it is complete.
void Station::ClearInput(Reception& r) {
    if (r.program || r.in.startsWith('%')) return;
    r.abort();
}

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
        if (exchange_->state == Exchange::State::Ended) {
            FailJob(lastStatus_.isEmpty() ? QStringLiteral("Avbrutet medan ett svar väntades.") : lastStatus_);
            co_return true;
        }
    }
    co_return false;
}

bool Station::Idle() const {
    return !Busy() && !serialRx_.busy() && !comsockRx_.busy() && deferred_.empty() && diskWork_ == 0 && conns_.idle();
}
