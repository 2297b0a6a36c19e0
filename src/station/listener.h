#pragma once
// The listening port of the process. Every allowed connection is handed to
// the station that serves the peer's address; the rest are refused.
#include "config/generalsettings.h"
#include "link/hostfilter.h"
#include "link/refusallog.h"
#include <QHostAddress>
#include <QObject>
#include <functional>

class ListenServer;
class Station;

class Listener : public QObject {
    Q_OBJECT
public:
    explicit Listener(QObject* parent = nullptr);

    // Listens on ListenAddress and ListenPort (0: a free port), letting in
    // only AllowedHosts. False, with failure() worded for the operator, when
    // the port is taken or the address is not one.
    bool listen(const GeneralSettings& general);
    void close();
    // AllowedHosts anew, without closing the port (a reload).
    void setAllowedHosts(const QString& allowedHosts);
    QString failure() const { return failure_; }
    // The last failure was ListenAddress not being an address (not a taken port).
    bool badAddress() const { return badAddress_; }
    // Entries of AllowedHosts that were not understood, worded for the operator.
    QString warning() const { return warning_; }
    quint16 port() const;

    // The station that serves a peer; null: no machine has that address.
    using Route = std::function<Station*(const QHostAddress& peer)>;
    void setRoute(Route route) { route_ = std::move(route); }

private:
    void incoming(qintptr descriptor);

    ListenServer* server_;
    HostFilter allowed_;
    RefusalLog refusals_;
    RefusalLog strangers_{{}, {}, RefusalLog::Because(QStringLiteral("ingen maskin har den adressen"))};
    Route route_;
    QString failure_, warning_;
    bool badAddress_ = false;
};
