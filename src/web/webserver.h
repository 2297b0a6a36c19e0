#pragma once
// The shop server's web page and its HTTP API on WebPort: the machines and
// their state, each machine's library folder, its own list and its traffic,
// the verbs send, fetch, delete and compare, an upload into the send folder,
// a stream of events and the metrics. Changing requests need WebToken.
#include "config/generalsettings.h"
#include "link/hostfilter.h"
#include "web/metrics.h"
#include "web/trafficring.h"
#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QPointer>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

class QHttpServer;
class QHttpServerRequest;
class QHttpServerResponder;
class QTcpSocket;
class ShopServer;
class Station;

class WebServer : public QObject {
    Q_OBJECT
public:
    WebServer(ShopServer& shop, const GeneralSettings& general, QObject* parent = nullptr);
    ~WebServer() override;
    // False, with *error in Swedish, when the address is none or the port is taken.
    bool listen(QString* error);
    quint16 port() const { return port_; }

    const std::deque<TrafficRow>& traffic(const QString& machine) const;

private:
    struct Reply;
    void handle(const QHttpServerRequest& request, QHttpServerResponder&& responder);
    void dispatch(const QHttpServerRequest& request, Reply& reply);
    void machineRoute(const QHttpServerRequest& request, const QString& machine, const QStringList& rest, Reply& reply);
    bool mayChange(const QHttpServerRequest& request, Reply& reply);
    void library(Station& st, Reply& reply);
    void upload(const QHttpServerRequest& request, const QString& machine, Station& st, const QString& file, Reply& reply);
    void verb(const QString& machine, const QStringList& words, Reply& reply,
              const std::function<QJsonObject(const QStringList&)>& extra = {});
    void runQueued();
    void openStream(QHttpServerResponder&& responder);
    void broadcast(const QByteArray& event, const QByteArray& data);
    QJsonArray machinesJson() const;

    ShopServer& shop_;
    GeneralSettings general_;
    HostFilter hosts_;
    std::unique_ptr<QHttpServer> http_;
    quint16 port_ = 0;
    Metrics metrics_;
    QMap<QString, TrafficRing> rings_;
    // Verbs run one at a time, each after the event that asked for it.
    std::deque<std::function<void()>> queue_;
    bool running_ = false;
    struct Stream {
        std::unique_ptr<QHttpServerResponder> responder;
        QPointer<QTcpSocket> socket;
    };
    std::vector<Stream> streams_;
    QTimer tick_;  // progress of transfers under way, while someone watches
    // A program going out: its size and the bytes written so far (on a
    // serial line, the station's own count).
    struct Outbound {
        qint64 size = 0, written = 0;
        qint64 startMs = 0;
        QMetaObject::Connection counting;
        bool serial = false;
    };
    QMap<QString, Outbound> outbound_;
    void watchOutbound(const QString& machine, QTcpSocket* socket, qint64 size);
};
