#include "server/servicenotify.h"
#include <QtGlobal>
#include <ctime>
#ifdef FENMO_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

ServiceNotify::ServiceNotify(QObject* parent) : QObject(parent) {
#ifdef FENMO_SYSTEMD
    uint64_t usec = 0;
    // Pinged at half the interval: a loop that turns at all is alive.
    if (sd_watchdog_enabled(0, &usec) > 0 && usec > 0) {
        connect(&watchdog_, &QTimer::timeout, this, [this] { send("WATCHDOG=1"); });
        watchdog_.start(int(qBound<uint64_t>(1, usec / 2000, 3600000)));
    }
#endif
}

bool ServiceNotify::UnderServiceManager() {
    return qEnvironmentVariableIsSet("NOTIFY_SOCKET") || qEnvironmentVariableIsSet("JOURNAL_STREAM") ||
           qEnvironmentVariableIsSet("INVOCATION_ID");
}

void ServiceNotify::ready(const QString& status) { send("READY=1\nSTATUS=" + status.toUtf8()); }

void ServiceNotify::reloading() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const qint64 usec = qint64(now.tv_sec) * 1000000 + now.tv_nsec / 1000;
    send("RELOADING=1\nMONOTONIC_USEC=" + QByteArray::number(usec));
}

void ServiceNotify::stopping() { send("STOPPING=1"); }

void ServiceNotify::send(const QByteArray& state) {
#ifdef FENMO_SYSTEMD
    sd_notify(0, state.constData());
#else
    Q_UNUSED(state);
#endif
}
