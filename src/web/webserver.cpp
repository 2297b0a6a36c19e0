#include "web/webserver.h"
#include "common/dates.h"
#include "common/home.h"
#include "common/log.h"
#include "library/history.h"
#include "library/localfilescan.h"
#include "library/programfile.h"
#include "link/programname.h"
#include "link/station.h"
#include "server/shopserver.h"
#include "server/verbio.h"

#include <QFile>
#include <QFileInfo>
#include <QHttpServer>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSaveFile>
#include <QTcpSocket>
#include <QUrl>

using Status = QHttpServerResponder::StatusCode;

// One answer under way: filled by a route, sent once complete (a verb's
// route completes it later, after the verb has run).
struct WebServer::Reply {
    std::shared_ptr<QHttpServerResponder> responder;
    QPointer<QTcpSocket> socket;  // gone when the client left while a verb ran
    Metrics* metrics = nullptr;
    bool sent = false;
    void take(QHttpServerResponder&& r) {
        responder = std::make_shared<QHttpServerResponder>(std::move(r));
        socket = responder->socket();
    }
    void json(const QJsonDocument& doc, Status status = Status::Ok) {
        if (sent) return;
        sent = true;
        if (!socket) return;
        const int code = int(status);
        if (code == 400 || code == 401 || code == 403 || code == 404 || code == 413) metrics->refused(code);
        responder->write(doc.toJson(QJsonDocument::Compact), {{"Content-Type", "application/json; charset=utf-8"}}, status);
    }
    void json(const QJsonObject& o, Status status = Status::Ok) { json(QJsonDocument(o), status); }
    void json(const QJsonArray& a) { json(QJsonDocument(a)); }
    void error(Status status, const QString& text) { json(QJsonObject{{QStringLiteral("error"), text}}, status); }
    void bytes(const QByteArray& data, const QByteArray& type) {
        sent = true;
        if (!socket) return;
        responder->write(data, {{"Content-Type", type}, {"Cache-Control", "no-cache"}}, Status::Ok);
    }
};

namespace {
// A verb's lines, kept for the answer; nobody can be asked.
class CollectIO : public VerbIO {
public:
    QStringList outLines, errLines;
    void out(const QString& text) override { outLines << text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
    void err(const QString& text) override { errLines << text.split(QLatin1Char('\n'), Qt::SkipEmptyParts); }
};

// A verb's exit status as HTTP: done, failed at the machine, refused, not all done.
Status ExitStatus(int code) {
    switch (code) {
    case 0: return Status::Ok;
    case 2: return Status::BadRequest;
    case 3: return Status::Conflict;
    default: return Status::BadGateway;
    }
}

// A file name as a plain name in one folder: no folder, drive or way up.
bool PlainName(const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name.contains(QLatin1String(".."))) return false;
    for (const QChar c : name)
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c == QLatin1Char(':') || c.unicode() < 0x20) return false;
    return true;
}

QByteArray Resource(const QString& name) {
    QFile f(QStringLiteral(":/web/") + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// The log's last lines, newest first.
QJsonArray LogTail(int lines) {
    QFile f(InProgramFolder(QStringLiteral("fenmo32.log")));
    QJsonArray out;
    if (!f.open(QIODevice::ReadOnly)) return out;
    const qint64 from = std::max<qint64>(0, f.size() - 64 * 1024);
    f.seek(from);
    QList<QByteArray> all = f.readAll().split('\n');
    if (from > 0 && !all.isEmpty()) all.removeFirst();  // cut in the middle
    for (qsizetype i = all.size() - 1; i >= 0 && out.size() < lines; --i) {
        const QByteArray line = all[i].trimmed();
        if (!line.isEmpty()) out.append(QString::fromUtf8(line));
    }
    return out;
}

QStringList Strings(const QJsonValue& v) {
    QStringList out;
    for (const QJsonValue& x : v.toArray()) out << x.toString();
    return out;
}
}  // namespace

WebServer::WebServer(ShopServer& shop, const GeneralSettings& general, QObject* parent)
    : QObject(parent), shop_(shop), general_(general), hosts_(general.AllowedHosts), http_(std::make_unique<QHttpServer>()) {
    http_->setMissingHandler([this](const QHttpServerRequest& request, QHttpServerResponder&& responder) {
        handle(request, std::move(responder));
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
        std::erase_if(streams_, [](const Stream& s) { return !s.socket || s.socket->state() != QAbstractSocket::ConnectedState; });
        if (streams_.empty()) {
            tick_.stop();
            return;
        }
        bool busy = false;
        for (const QString& n : shop_.names()) busy = busy || !shop_.station(n)->Idle();
        if (busy) shop_.publish();
    });
}

WebServer::~WebServer() = default;

bool WebServer::listen(QString* error) {
    QHostAddress address;
    if (!ParseListenAddress(general_.WebAddress, &address) || general_.WebAddress.trimmed().isEmpty()) {
        *error = QStringLiteral("WebAddress \"%1\" är ingen adress.").arg(general_.WebAddress);
        return false;
    }
    port_ = http_->listen(address, quint16(general_.WebPort));
    if (port_ == 0) {
        *error = QStringLiteral("webbsidan kan inte lyssna på %1 port %2.").arg(address.toString()).arg(general_.WebPort);
        return false;
    }
    AddLog(QStringLiteral("Webbsidan lyssnar på http://%1:%2/").arg(address.toString()).arg(port_));
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

void WebServer::handle(const QHttpServerRequest& request, QHttpServerResponder&& responder) {
    auto reply = std::make_shared<Reply>();
    reply->metrics = &metrics_;
    if (!hosts_.allows(Unmapped(request.remoteAddress()))) {
        reply->take(std::move(responder));
        reply->error(Status::Forbidden, QStringLiteral("Adressen %1 får inte ansluta.").arg(request.remoteAddress().toString()));
        return;
    }
    if (request.url().path() == QLatin1String("/api/events") && request.method() == QHttpServerRequest::Method::Get) {
        openStream(std::move(responder));
        return;
    }
    reply->take(std::move(responder));
    dispatch(request, *reply);
    if (!reply->sent && !queue_.empty()) {
        // A verb's route: the reply lives on in the queued work.
        auto& work = queue_.back();
        work = [reply, work = std::move(work)] { work(); (void)reply; };
    }
}

void WebServer::dispatch(const QHttpServerRequest& request, Reply& reply) {
    // Segments split before decoding, so an encoded "/" stays inside its name.
    const QString raw = request.url().path(QUrl::FullyEncoded);
    QStringList parts;
    for (const QString& p : raw.split(QLatin1Char('/'), Qt::SkipEmptyParts))
        parts << QUrl::fromPercentEncoding(p.toUtf8());
    const bool get = request.method() == QHttpServerRequest::Method::Get;
    if (get && parts.isEmpty()) return reply.bytes(Resource(QStringLiteral("index.html")), "text/html; charset=utf-8");
    if (get && parts == QStringList{QStringLiteral("verkstad.js")})
        return reply.bytes(Resource(parts[0]), "text/javascript; charset=utf-8");
    if (get && parts == QStringList{QStringLiteral("verkstad.css")}) return reply.bytes(Resource(parts[0]), "text/css; charset=utf-8");
    if (get && parts == QStringList{QStringLiteral("metrics")})
        return reply.bytes(metrics_.text(shop_.state()), "text/plain; version=0.0.4; charset=utf-8");
    if (parts.value(0) != QLatin1String("api")) return reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
    if (get && parts.size() == 2 && parts[1] == QLatin1String("machines")) return reply.json(machinesJson());
    if (get && parts.size() == 2 && parts[1] == QLatin1String("log")) return reply.json(LogTail(200));
    if (parts.size() >= 3 && parts[1] == QLatin1String("machines")) return machineRoute(request, parts[2], parts.mid(3), reply);
    reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
}

bool WebServer::mayChange(const QHttpServerRequest& request, Reply& reply) {
    if (general_.WebToken.isEmpty()) {
        reply.error(Status::Forbidden, QStringLiteral("Webbsidan är skrivskyddad: ingen WebToken är satt."));
        return false;
    }
    const QByteArray given = request.value("Authorization");
    if (given != "Bearer " + general_.WebToken.toUtf8()) {
        AddLog(QStringLiteral("Webben: %1 %2 från %3 nekad: %4 nyckel.")
                   .arg(QString::fromLatin1(request.method() == QHttpServerRequest::Method::Put ? "PUT" : "POST"),
                        request.url().path(), Unmapped(request.remoteAddress()).toString(),
                        given.isEmpty() ? QStringLiteral("ingen") : QStringLiteral("fel")));
        reply.error(Status::Unauthorized, QStringLiteral("Fel eller saknad nyckel."));
        return false;
    }
    return true;
}

void WebServer::machineRoute(const QHttpServerRequest& request, const QString& machine, const QStringList& rest,
                             Reply& reply) {
    Station* st = shop_.station(machine);
    if (!st) return reply.error(Status::NotFound, QStringLiteral("Okänd maskin \"%1\".").arg(machine));
    const auto method = request.method();
    const QString what = rest.value(0);
    if (method == QHttpServerRequest::Method::Get && rest.size() == 1) {
        if (what == QLatin1String("library")) return library(*st, reply);
        if (what == QLatin1String("traffic")) {
            QJsonArray rows;
            for (const TrafficRow& r : traffic(machine)) rows.append(DecodeTraffic(r));
            return reply.json(rows);
        }
        if (what == QLatin1String("programs"))
            return verb(machine, {QStringLiteral("dir"), machine}, reply, [](const QStringList& out) {
                QJsonArray programs;
                for (const QString& line : out) {
                    const QStringList f = line.split(QLatin1Char('\t'));
                    programs.append(QJsonObject{{QStringLiteral("name"), f.value(0)}, {QStringLiteral("size"), f.value(1)}});
                }
                return QJsonObject{{QStringLiteral("programs"), programs}};
            });
    }
    if (method == QHttpServerRequest::Method::Put && rest.size() == 2 && what == QLatin1String("library")) {
        if (!mayChange(request, reply)) return;
        return upload(request, machine, *st, rest[1], reply);
    }
    if (method == QHttpServerRequest::Method::Post && rest.size() == 1) {
        const QStringList verbs{QStringLiteral("send"), QStringLiteral("fetch"), QStringLiteral("delete"), QStringLiteral("compare")};
        if (!verbs.contains(what)) return reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
        if (!mayChange(request, reply)) return;
        const QJsonObject body = QJsonDocument::fromJson(request.body()).object();
        QStringList words{what};
        // The answer to the verb's question (overwrite, delete); nobody is asked, so without it: No.
        if (body.value(QStringLiteral("yes")).toBool()) words << QStringLiteral("--yes");
        words << machine;
        if (what == QLatin1String("send")) {
            const QStringList files = Strings(body.value(QStringLiteral("files")));
            if (files.isEmpty()) return reply.error(Status::BadRequest, QStringLiteral("Inga filer angivna (\"files\")."));
            for (const QString& f : files) {
                if (!PlainName(f)) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\".").arg(f));
                const QString path = st->Machine.SendPath + QLatin1Char('/') + f;
                if (!QFileInfo(path).isFile())
                    return reply.error(Status::NotFound, QStringLiteral("Filen \"%1\" finns inte i sändmappen.").arg(f));
                words << path;
            }
        } else if (what != QLatin1String("compare")) {
            const QStringList programs = Strings(body.value(QStringLiteral("programs")));
            if (programs.isEmpty()) return reply.error(Status::BadRequest, QStringLiteral("Inga program angivna (\"programs\")."));
            for (const QString& p : programs)
                if (!PlainName(p)) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt programnamn \"%1\".").arg(p));
            words << programs;
        }
        return verb(machine, words, reply);
    }
    reply.error(Status::NotFound, QStringLiteral("Sidan finns inte."));
}

// The send folder as the window's list shows it.
void WebServer::library(Station& st, Reply& reply) {
    QJsonArray out;
    for (const LocalFile& f : ScanProgramFolder(st.Machine.SendPath, QStringLiteral("*.") + st.Machine.Extension, true)) {
        if (!f.exists) continue;
        out.append(QJsonObject{{QStringLiteral("name"), f.name},
                               {QStringLiteral("size"), double(f.size)},
                               {QStringLiteral("sizeText"), SizeText(f.size)},
                               {QStringLiteral("date"), GeneralDate(QDateTime::fromMSecsSinceEpoch(f.modified))},
                               {QStringLiteral("fileComment"), f.fileComment},
                               {QStringLiteral("programComment"), f.programComment}});
    }
    reply.json(out);
}

void WebServer::upload(const QHttpServerRequest& request, const QString& machine, Station& st, const QString& file,
                       Reply& reply) {
    if (!PlainName(file)) return reply.error(Status::BadRequest, QStringLiteral("Ogiltigt filnamn \"%1\".").arg(file));
    const QString name = NameWithoutExt(file).isEmpty() ? file : NameWithoutExt(file);
    const QString why = ProgramNameRefusal(name, st.Machine);
    if (!why.isEmpty())
        return reply.error(Status::BadRequest, QStringLiteral("ogiltigt programnamn \"%1\" (filen \"%2\"): %3.").arg(name, file, why));
    const QByteArray body = request.body();
    if (general_.MaxProgramMB > 0 && body.size() > qint64(general_.MaxProgramMB) * 1024 * 1024)
        return reply.error(Status::PayloadTooLarge,
                           QStringLiteral("Programmet är större än MaxProgramMB (%1 MB).").arg(general_.MaxProgramMB));
    const QString path = st.Machine.SendPath + QLatin1Char('/') + file;
    const bool existed = QFileInfo::exists(path);
    const FileResult kept = KeepVersion(path, QStringLiteral("webben"));
    if (!kept.ok) return reply.error(Status::InternalServerError, kept.message());
    QSaveFile out(path);
    if (!out.open(QIODevice::WriteOnly) || out.write(body) != body.size() || !out.commit())
        return reply.error(Status::InternalServerError, QStringLiteral("Filen \"%1\" kunde inte skrivas: %2").arg(file, out.errorString()));
    st.AddLog(QStringLiteral("Webben: \"%1\" lades i sändmappen (%2 tecken).").arg(file).arg(body.size()));
    Q_UNUSED(machine);
    reply.json(QJsonObject{{QStringLiteral("file"), file}, {QStringLiteral("size"), double(body.size())}},
               existed ? Status::Ok : Status::Created);
}

void WebServer::verb(const QString& machine, const QStringList& words, Reply& reply,
                     const std::function<QJsonObject(const QStringList&)>& extra) {
    // The reply outlives this call through handle(); here it is reached by pointer.
    Reply* r = &reply;
    queue_.push_back([this, machine, words, r, extra] {
        CollectIO io;
        const auto& rows = traffic(machine);
        const qint64 before = rows.empty() ? 0 : rows.back().id;
        const int code = shop_.runVerb(words, io);
        // The machine said "08" (no such program) to one of the verb's requests.
        bool unknown = false;
        for (auto it = rows.rbegin(); it != rows.rend() && it->id > before; ++it)
            unknown = unknown || (it->in && it->bytes.size() >= 19 && it->bytes.mid(17, 2) == "08");
        QJsonObject o{{QStringLiteral("exit"), code},
                      {QStringLiteral("out"), QJsonArray::fromStringList(io.outLines)},
                      {QStringLiteral("err"), QJsonArray::fromStringList(io.errLines)}};
        if (extra && code == 0) {
            const QJsonObject more = extra(io.outLines);
            for (auto it = more.begin(); it != more.end(); ++it) o.insert(it.key(), it.value());
        }
        if (code != 0 && !io.errLines.isEmpty()) o.insert(QStringLiteral("error"), io.errLines.join(QLatin1Char('\n')));
        // compare's 1 is its answer (something differs), not a failure.
        const bool compared = words.value(0) == QLatin1String("compare") && code == 1;
        r->json(o, compared ? Status::Ok : code != 0 && unknown ? Status::NotFound : ExitStatus(code));
    });
    if (!running_) QTimer::singleShot(0, this, &WebServer::runQueued);
}

void WebServer::runQueued() {
    if (running_) return;
    running_ = true;
    while (!queue_.empty()) {
        auto work = std::move(queue_.front());
        queue_.pop_front();
        work();
    }
    running_ = false;
}

void WebServer::openStream(QHttpServerResponder&& responder) {
    Stream s;
    s.responder = std::make_unique<QHttpServerResponder>(std::move(responder));
    s.socket = s.responder->socket();
    s.responder->writeStatusLine(Status::Ok);
    s.responder->writeHeaders({{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-cache"}, {"Connection", "keep-alive"}});
    s.responder->writeBody("retry: 2000\n\nevent: state\ndata: " + QJsonDocument(machinesJson()).toJson(QJsonDocument::Compact) + "\n\n");
    streams_.push_back(std::move(s));
    if (!tick_.isActive()) tick_.start();
}

void WebServer::broadcast(const QByteArray& event, const QByteArray& data) {
    const QByteArray chunk = "event: " + event + "\ndata: " + data + "\n\n";
    for (Stream& s : streams_)
        if (s.socket && s.socket->state() == QAbstractSocket::ConnectedState) s.socket->write(chunk);
}
