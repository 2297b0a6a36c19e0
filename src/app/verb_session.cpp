#include "app/verb_session.h"

#include "common/ansi.h"
#include "common/apperror.h"
#include "common/errorreport.h"
#include "common/log.h"
#include "common/notify.h"
#include "config/generalsettings.h"
#include "link/programname.h"
#include "link/qtserialport.h"
#include "server/serverpanel.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QCoro/QCoroTimer>
#include <QPointer>
#include <QTimer>
#include <cstdio>
#include <string>
#include <utility>

namespace {
// How long a verb waits at most where the settings set no time-out.
constexpr int kVerbOuterBoundMs = 60000;
}  // namespace

#ifdef Q_OS_WIN
#include <io.h>
#define FENMO_ISATTY(fd) _isatty(fd)
#else
#include <unistd.h>
#define FENMO_ISATTY(fd) isatty(fd)
#endif

namespace {
class TerminalIO : public VerbIO {
public:
    void out(const QString& text) override { Put(text, stdout); }
    void err(const QString& text) override { Put(text, stderr); }
    bool interactive() const override { return FENMO_ISATTY(0); }
    std::optional<QString> ask(const QString& prompt) override {
        Put(prompt, stderr);
        std::string line;
        int c;
        while ((c = std::fgetc(stdin)) != EOF && c != '\n') line.push_back(static_cast<char>(c));
        return QString::fromLocal8Bit(line.c_str());
    }

private:
    static void Put(const QString& text, FILE* to) {
        std::fputs(text.toLocal8Bit().constData(), to);
        std::fflush(to);
    }
};

TerminalIO& Terminal() {
    static TerminalIO io;
    return io;
}
VerbIO*& Current() {
    static VerbIO* io = &Terminal();
    return io;
}
ServedLookup& Served() {
    static ServedLookup lookup;
    return lookup;
}
}  // namespace

VerbIO& VerbConsole() { return *Current(); }
bool OnTerminal() { return Current() == &Terminal(); }
// Nested runs (a second client while the first waits) restore in order.
VerbIOScope::VerbIOScope(VerbIO& io) : previous_(std::exchange(Current(), &io)) {}
VerbIOScope::~VerbIOScope() { Current() = previous_; }

void SetServedMachines(ServedLookup lookup) { Served() = std::move(lookup); }
bool InShopServer() { return bool(Served()); }

void VerbError(const QString& text) { VerbConsole().err(QStringLiteral("Fenmo32: ") + EscapeControls(text) + QLatin1Char('\n')); }

void VerbOut(const QString& line) { VerbConsole().out(EscapeControls(line) + QLatin1Char('\n')); }

QString VerbLine(const QStringList& fields) {
    QStringList escaped;
    for (const QString& f : fields) escaped << EscapeControls(f);
    return escaped.join(QLatin1Char('\t'));
}

void VerbOutFields(const QStringList& fields) { VerbConsole().out(VerbLine(fields) + QLatin1Char('\n')); }

bool FindMachine(const QString& text, MachineEntry* found) {
    const QList<MachineEntry> list = MachineList();
    const int slot = FindMachineSlot(list, text);
    bool number = false;
    const int wanted = slot > 0 ? slot : text.toInt(&number);
    if (slot <= 0 && !number) return false;
    for (const MachineEntry& m : list)
        if (m.slot == wanted) {
            *found = m;
            return true;
        }
    return false;
}

bool ReadVerbSettings(GeneralSettings* g) {
    try {
        ReadGeneralSettings(*g);
        return true;
    } catch (const AppError& e) {
        ReportError(e);
        return false;
    }
}

bool PeekMachine(int slot, MachineSettings* ms) {
    try {
        LoadMachineSettings(*ms, slot);
        return true;
    } catch (const AppError&) {
        return false;
    }
}

VerbSession::VerbSession(const VerbOptions& options)
    : io(VerbConsole()), panel(options.overwrite, [io = &io](const QString& text) { io->err(text); }) {
    // In the server nobody answers at the station: the client asked before.
    panel.setInteractive(!InShopServer() && io.interactive());
    panel.setIO(&io);
    if (OnTerminal() && FENMO_ISATTY(1))
        panel.setProgressWriter([](const QString& text) {
            std::fputs(text.toLocal8Bit().constData(), stdout);
            std::fflush(stdout);
        });
    previousDialog_ = SetErrorDialog([this](const QString& text) {
        ++errorReports_;
        panel.notice(text, QStringLiteral("Fel"));
        return true;
    });
    previousSink_ = SetMessageSink([this](const QString& text, const QString& title, MsgIcon) { panel.notice(text, title); });
    own_ = std::make_unique<Station>(panel, new QtSerialPort);
    own_->SetJournalJobs(true);
    station = own_.get();
}

VerbSession::~VerbSession() {
    own_.reset();
    SetErrorDialog(std::move(previousDialog_));
    SetMessageSink(std::move(previousSink_));
}

void VerbSession::error(const QString& text) { io.err(QStringLiteral("Fenmo32: ") + EscapeControls(text) + QLatin1Char('\n')); }

void VerbSession::outFields(const QStringList& fields) { io.out(VerbLine(fields) + QLatin1Char('\n')); }

QCoro::Task<Job> VerbSession::run(JobKind kind, std::function<QCoro::Task<void>()> op) {
    const QString by = QStringLiteral("verb ") + (io.who().isEmpty() ? CurrentUser() : io.who());
    const auto job = station->Submit(kind, by, [op = std::move(op)](JobRun&) { return op(); }, served_ ? &panel : nullptr);
    QPointer<Station> st = station;
    io.onGone([st, id = job->record.id, by] {
        if (st) st->jobs().cancel(id, QStringLiteral("Avbrutet: klienten (%1) lämnade.").arg(by));
    });
    // Its own job's end only, once: other jobs' changes never resume this frame.
    // Named first: gcc 12 destroys a temporary made inside a co_await twice.
    JobRun::Ended ended{job};
    co_await ended;
    io.onGone({});
    // The boxes the link raised after its handlers returned are part of the result.
    if (st) QCoreApplication::sendPostedEvents(st, QEvent::MetaCall);
    if (!served_ && st) co_await DrainSerialPort();
    co_return job->record;
}

QCoro::Task<Job> VerbSession::run(JobRequest request) {
    // Named first: gcc 12 destroys a lambda made inside a co_await twice.
    const std::function<QCoro::Task<void>()> op = [st = station, request] { return RunRequest(*st, request); };
    const Job job = co_await run(request.kind, op);
    co_return job;
}

// A protocol-1 store has no answer: what the send handed to the port must
// reach the machine before the port closes with the verb, or the program is
// lost. Bounded like a send.
QCoro::Task<void> VerbSession::DrainSerialPort() {
    SerialPort* port = station->port();
    if (!port || !port->isOpen() || port->outBufferCount() == 0) co_return;
    const int bound = station->general().SendTimeout > 0 ? station->general().SendTimeout : kVerbOuterBoundMs;
    QDeadlineTimer deadline(bound);
    while (port->isOpen() && port->outBufferCount() > 0 && !deadline.hasExpired())
        co_await QCoro::sleepFor(std::chrono::milliseconds(20));
}

bool VerbSession::readGeneralSettings() {
    GeneralSettings g = station->general();
    try {
        ::ReadGeneralSettings(g);
    } catch (const AppError& e) {
        station->ApplyGeneralSettings(g);
        ReportError(e);
        return false;
    }
    // A time-out of 0 means none in the window; a verb that nobody watches
    // keeps an outer bound of its own.
    for (int* ms : {&g.SvarTimeout, &g.RecTimeout, &g.SendTimeout, &g.CtsTimeout})
        if (*ms <= 0) *ms = kVerbOuterBoundMs;
    station->ApplyGeneralSettings(g);
    return true;
}

bool VerbSession::select(const MachineEntry& machine) {
    if (InShopServer()) {
        // The server's station holds the link; the verb's jobs queue there
        // with the other doors' and this panel hears what they report.
        const ServedMachine served = Served()(machine.name);
        if (!served.station) {
            error(QStringLiteral("servern betjänar inte maskinen \"%1\".").arg(machine.name));
            return false;
        }
        served_ = true;
        station = served.station;
        own_.reset();
        panel.setTreeFolder(station->machine().SendPath);
        return true;
    }
    const bool applied = station->cmbMaskiner_Click(machine.slot, machine.name, false);
    // A RecTimeout of 0 means no time-out in the window; a verb that nobody
    // watches keeps an outer bound of its own.
    if (station->machine().RecTimeout <= 0) {
        GeneralSettings g = station->general();
        g.GeneralTimeout = kVerbOuterBoundMs;
        station->ApplyGeneralSettings(g);
    }
    return applied;
}

