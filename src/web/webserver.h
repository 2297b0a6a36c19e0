#pragma once
// The shop server's web page and its HTTP API on WebPort: the machines and
// their state, each machine's library folder, its own list (asked for with
// the token, kept with its time) and its traffic, the verbs send, fetch,
// delete and compare, an upload into the send folder, a stream of events
// and the metrics. Changing requests need WebToken. The HTTP itself, and
// every limit on what a client may send, is the front's (httpfront.h).
#include "config/generalsettings.h"
#include "web/httpfront.h"
#include "web/metrics.h"
#include "web/trafficring.h"
#include <QByteArray>
#include <QDateTime>
#include <QJsonArray>
#include <QDeadlineTimer>
#include <QJsonObject>
#include <QMap>
#include <QObject>
#include <QThreadPool>
#include <QTimer>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

class QTcpSocket;
struct JobRequest;
class ShopServer;
struct Job;
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
    // SIGHUP: WebToken, WebAllowedHosts and WebHostNames from now on (the
    // port and address need a restart).
    void reload(const GeneralSettings& general);

    // A library listing is kept this long; at most this many requests wait
    // for one in all, and this many from one address.
    static constexpr int kListingMs = 2000;
    static constexpr int kListingWaits = 32;
    static constexpr int kListingWaitsPerAddress = 4;

private:
    struct Reply;
    void handle(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange);
    void dispatch(const HttpRequest& request, const Reply& reply);
    void machineRoute(const HttpRequest& request, const QString& machine, const QStringList& rest, const Reply& reply);
    void library(const QString& machine, Station& st, const HttpRequest& request, const Reply& reply);
    void upload(const HttpRequest& request, const QString& machine, Station& st, const QString& file, const Reply& reply);
    // Queues what (send, fetch, delete, compare, programs) as a job on the
    // machine and answers 202 with it.
    void submit(const HttpRequest& request, const QString& machine, Station& st, const JobRequest& job, bool yes,
                const Reply& reply);
    void jobRoute(const HttpRequest& request, const QStringList& parts, const Reply& reply);
    void jobEvent(const Job& job);
    void broadcast(const QByteArray& event, const QByteArray& data);
    QJsonArray machinesJson() const;

    ShopServer& shop_;
    GeneralSettings general_;
    std::unique_ptr<HttpFront> front_;
    quint16 port_ = 0;
    Metrics metrics_;
    QMap<QString, TrafficRing> rings_;
    // Answers waiting for a job to end (GET /api/jobs/ID?wait=S).
    struct Waiting {
        QString id;
        std::shared_ptr<Reply> reply;
        QDeadlineTimer until;
    };
    std::vector<Waiting> waiting_;
    QTimer waitTick_;
    std::vector<std::shared_ptr<HttpStream>> streams_;
    // Each machine's own list as it last came, and when: GET answers it and never asks the machine.
    struct Held {
        QDateTime time;
        QJsonArray programs;
    };
    QMap<QString, Held> lists_;
    QTimer tick_;  // progress of transfers under way, while someone watches
    int ticks_ = 0;
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
    // Answers that cost a folder scan or a decoding, kept a moment: a flood
    // of GETs costs the event thread a copy each, not a scan.
    struct Kept {
        QByteArray json;
        qint64 at = -1;  // Clock(), -1: none
        bool scanning = false;
        std::vector<std::pair<QHostAddress, std::shared_ptr<Reply>>> waiting;
    };
    QMap<QString, Kept> listings_, trafficKept_;
    // The log's tail while the log keeps its size (at: the size), and the
    // first page of jobs until a job changes, or for a moment.
    Kept log_, jobs_;
    int listingWaits_ = 0;
    QThreadPool scans_;
    // Each machine's send folder, for the front's thread: where an upload's body is spooled.
    std::mutex foldersMutex_;
    QHash<QString, QString> sendFolders_;
    void keepSendFolders();
};
