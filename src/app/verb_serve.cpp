// serve: the PC as the machine's file server without a window, on the
// listening port and, for a serial machine, on its serial port, until
// SIGINT or SIGTERM; the shop server also reloads on SIGHUP.
#include "app/verb_session.h"
#include "app/verbs.h"

#include "common/errorreport.h"
#include "common/ini.h"
#include "common/log.h"
#include "common/notify.h"
#include "config/generalsettings.h"
#include "server/servicenotify.h"
#include "server/shopserver.h"
#include "web/webserver.h"

#include <QCoreApplication>
#include <QScopeGuard>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <functional>
#include <memory>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>
#endif

namespace {
// SIGINT and SIGTERM end the event loop, SIGHUP reloads where a reload is
// given (and is ignored elsewhere, never killing the process): the handler
// only writes the signal's number, the loop reads it like any other event.
class StopSignals {
public:
    // stop: what a signal does (by default, the event loop ends).
    explicit StopSignals(std::function<void()> stop = [] { QCoreApplication::exit(0); },
                         std::function<void()> reload = {})
        : stop_(std::move(stop)), reload_(std::move(reload)) {
#ifdef Q_OS_UNIX
        int type = SOCK_STREAM;
#ifdef SOCK_CLOEXEC
        type |= SOCK_CLOEXEC;  // plug-ins and editors started later must not inherit it
#endif
        if (::socketpair(AF_UNIX, type, 0, pipe_) != 0) return;
        notifier_ = new QSocketNotifier(pipe_[1], QSocketNotifier::Read);
        QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] {
            char c = 0;
            [[maybe_unused]] const auto n = ::read(pipe_[1], &c, 1);
            if (c == SIGHUP) {
                if (reload_ && !requested_) reload_();
                return;
            }
            if (requested_) return;  // a second signal while stopping changes nothing
            requested_ = true;
            stop_();
        });
        writeEnd() = pipe_[0];
        struct sigaction sa = {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
        sigaction(SIGHUP, &sa, &oldHup_);
#endif
    }
    ~StopSignals() {
#ifdef Q_OS_UNIX
        if (!notifier_) return;
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        sigaction(SIGHUP, &oldHup_, nullptr);
        writeEnd() = -1;
        delete notifier_;
        ::close(pipe_[0]);
        ::close(pipe_[1]);
#endif
    }
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    bool requested() const { return requested_; }

private:
#ifdef Q_OS_UNIX
    static int& writeEnd() {
        static int fd = -1;
        return fd;
    }
    static void OnSignal(int signal) {
        const char c = char(signal);
        if (writeEnd() >= 0) {
            [[maybe_unused]] const auto n = ::write(writeEnd(), &c, 1);
        }
    }
    int pipe_[2] = {-1, -1};
    QSocketNotifier* notifier_ = nullptr;
    struct sigaction oldInt_ = {};
    struct sigaction oldTerm_ = {};
    struct sigaction oldHup_ = {};
#endif
    bool requested_ = false;
    std::function<void()> stop_, reload_;
};

}  // namespace

int RunServe(const VerbOptions& options) {
    MachineEntry machine;
    if (!options.args.isEmpty()) {
        if (!FindMachine(options.args.first(), &machine)) {
            VerbError(QStringLiteral("okänd maskin \"%1\".").arg(options.args.first()));
            return VerbUsage;
        }
    } else {
        // The machine the window would start with.
        const QList<MachineEntry> list = MachineList();
        if (list.isEmpty()) {
            VerbError(NoMachinesText());
            return VerbUsage;
        }
        const QString last = ReadIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), list.first().name);
        if (!FindMachine(last, &machine) || machine.name != last) {
            VerbError(QStringLiteral("okänd maskin \"%1\" (LastMachine).").arg(last));
            return VerbUsage;
        }
    }

    // Before anything is logged, so that a signal can never skip the last line.
    StopSignals signals;
    VerbSession s(options);
    AddLog(QStringLiteral("Programmet startat."));
    auto end = [&](int status) {
        s.station->cmdAbort_Click();  // the program ends: everything under way stops
        AddLog(QStringLiteral("Programmet avslutat."));
        return status;
    };
    if (!s.readGeneralSettings() || !s.select(machine)) return end(VerbFailed);
    if (!s.station->StartListening()) {
        s.panel.notice(s.station->listenFailure(), AppTitle());
        return end(VerbFailed);
    }
    // Scripts (and tests, with ListenPort 0) learn the port here.
    VerbOut(QStringLiteral("LISTENING %1").arg(s.station->ListeningPort()));
    if (!signals.requested()) QCoreApplication::exec();
    return end(VerbOk);
}

namespace {
// Transfers under way when SIGTERM comes get this long to finish.
constexpr int kStopGraceMs = 10000;
}  // namespace

int RunShopServer(const VerbOptions& options) {
    // A server runs for months: its logs keep the last 2 × 50 MB.
    SetLogLimit(50 * 1024 * 1024);
    // Under systemd the journal gets the shop's activity, not only LISTENING.
    const bool service = ServiceNotify::UnderServiceManager();
    SetLogToStderr(service);
    const auto quiet = qScopeGuard([] { SetLogToStderr(false); });
    ShopServer server;
    ServiceNotify manager;
    // Verbs of this computer's command line run here on the server's stations.
    server.setVerbRunner(RunForClient);
    SetServedMachines([&server](const QString& name) { return ServedMachine{server.station(name)}; });
    const auto unserved = qScopeGuard([] { SetServedMachines({}); });
    bool stopping = false, started = false;
    std::unique_ptr<WebServer> web;
    StopSignals signals(
        [&] {
            if (stopping) return;
            stopping = true;
            manager.stopping();
            server.stop(kStopGraceMs, [] { QCoreApplication::exit(0); });
        },
        [&] {
            if (!started) return;
            manager.reloading();
            GeneralSettings g;
            if (ReadVerbSettings(&g)) {
                server.reload(g);
                if (web) web->reload(g);
            }
            else AddLog(QStringLiteral("Inställningarna kunde inte läsas om: servern fortsätter med de gamla."));
            manager.ready(QStringLiteral("%1 maskiner").arg(server.machines()));
        });
    SetErrorDialog([](const QString& text) {
        VerbError(text);
        return true;
    });
    SetMessageSink([](const QString& text, const QString&, MsgIcon) { VerbError(text); });
    GeneralSettings g;
    if (!ReadVerbSettings(&g)) return VerbFailed;
    if (options.all && MachineList().isEmpty()) {
        VerbError(NoMachinesText());
        return VerbFailed;
    }
    AddLog(QStringLiteral("Programmet startat."));
    if (!options.all)
        AddLog(QStringLiteral("Bara för prov: servern betjänar bara %1. Mappens övriga maskiner betjänas inte av "
                              "servern; ett fönster på mappen lyssnar efter dem.")
                   .arg(options.args.join(QStringLiteral(", "))));
    QString error;
    if (!server.start(g, options.all ? QStringList() : options.args, &error)) {
        VerbError(error);
        AddLog(QStringLiteral("Programmet avslutat."));
        return error.startsWith(QStringLiteral("okänd maskin")) ? VerbUsage : VerbFailed;
    }
    VerbOut(QStringLiteral("LISTENING %1").arg(server.port()));
    if (g.WebPort != 0) {
        web = std::make_unique<WebServer>(server, g);
        if (!web->listen(&error)) {
            VerbError(error);
            AddLog(QStringLiteral("Programmet avslutat."));
            return VerbFailed;
        }
        VerbOut(QStringLiteral("WEB %1").arg(web->port()));
    }
    started = true;
    manager.ready(QStringLiteral("%1 maskiner, TCP-port %2").arg(server.machines()).arg(server.port()));
    if (signals.requested()) server.stop(kStopGraceMs, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    AddLog(QStringLiteral("Programmet avslutat."));
    SetErrorDialog({});
    SetMessageSink({});
    return VerbOk;
}

int RunStatus(const VerbOptions&) {
    const qint64 pid = RunningServer();
    QFile file(ServerStatePath());
    if (!pid || !file.open(QIODevice::ReadOnly)) {
        VerbOut(QStringLiteral("Ingen server kör för programmappen."));
        return VerbIncomplete;
    }
    const QJsonObject state = QJsonDocument::fromJson(file.readAll()).object();
    VerbOut(QStringLiteral("Server: process %1, TCP-port %2, startad %3")
                .arg(pid)
                .arg(state.value(QStringLiteral("port")).toInt())
                .arg(state.value(QStringLiteral("started")).toString()));
    for (const QJsonValue& v : state.value(QStringLiteral("machines")).toArray()) {
        const QJsonObject m = v.toObject();
        const QJsonObject r = m.value(QStringLiteral("lastRequest")).toObject();
        const QJsonObject t = m.value(QStringLiteral("lastTransfer")).toObject();
        const QJsonObject d = m.value(QStringLiteral("today")).toObject();
        const QString request = r.isEmpty() ? QStringLiteral("-")
                                            : r.value(QStringLiteral("time")).toString() + QLatin1Char(' ') +
                                                  r.value(QStringLiteral("command")).toString() + QLatin1Char(' ') +
                                                  r.value(QStringLiteral("name")).toString();
        const QString transfer =
            t.isEmpty() ? QStringLiteral("-")
                        : QStringLiteral("%1 %2 %3 %4 tecken %5")
                              .arg(t.value(QStringLiteral("time")).toString(), t.value(QStringLiteral("direction")).toString(),
                                   t.value(QStringLiteral("name")).toString())
                              .arg(qint64(t.value(QStringLiteral("size")).toDouble()))
                              .arg(t.value(QStringLiteral("result")).toString());
        VerbOutFields({m.value(QStringLiteral("name")).toString(), m.value(QStringLiteral("link")).toString(),
                       QStringLiteral("begäran: ") + request, QStringLiteral("överföring: ") + transfer,
                       QStringLiteral("idag: %1 in, %2 ut, %3 fel")
                           .arg(d.value(QStringLiteral("received")).toInt())
                           .arg(d.value(QStringLiteral("sent")).toInt())
                           .arg(d.value(QStringLiteral("failed")).toInt())});
    }
    return VerbOk;
}
