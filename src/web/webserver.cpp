#include "web/webserver.h"
#include "web/webreply.h"
#include "common/log.h"
#include "station/station.h"
#include "server/shopserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrl>
#include <utility>

WebServer::WebServer(ShopServer& shop, const GeneralSettings& general, QObject* parent)
    : QObject(parent), shop_(shop), general_(general) {
    HttpLimits limits;
    limits.connections = general.WebConnections;
    limits.headerMs = general.WebHeaderTimeout;
    qint64 mb = general.WebMaxBodyMB;
    if (general.MaxProgramMB > 0) mb = qMin<qint64>(mb, general.MaxProgramMB);
    limits.bodyBytes = mb * 1024 * 1024;
    limits.jsonBytes = qMin<qint64>(limits.jsonBytes, limits.bodyBytes);
    QStringList bad;
    const HostFilter allowed(general.WebAllowedHosts, &bad);
    if (!bad.isEmpty())
        AddLog(QStringLiteral("WebAllowedHosts: \"%1\" är ingen adress eller inget adressområde och släpper inte in någon.")
                   .arg(bad.join(QStringLiteral("\", \""))));
    front_ = std::make_unique<HttpFront>(
        limits, allowed, general.WebHostNames.split(QLatin1Char(','), Qt::SkipEmptyParts), WebKeys(general),
        [this](const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) { handle(request, exchange); },
        [this](int status, qint64 n) {
            if (status == 0) metrics_.connectionRefused(n);
            else metrics_.refused(status, n);
        });
    keepSendFolders();
    front_->setSpool([this](const QByteArray& path) {
        const QList<QByteArray> parts = path.split('/');  // "", "api", "machines", NAME, "library", FILE
        if (parts.size() != 6 || parts[1] != "api" || parts[2] != "machines" || parts[4] != "library") return QString();
        std::lock_guard lock(foldersMutex_);
        return sendFolders_.value(QUrl::fromPercentEncoding(parts[3]));
    });
    connect(&shop_, &ShopServer::jobChanged, this, &WebServer::jobEvent);
    // Two scans at once in all: the disk is shared with the machines' stores.
    scans_.setMaxThreadCount(2);
    waitTick_.setInterval(1000);
    connect(&waitTick_, &QTimer::timeout, this, [this] {
        std::erase_if(waiting_, [this](const Waiting& w) {
            if (!w.until.hasExpired()) return false;
            if (const auto job = shop_.job(w.id)) w.reply->json(job->toJson());
            else w.reply->error(Status::NotFound, QStringLiteral("Okänt jobb \"%1\".").arg(w.id));
            return true;
        });
        if (waiting_.empty()) waitTick_.stop();
    });
    for (const QString& name : shop_.names()) {
        rings_.insert(name, TrafficRing(general.TrafficRows));
        Station* st = shop_.station(name);
        connect(st, &Station::trafficRow, this,
                [this, name](bool in, const QByteArray& bytes, qint64 size, const QByteArray& rx, const QByteArray& computed,
                             QTcpSocket* link) {
                    // Only the newest message may show as going out.
                    if (!in && size > bytes.size()) watchOutbound(name, link, size);
                    else QObject::disconnect(outbound_.take(name).counting);
                    TrafficRow row;
                    row.time = QDateTime::currentDateTime();
                    row.in = in;
                    row.link = link ? Unmapped(link->peerAddress()).toString() : QStringLiteral("seriell");
                    row.bytes = bytes.left(kTrafficBytes);
                    row.size = size;
                    row.received = rx;
                    row.computed = computed;
                    const TrafficRow& kept = rings_.find(name)->add(std::move(row));
                    trafficKept_[name].at = -1;
                    // Decoded only for someone watching: an idle page costs the link nothing.
                    if (!streams_.empty())
                        broadcast("traffic", QJsonDocument(QJsonObject{{QStringLiteral("machine"), name},
                                                                       {QStringLiteral("row"), DecodeTraffic(kept)}})
                                                 .toJson(QJsonDocument::Compact));
                });
        connect(st, &Station::transferEnded, this, [this, name](bool in, const QString&, qint64 size, bool ok) {
            metrics_.transfer(name, in, ok, size);
            // An aborted send never reaches its size: it must not show in the next transfer.
            if (!in) QObject::disconnect(outbound_.take(name).counting);
        });
    }
    connect(&shop_, &ShopServer::published, this, [this] {
        if (!streams_.empty()) broadcast("state", QJsonDocument(machinesJson()).toJson(QJsonDocument::Compact));
    });
    // A transfer's running count is no change of state: it is sent while one is under way.
    tick_.setInterval(1000);
    connect(&tick_, &QTimer::timeout, this, [this] {
        std::erase_if(streams_, [](const auto& s) { return !s->alive(); });
        if (streams_.empty()) {
            tick_.stop();
            return;
        }
        // A comment now and then: a client that has gone without a word is found out.
        if (++ticks_ % 15 == 0)
            for (const auto& s : streams_) s->push(":\n\n");
        bool busy = false;
        for (const QString& n : shop_.names()) busy = busy || !shop_.station(n)->Idle();
        if (busy) shop_.publish();
    });
}

// The front first: it answers what is still under way and stops its thread
// while everything it calls back still stands.
WebServer::~WebServer() {
    front_.reset();
    scans_.waitForDone();
}

void WebServer::keepSendFolders() {
    QHash<QString, QString> folders;
    for (const QString& name : shop_.names())
        if (const Station* st = shop_.station(name)) folders.insert(name, st->machine().SendPath);
    std::lock_guard lock(foldersMutex_);
    sendFolders_ = std::move(folders);
}

void WebServer::reload(const GeneralSettings& general) {
    keepSendFolders();
    QStringList changed;
    if (general.WebToken != general_.WebToken) changed << QStringLiteral("WebToken");
    if (general.WebTokens != general_.WebTokens) changed << QStringLiteral("WebTokens");
    if (general.WebAllowedHosts != general_.WebAllowedHosts) changed << QStringLiteral("WebAllowedHosts");
    if (general.WebHostNames != general_.WebHostNames) changed << QStringLiteral("WebHostNames");
    const QString port = general_.WebAddress;
    const int webPort = general_.WebPort;
    general_ = general;
    // What only a restart changes (the shop server says so) stays as the front was started.
    general_.WebAddress = port;
    general_.WebPort = webPort;
    if (!changed.isEmpty()) {
        QStringList bad;
        const HostFilter allowed(general.WebAllowedHosts, &bad);
        if (!bad.isEmpty())
            AddLog(QStringLiteral("WebAllowedHosts: \"%1\" är ingen adress eller inget adressområde och släpper inte in någon.")
                       .arg(bad.join(QStringLiteral("\", \""))));
        front_->setRules(allowed, general.WebHostNames.split(QLatin1Char(','), Qt::SkipEmptyParts), WebKeys(general));
        AddLog(QStringLiteral("Webben: %1 gäller från nu.").arg(changed.join(QStringLiteral(", "))));
    }
}

bool WebServer::listen(QString* error) {
    QHostAddress address;
    if (!ParseListenAddress(general_.WebAddress, &address) || general_.WebAddress.trimmed().isEmpty()) {
        *error = QStringLiteral("WebAddress \"%1\" är ingen adress.").arg(general_.WebAddress);
        return false;
    }
    if (!front_->listen(address, quint16(general_.WebPort), error)) return false;
    port_ = front_->port();
    QUrl url;
    url.setScheme(QStringLiteral("http"));
    url.setHost(address.toString());
    url.setPort(port_);
    url.setPath(QStringLiteral("/"));
    AddLog(QStringLiteral("Webbsidan lyssnar på ") + url.toString());
    return true;
}

const std::deque<TrafficRow>& WebServer::traffic(const QString& machine) const {
    static const std::deque<TrafficRow> none;
    const auto it = rings_.find(machine);
    return it == rings_.end() ? none : it->rows();
}

QJsonArray WebServer::machinesJson() const {
    QJsonArray out;
    for (const QJsonValue& v : shop_.state().value(QStringLiteral("machines")).toArray()) {
        QJsonObject m = v.toObject();
        m.insert(QStringLiteral("state"), m.value(QStringLiteral("link")));
        if (const Station* st = shop_.station(m.value(QStringLiteral("name")).toString()))
            m.insert(QStringLiteral("tape"), st->machine().Typ == 3);
        const auto sending = outbound_.find(m.value(QStringLiteral("name")).toString());
        if (sending != outbound_.end() && m.value(QStringLiteral("busy")).toBool()) {
            // A serial line shows where the piece it is sending starts ("129 tecken").
            const qint64 written =
                sending->serial
                    ? qMax(0, m.value(QStringLiteral("progress")).toString().section(QLatin1Char(' '), 0, 0).toInt() - 1)
                    : sending->written;
            if (written < sending->size)
                m.insert(QStringLiteral("outbound"),
                         QJsonObject{{QStringLiteral("size"), double(sending->size)},
                                     {QStringLiteral("written"), double(written)},
                                     {QStringLiteral("ms"), double(QDateTime::currentMSecsSinceEpoch() - sending->startMs)}});
        }
        out.append(m);
    }
    return out;
}

// Counts what the socket writes from now on as the message's bytes, so the
// page can show a percentage and the time left. Without a socket (a serial
// line) the station's own count is read when the state is asked for.
void WebServer::watchOutbound(const QString& machine, QTcpSocket* socket, qint64 size) {
    Outbound& o = outbound_[machine];
    QObject::disconnect(o.counting);
    o = Outbound{size, 0, QDateTime::currentMSecsSinceEpoch(), {}, !socket};
    if (!socket) return;
    o.counting = connect(socket, &QTcpSocket::bytesWritten, this, [this, machine](qint64 n) {
        Outbound& out = outbound_[machine];
        out.written += n;
        if (out.written >= out.size) QObject::disconnect(out.counting);
    });
}

void WebServer::handle(const HttpRequest& request, const std::shared_ptr<HttpExchange>& exchange) {
    const Reply reply{front_.get(), exchange, &metrics_};
    if (request.path == "/api/events" && request.method == "GET") {
        if (request.head) return front_->answer(exchange, HttpAnswer{Status::Ok, "text/event-stream", {}, true});
        if (auto s = front_->stream(exchange, "retry: 2000\n\nevent: state\ndata: " +
                                                  QJsonDocument(machinesJson()).toJson(QJsonDocument::Compact) + "\n\n")) {
            streams_.push_back(std::move(s));
            if (!tick_.isActive()) tick_.start();
        }
        return;
    }
    dispatch(request, reply);
}

void WebServer::broadcast(const QByteArray& event, const QByteArray& data) {
    const QByteArray chunk = "event: " + event + "\ndata: " + data + "\n\n";
    // A client that does not read is dropped by its stream once it is 1 MB behind.
    for (const auto& s : streams_) s->push(chunk);
}

void WebServer::jobEvent(const Job& job) {
    jobs_.at = -1;
    broadcast("job", QJsonDocument(job.toJson()).toJson(QJsonDocument::Compact));
    const bool check = job.finished();
    std::erase_if(waiting_, [&](const Waiting& w) {
        const bool expired = w.until.hasExpired();
        if (!(check && w.id == job.id) && !expired) return false;
        w.reply->json((w.id == job.id ? job : shop_.job(w.id).value_or(job)).toJson());
        return true;
    });
    if (waiting_.empty()) waitTick_.stop();
}
