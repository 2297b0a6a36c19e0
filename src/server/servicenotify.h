#pragma once
// Talking to the service manager (systemd) when it started the server:
// readiness once every machine is set up, reloading and stopping, and the
// watchdog's ping from the event loop, so that a loop stuck in a wait gets
// the service restarted. Without a service manager every call does nothing.
#include <QObject>
#include <QString>
#include <QTimer>

class ServiceNotify : public QObject {
    Q_OBJECT
public:
    explicit ServiceNotify(QObject* parent = nullptr);
    // Started by a service manager (its journal takes standard error).
    static bool UnderServiceManager();
    void ready(const QString& status);
    void reloading();
    void stopping();

private:
    void send(const QByteArray& state);
    QTimer watchdog_;
};
