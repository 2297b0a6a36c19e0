#include "web/httpfront.h"
#include "common/log.h"
#include "web/spooledbody.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QHash>
#include <QMetaObject>
#include <QThread>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace {
// On every answer the front makes: no framing, no guessing of types, no
// script or style from elsewhere, no address handed on.
const char* const kSecurity[][2] = {
    {"Content-Security-Policy", "default-src 'self'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"X-Frame-Options", "DENY"},
};

constexpr int kSendBuffer = 64 * 1024;

QByteArray ErrorJson(const QString& text) {
    QString escaped = text;
    escaped.replace(QLatin1Char('\\'), QLatin1String("\\\\")).replace(QLatin1Char('"'), QLatin1String("\\\""));
    return "{\"error\":\"" + escaped.toUtf8() + "\"}";
}

HttpAnswer Refusal(int status, const QString& text) {
    return HttpAnswer{status, "application/json; charset=utf-8", ErrorJson(text), false, {}};
}

// Equal without the time telling how much of the start matched.
bool SameSecret(const QByteArray& a, const QByteArray& b) {
    const QByteArray x = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray y = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    unsigned char diff = 0;
    for (qsizetype i = 0; i < x.size(); ++i) diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
}

qint64 Now() {
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

QHostAddress LocalAddress(int fd) {
    sockaddr_storage a{};
    socklen_t len = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return {};
    return Unmapped(QHostAddress(reinterpret_cast<sockaddr*>(&a)));
}

// What Host names: the host (brackets gone) and the port (80 when none).
bool SplitHost(const QByteArray& host, QByteArray* name, int* port) {
    QByteArray rest;
    if (host.startsWith('[')) {
        const qsizetype close = host.indexOf(']');
        if (close < 0) return false;
        *name = host.mid(1, close - 1);
        rest = host.mid(close + 1);
        if (!rest.isEmpty() && !rest.startsWith(':')) return false;
    } else {
        const qsizetype colon = host.indexOf(':');
        if (colon >= 0 && host.indexOf(':', colon + 1) >= 0) return false;  // IPv6 without brackets
        *name = colon < 0 ? host : host.left(colon);
        rest = colon < 0 ? QByteArray() : host.mid(colon);
    }
    if (rest.isEmpty()) {
        *port = 80;
        return !name->isEmpty();
    }
    rest.remove(0, 1);
    if (rest.isEmpty() || rest.size() > 5) return false;
    for (const char c : rest)
        if (c < '0' || c > '9') return false;
    *port = rest.toInt();
    return !name->isEmpty();
}
}  // namespace

// One request from its headers to its answer. The front's thread reads the
// body and queues the answer; the owner's thread fills the answer in.
struct HttpExchange {
    enum class State { Reading, Handed, Ready, Queued };
    MHD_Connection* connection = nullptr;
    HttpFront::Core* core = nullptr;
    HttpRequest request;
    qint64 cap = 0;
    QString spoolFolder;  // a PUT's body goes to a file there
    std::mutex mutex;
    State state = State::Reading;  // under mutex
    bool done = false;             // sent, or the connection is gone (under mutex)
    HttpAnswer answer;
    std::shared_ptr<struct StreamState> stream;
};

struct StreamState : HttpStream {
    mutable std::mutex mutex;
    MHD_Connection* connection = nullptr;
    QByteArray queue;
    qsizetype sent = 0;  // of queue, taken by the front
    qsizetype limit = 0;
    bool suspended = false, dropped = false, ending = false, gone = false;
    std::atomic<int>* count = nullptr;

    bool push(const QByteArray& bytes) override {
        std::lock_guard lock(mutex);
        if (gone || dropped || ending) return false;
        if (queue.size() - sent + bytes.size() > limit) {
            dropped = true;
            queue.clear();
            sent = 0;
        } else {
            queue += bytes;
        }
        wake();
        return !dropped;
    }
    bool alive() const override {
        std::lock_guard lock(mutex);
        return !gone && !dropped && !ending;
    }
    void end() {
        std::lock_guard lock(mutex);
        ending = true;
        wake();
    }
    // Under mutex.
    void wake() {
        if (!suspended) return;
        suspended = false;
        MHD_resume_connection(connection);
    }
};

struct HttpFront::Core {
    HttpFront* front = nullptr;
    HttpLimits limits;
    HttpFront::SpoolFolder spool;
    // The rules, changed on a reload while the front's thread reads them.
    mutable std::mutex rulesMutex;
    HostFilter allowed;
    QList<QByteArray> hostNames;  // lower case
    HttpKeys keys;
    bool hasToken() const {
        std::lock_guard lock(rulesMutex);
        return !keys.isEmpty();
    }
    quint16 port = 0;
    MHD_Daemon* daemon = nullptr;
    std::atomic<bool> closing{false};
    std::atomic<int> streams{0};

    // Requests with the owner and the streams, for the end.
    std::mutex heldMutex;
    std::vector<std::weak_ptr<HttpExchange>> handed;
    // Requests posted to the owner's thread and not yet taken up: at most a
    // few, so that a flood is a short queue in front of a machine's own
    // events there, never a long one. The rest wait here, in order.
    static constexpr int kPostedAtOnce = 4;
    int posted = 0;
    std::deque<std::shared_ptr<HttpExchange>> pending;
    void post(const std::shared_ptr<HttpExchange>& ex) {
        ++posted;
        QMetaObject::invokeMethod(front, [f = front, ex] { f->deliver(ex); }, Qt::QueuedConnection);
    }
    std::vector<std::weak_ptr<StreamState>> open;

    // Each connection's fd and when its headers are due.
    struct Conn {
        int fd = -1;
        qint64 due = 0;
        bool waiting = true;  // for a request's headers, its body or its answer to be read: due counts
        bool cut = false;
        int requests = 0;
        QHostAddress peer;
    };
    std::mutex connMutex;
    std::unordered_map<MHD_Connection*, Conn> conns;

    // Refusals not yet handed to the owner's thread: (status, address) → count.
    std::mutex refusedMutex;
    QHash<QPair<int, QHostAddress>, qint64> refused;
    bool drainPosted = false;

    // From now, the connection's part (body or answer) is due within ms
    // plus a second for each minRate of bytes; none: no deadline.
    void due(MHD_Connection* c, std::optional<qint64> bytes, qint64 ms) {
        std::lock_guard lock(connMutex);
        const auto it = conns.find(c);
        if (it == conns.end()) return;
        it->second.waiting = bytes.has_value();
        if (bytes) it->second.due = Now() + ms + *bytes * 1000 / std::max<qint64>(1, limits.minRate);
    }

    // Wrong tokens by address: past the limit in a minute, the address is
    // refused (429) for a minute, so guessing the token takes for ever.
    struct Misses {
        qint64 since = 0, until = 0;
        int n = 0;
    };
    std::mutex missMutex;
    QHash<QHostAddress, Misses> misses;
    bool blocked(const QHostAddress& peer) {
        std::lock_guard lock(missMutex);
        const auto it = misses.constFind(peer);
        return it != misses.cend() && Now() < it->until;
    }
    void missed(const QHostAddress& peer) {
        std::lock_guard lock(missMutex);
        const qint64 now = Now();
        if (misses.size() > 4096) misses.removeIf([now](QHash<QHostAddress, Misses>::iterator it) { return now >= it->until; });
        Misses& m = misses[peer];
        if (now - m.since > 60000) m = Misses{now, 0, 0};
        if (++m.n != limits.wrongKeys) return;
        m.until = now + 60000;
        QMetaObject::invokeMethod(front, [peer, n = m.n] {
            AddLog(QStringLiteral("Webben: %1 gav fel nyckel %2 gånger på en minut och nekas (429) en minut.")
                       .arg(peer.toString(), QString::number(n)));
        }, Qt::QueuedConnection);
    }

    void refuse(int status, const QHostAddress& peer) {
        std::lock_guard lock(refusedMutex);
        // Past this many addresses at once, the rest share one line.
        const auto key = refused.size() < 4096 ? qMakePair(status, peer) : qMakePair(status, QHostAddress());
        ++refused[key];
        if (drainPosted) return;
        drainPosted = true;
        QMetaObject::invokeMethod(front, [f = front] { f->drainRefusals(); }, Qt::QueuedConnection);
    }

    // Queues exchange's answer (on the front's thread, in the access handler).
    MHD_Result queue(MHD_Connection* c, HttpExchange& ex, const HttpAnswer& a) {
        {
            std::lock_guard lock(ex.mutex);
            ex.state = HttpExchange::State::Queued;
        }
        MHD_Response* r = nullptr;
        if (ex.stream && a.status == 200) {
            r = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024, &Core::read,
                                                  new std::shared_ptr<StreamState>(ex.stream), &Core::freeStream);
            MHD_add_response_header(r, "Cache-Control", "no-cache");
        } else {
            // The answer's own bytes, held until MHD is done with them: no copy.
            auto* held = new QByteArray(a.body);
            r = MHD_create_response_from_buffer_with_free_callback_cls(
                size_t(held->size()), const_cast<char*>(held->constData()), [](void* p) { delete static_cast<QByteArray*>(p); }, held);
            if (!r) delete held;
            if (a.noCache) MHD_add_response_header(r, "Cache-Control", "no-cache");
        }
        if (!r) return MHD_NO;
        due(c, ex.stream && a.status == 200 ? std::nullopt : std::optional<qint64>(a.body.size()), limits.answerMs);
        if (a.retryAfter > 0) MHD_add_response_header(r, "Retry-After", QByteArray::number(a.retryAfter).constData());
        if (!a.type.isEmpty()) MHD_add_response_header(r, "Content-Type", a.type.constData());
        for (const auto& h : kSecurity) MHD_add_response_header(r, h[0], h[1]);
        if (a.status == 405) MHD_add_response_header(r, "Allow", "GET, HEAD, POST, PUT, DELETE");
        if (!a.location.isEmpty()) MHD_add_response_header(r, "Location", a.location.constData());
        const MHD_Result ok = MHD_queue_response(c, unsigned(a.status), r);
        MHD_destroy_response(r);
        return ok;
    }

    MHD_Result refuseNow(MHD_Connection* c, HttpExchange& ex, int status, const QString& text) {
        refuse(status, ex.request.peer);
        return queue(c, ex, Refusal(status, text));
    }

    // Hands a complete request to the owner's thread and waits, suspended,
    // for its answer.
    MHD_Result hand(MHD_Connection* c, const std::shared_ptr<HttpExchange>& ex) {
        std::lock_guard lock(heldMutex);
        if (closing) return queue(c, *ex, Refusal(503, QStringLiteral("Servern stannar.")));
        {
            std::lock_guard exLock(ex->mutex);
            ex->state = HttpExchange::State::Handed;
        }
        std::erase_if(handed, [](const auto& w) { return w.expired(); });
        handed.push_back(ex);
        due(c, std::nullopt, 0);  // the owner's time, not the client's
        MHD_suspend_connection(c);
        if (posted < kPostedAtOnce) post(ex);
        else pending.push_back(ex);
        return MHD_YES;
    }

    struct Headers {
        qsizetype bytes = 0;
        int lengths = 0, hosts = 0;
        bool chunked = false;
    };
    static MHD_Result countHeader(void* cls, MHD_ValueKind kind, const char* key, const char* value) {
        auto* h = static_cast<Headers*>(cls);
        h->bytes += qsizetype(std::strlen(key)) + (value ? qsizetype(std::strlen(value)) : 0) + 4;
        if (kind == MHD_HEADER_KIND) {
            if (strcasecmp(key, "Content-Length") == 0) ++h->lengths;
            if (strcasecmp(key, "Host") == 0) ++h->hosts;
            if (strcasecmp(key, "Transfer-Encoding") == 0) h->chunked = true;
        }
        return MHD_YES;
    }

    bool hostAllowed(MHD_Connection* c, const char* given) {
        QByteArray name;
        int port = 0;
        if (!given || !SplitHost(QByteArray(given).trimmed().toLower(), &name, &port) || port != this->port) return false;
        {
            std::lock_guard lock(rulesMutex);
            if (hostNames.contains(name)) return true;
        }
        const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
        const QHostAddress local = fd ? LocalAddress(fd->connect_fd) : QHostAddress();
        if (name == "localhost") return local.isLoopback();
        const QHostAddress literal(QString::fromLatin1(name));
        return !literal.isNull() && !local.isNull() && Unmapped(literal) == local;
    }

    // Whose key came (*name empty: the shared one); every key is compared,
    // so the time taken tells nothing of which was near.
    bool keyGiven(MHD_Connection* c, QString* name) const {
        std::lock_guard lock(rulesMutex);
        const QByteArray auth = QByteArray(MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Authorization")).trimmed();
        const qsizetype space = auth.indexOf(' ');
        if (space < 0 || auth.left(space).toLower() != "bearer") return false;
        const QByteArray given = auth.mid(space + 1).trimmed();
        bool found = false;
        for (const HttpKey& k : keys)
            if (SameSecret(given, k.token) && !found) {
                found = true;
                *name = k.name;
            }
        return found;
    }

    // The first call for a request, its headers complete: every check that
    // needs no body.
    MHD_Result begin(MHD_Connection* c, const char* url, const char* method, const char* version, void** context) {
        {
            std::lock_guard lock(connMutex);
            const auto it = conns.find(c);
            if (it != conns.end()) {
                // The body is due from now; its length sets the time below.
                it->second.due = Now() + limits.bodyMs;
                ++it->second.requests;
            }
        }
        auto ex = std::make_shared<HttpExchange>();
        ex->connection = c;
        ex->core = this;
        *context = new std::shared_ptr<HttpExchange>(ex);
        const MHD_ConnectionInfo* client = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
        ex->request.peer = client ? Unmapped(QHostAddress(client->client_addr)) : QHostAddress();
        ex->request.path = url;
        MHD_get_connection_values(
            c, MHD_GET_ARGUMENT_KIND,
            [](void* into, MHD_ValueKind, const char* key, const char* value) {
                // Handed over as sent, still percent-encoded.
                static_cast<QMap<QByteArray, QByteArray>*>(into)->insert(
                    QByteArray::fromPercentEncoding(key), QByteArray::fromPercentEncoding(value ? value : ""));
                return MHD_YES;
            },
            &ex->request.args);
        const QByteArray m(method);
        ex->request.head = m == "HEAD";
        ex->request.method = ex->request.head ? QByteArray("GET") : m;

        if (closing) return queue(c, *ex, Refusal(503, QStringLiteral("Servern stannar.")));
        Headers h;
        h.bytes = qsizetype(std::strlen(method) + std::strlen(url) + std::strlen(version) + 4);
        MHD_get_connection_values(c, MHD_HEADER_KIND, &Core::countHeader, &h);
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, &Core::countHeader, &h);
        if (h.bytes > limits.headerBytes)
            return refuseNow(c, *ex, 431, QStringLiteral("Begärans rad och huvuden är större än %1 byte.").arg(limits.headerBytes));
        if (h.hosts > 1 || h.lengths > 1 || (h.lengths > 0 && h.chunked))
            return refuseNow(c, *ex, 400, QStringLiteral("Dubbla Host- eller längdhuvuden."));
        if (!hostAllowed(c, MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Host")))
            return refuseNow(c, *ex, 421, QStringLiteral("Host är inte webbsidans adress."));
        const QByteArray& verb = ex->request.method;
        const bool changing = verb == "POST" || verb == "PUT" || verb == "DELETE";
        if (!changing && verb != "GET") return refuseNow(c, *ex, 405, QStringLiteral("Metoden stöds inte."));
        // A body on a GET is only a way to hold the connection.
        const char* length = MHD_lookup_connection_value(c, MHD_HEADER_KIND, "Content-Length");
        if (!changing && (h.chunked || (length && QByteArray(length).trimmed() != "0")))
            return refuseNow(c, *ex, 400, QStringLiteral("En GET eller HEAD har ingen kropp."));
        if (verb == "PUT" && spool) ex->spoolFolder = spool(ex->request.path);
        ex->cap = !ex->spoolFolder.isEmpty() ? limits.bodyBytes : limits.jsonBytes;
        // MHD itself answers a Content-Length that is no number (400) or
        // past 2^64 (413); one within that but over the cap is refused here,
        // before any byte of the body is read.
        qint64 expected = ex->cap;
        if (length) {
            bool ok = false;
            const qulonglong n = QByteArray(length).toULongLong(&ok);
            if (!ok) return refuseNow(c, *ex, 400, QStringLiteral("Ogiltig Content-Length."));
            if (n > qulonglong(ex->cap))
                return refuseNow(c, *ex, 413,
                                 QStringLiteral("Kroppen är större än %1 byte (WebMaxBodyMB, MaxProgramMB).").arg(ex->cap));
            expected = qint64(n);
        }
        due(c, expected, limits.bodyMs);
        if (changing) {
            if (!hasToken())
                return refuseNow(c, *ex, 403, QStringLiteral("Webbsidan är skrivskyddad: ingen WebToken är satt."));
            if (blocked(ex->request.peer)) {
                HttpAnswer a = Refusal(429, QStringLiteral("För många fel nycklar; försök igen om en minut."));
                a.retryAfter = 60;
                refuse(429, ex->request.peer);
                return queue(c, *ex, a);
            }
            if (!keyGiven(c, &ex->request.user)) {
                missed(ex->request.peer);
                return refuseNow(c, *ex, 401, QStringLiteral("Fel eller saknad nyckel."));
            }
            return MHD_YES;  // the body comes
        }
        return MHD_YES;  // nothing more to read; handed on the next call
    }

    static MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                             const char* upload, size_t* size, void** context) {
        auto* core = static_cast<Core*>(cls);
        if (!*context) return core->begin(c, url, method, version, context);
        const std::shared_ptr<HttpExchange> ex = *static_cast<std::shared_ptr<HttpExchange>*>(*context);
        HttpExchange::State state;
        {
            std::lock_guard lock(ex->mutex);
            state = ex->state;
        }
        if (state == HttpExchange::State::Ready) return core->queue(c, *ex, ex->answer);
        if (state != HttpExchange::State::Reading) {
            *size = 0;  // answered already: the rest is not wanted
            return MHD_YES;
        }
        if (*size > 0) {
            if (ex->request.bodySize + qint64(*size) > ex->cap) {
                // A chunked body at the cap: refused as it comes (when MHD
                // takes no answer here, the connection is closed).
                *size = 0;
                core->refuse(413, ex->request.peer);
                return core->queue(c, *ex, Refusal(413, QStringLiteral("Kroppen är större än %1 byte.").arg(ex->cap)));
            }
            if (ex->spoolFolder.isEmpty()) {
                ex->request.body.append(upload, qsizetype(*size));
            } else {
                if (!ex->request.spooled) ex->request.spooled = std::make_shared<SpooledBody>(ex->spoolFolder);
                SpooledBody& file = *ex->request.spooled;
                if (!file.write(upload, qint64(*size))) {
                    *size = 0;
                    return core->refuseNow(c, *ex, 500, QStringLiteral("Filen kunde inte tas emot: %1.").arg(file.why()));
                }
            }
            ex->request.bodySize += qint64(*size);
            *size = 0;
            return MHD_YES;
        }
        if (ex->request.spooled) ex->request.spooled->close();
        return core->hand(c, ex);
    }

    static void completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
        auto* holder = static_cast<std::shared_ptr<HttpExchange>*>(*context);
        if (!holder) return;
        {
            std::lock_guard lock((*holder)->mutex);
            (*holder)->done = true;
        }
        delete holder;
        *context = nullptr;
    }

    static MHD_Result accept(void* cls, const sockaddr* address, socklen_t) {
        auto* core = static_cast<Core*>(cls);
        const QHostAddress peer = Unmapped(QHostAddress(address));
        {
            std::lock_guard lock(core->rulesMutex);
            if (core->allowed.allows(peer)) return MHD_YES;
        }
        core->refuse(0, peer);
        return MHD_NO;
    }

    static void notify(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
        auto* core = static_cast<Core*>(cls);
        std::lock_guard lock(core->connMutex);
        if (code == MHD_CONNECTION_NOTIFY_STARTED) {
            const MHD_ConnectionInfo* fd = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CONNECTION_FD);
            const MHD_ConnectionInfo* from = MHD_get_connection_info(c, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            core->conns[c] = Conn{fd ? fd->connect_fd : -1, Now() + core->limits.headerMs, true, false, 0,
                                  from ? Unmapped(QHostAddress(from->client_addr)) : QHostAddress()};
            // What the system holds for a client that does not read stays
            // small too: the unsent rest waits in the front, where it counts.
            const int send = kSendBuffer;
            if (fd) ::setsockopt(fd->connect_fd, SOL_SOCKET, SO_SNDBUF, &send, sizeof send);
        } else {
            // Before MHD closes the descriptor: the sweep no longer touches it.
            core->conns.erase(c);
        }
    }

    // A request line has come: on a connection kept open, its headers are due from now.
    static void* uri(void* cls, const char*, MHD_Connection* c) {
        auto* core = static_cast<Core*>(cls);
        std::lock_guard lock(core->connMutex);
        const auto it = core->conns.find(c);
        if (it != core->conns.end() && it->second.requests > 0) {
            it->second.waiting = true;
            it->second.due = Now() + core->limits.headerMs;
        }
        return nullptr;
    }

    // The path as sent: split into names before it is decoded.
    static size_t keepEscapes(void*, MHD_Connection*, char* s) { return std::strlen(s); }

    // Closes the connections whose headers, body or answer are late.
    void sweep() {
        const qint64 now = Now();
        std::lock_guard lock(connMutex);
        for (auto& [c, conn] : conns)
            if (conn.waiting && !conn.cut && now >= conn.due && conn.fd >= 0) {
                conn.cut = true;
                ::shutdown(conn.fd, SHUT_RDWR);
            }
    }

    static ssize_t read(void* cls, uint64_t, char* buffer, size_t max) {
        StreamState& s = **static_cast<std::shared_ptr<StreamState>*>(cls);
        std::lock_guard lock(s.mutex);
        if (s.dropped) return MHD_CONTENT_READER_END_WITH_ERROR;
        const qsizetype left = s.queue.size() - s.sent;
        if (left > 0) {
            const qsizetype n = std::min<qsizetype>(left, qsizetype(max));
            std::memcpy(buffer, s.queue.constData() + s.sent, size_t(n));
            s.sent += n;
            if (s.sent == s.queue.size()) {
                s.queue.clear();
                s.sent = 0;
            } else if (s.sent > 64 * 1024) {
                s.queue.remove(0, s.sent);
                s.sent = 0;
            }
            return ssize_t(n);
        }
        if (s.ending) return MHD_CONTENT_READER_END_OF_STREAM;
        // Nothing to send: asleep until the next push.
        s.suspended = true;
        MHD_suspend_connection(s.connection);
        return 0;
    }

    static void freeStream(void* cls) {
        auto* holder = static_cast<std::shared_ptr<StreamState>*>(cls);
        {
            std::lock_guard lock((*holder)->mutex);
            (*holder)->gone = true;
            --*(*holder)->count;
        }
        delete holder;
    }
};

HttpFront::HttpFront(const HttpLimits& limits, const HostFilter& allowed, const QStringList& hostNames, const HttpKeys& keys,
                     Handler handler, Refused refused, QObject* parent)
    : QObject(parent),
      core_(std::make_unique<Core>()),
      handler_(std::move(handler)),
      refusedCount_(std::move(refused)),
      connections_({}, {}, RefusalLog::Worded(QStringLiteral("Webben: anslutning från"),
                                               QStringLiteral(" (inte i WebAllowedHosts)."))),
      keys_({}, {}, RefusalLog::Worded(QStringLiteral("Webben: begäran från"), QStringLiteral(": fel eller saknad nyckel."))),
      hosts_({}, {}, RefusalLog::Worded(QStringLiteral("Webben: begäran från"), QStringLiteral(": Host är inte webbsidans."))) {
    core_->front = this;
    core_->limits = limits;
    core_->allowed = allowed;
    for (const QString& n : hostNames)
        if (!n.trimmed().isEmpty()) core_->hostNames << n.trimmed().toLower().toUtf8();
    core_->keys = keys;
    sweep_.setInterval(std::clamp(limits.headerMs / 4, 50, 1000));
    connect(&sweep_, &QTimer::timeout, this, [this] { core_->sweep(); });
}

HttpFront::~HttpFront() {
    if (!core_->daemon) return;
    // Nothing new is handed on; what waits for an answer is answered, and
    // the streams end, so that no connection stays suspended.
    {
        std::lock_guard lock(core_->heldMutex);
        core_->closing = true;
        for (const auto& w : core_->handed)
            if (const auto ex = w.lock()) {
                std::lock_guard exLock(ex->mutex);
                if (ex->state != HttpExchange::State::Handed) continue;
                ex->answer = Refusal(503, QStringLiteral("Servern stannar."));
                ex->state = HttpExchange::State::Ready;
                MHD_resume_connection(ex->connection);
            }
        for (const auto& w : core_->open)
            if (const auto s = w.lock()) s->end();
    }
    // A moment for those answers to go out; then every connection is closed.
    const QDeadlineTimer until(1000);
    for (bool waiting = true; waiting && !until.hasExpired(); QThread::msleep(10)) {
        waiting = false;
        std::lock_guard lock(core_->heldMutex);
        for (const auto& w : core_->handed)
            if (const auto ex = w.lock()) {
                std::lock_guard exLock(ex->mutex);
                waiting = waiting || !ex->done;
            }
    }
    MHD_stop_daemon(core_->daemon);
}

bool HttpFront::listen(const QHostAddress& address, quint16 port, QString* error) {
    const bool v6 = address.protocol() == QAbstractSocket::IPv6Protocol;
    const int fd = ::socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_storage a{};
    socklen_t len = 0;
    if (v6) {
        auto* s6 = reinterpret_cast<sockaddr_in6*>(&a);
        s6->sin6_family = AF_INET6;
        s6->sin6_port = htons(port);
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        std::memcpy(&s6->sin6_addr, bytes.c, 16);
        s6->sin6_scope_id = address.scopeId().toUInt();
        len = sizeof(sockaddr_in6);
    } else {
        auto* s4 = reinterpret_cast<sockaddr_in*>(&a);
        s4->sin_family = AF_INET;
        s4->sin_port = htons(port);
        s4->sin_addr.s_addr = htonl(address.toIPv4Address());
        len = sizeof(sockaddr_in);
    }
    const int one = 1;
    const bool bound = fd >= 0 && ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0 &&
                       (!v6 || ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one) == 0) &&
                       ::bind(fd, reinterpret_cast<sockaddr*>(&a), len) == 0 && ::listen(fd, 64) == 0;
    if (!bound) {
        *error = QStringLiteral("webbsidan kan inte lyssna på %1 port %2: %3.")
                     .arg(address.toString(), QString::number(port), QString::fromLocal8Bit(std::strerror(errno)));
        if (fd >= 0) ::close(fd);
        return false;
    }
    len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    core_->port = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&a)->sin6_port : reinterpret_cast<sockaddr_in*>(&a)->sin_port);

    // The web port's share of the descriptors: at most a quarter of the
    // process's limit, the rest kept for the machines' connections, files
    // and serial ports.
    HttpLimits& l = core_->limits;
    rlimit files{};
    if (getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur != RLIM_INFINITY) {
        const int share = int(std::max<rlim_t>(files.rlim_cur / 4, 8));
        if (l.connections > share) {
            AddLog(QStringLiteral("Webben: WebConnections %1 är mer än en fjärdedel av processens %2 filer; %3 används.")
                       .arg(QString::number(l.connections), QString::number(files.rlim_cur), QString::number(share)));
            l.connections = share;
        }
    }
    // epoll where there is one: no limit on the descriptors' numbers.
    const unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_ALLOW_SUSPEND_RESUME;
    // Room for a request line and headers a little over the limit, so
    // that the front answers 431 itself; past that MHD answers it.
    const size_t memory = size_t(l.headerBytes) + 16 * 1024;
    core_->daemon = MHD_start_daemon(
        flags, 0, &Core::accept, core_.get(), &Core::access, core_.get(),  //
        MHD_OPTION_LISTEN_SOCKET, fd,                                        //
        MHD_OPTION_CONNECTION_LIMIT, unsigned(l.connections),               //
        MHD_OPTION_PER_IP_CONNECTION_LIMIT, unsigned(l.perAddress),         //
        MHD_OPTION_CONNECTION_TIMEOUT, unsigned(l.idleSeconds),             //
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, memory,                         //
        MHD_OPTION_NOTIFY_COMPLETED, &Core::completed, core_.get(),         //
        MHD_OPTION_NOTIFY_CONNECTION, &Core::notify, core_.get(),           //
        MHD_OPTION_URI_LOG_CALLBACK, &Core::uri, core_.get(),               //
        MHD_OPTION_UNESCAPE_CALLBACK, &Core::keepEscapes, core_.get(),      //
        MHD_OPTION_END);
    if (!core_->daemon) {
        ::close(fd);
        *error = QStringLiteral("webbsidan kan inte lyssna på %1 port %2.").arg(address.toString(), QString::number(port));
        return false;
    }
    sweep_.start();
    return true;
}

quint16 HttpFront::port() const { return core_->port; }

void HttpFront::setSpool(SpoolFolder folderFor) { core_->spool = std::move(folderFor); }

void HttpFront::setRules(const HostFilter& allowed, const QStringList& hostNames, const HttpKeys& keys) {
    {
        std::lock_guard lock(core_->rulesMutex);
        core_->allowed = allowed;
        core_->hostNames.clear();
        for (const QString& n : hostNames)
            if (!n.trimmed().isEmpty()) core_->hostNames << n.trimmed().toLower().toUtf8();
        core_->keys = keys;
    }
    // Those let in before and refused now are closed; the token and Host
    // are checked again on each request.
    std::lock_guard lock(core_->connMutex);
    for (auto& [c, conn] : core_->conns)
        if (!conn.cut && conn.fd >= 0 && !allowed.allows(conn.peer)) {
            conn.cut = true;
            ::shutdown(conn.fd, SHUT_RDWR);
        }
}

void HttpFront::deliver(const std::shared_ptr<HttpExchange>& exchange) {
    handler_(exchange->request, exchange);
    // The next waiting request goes behind whatever the thread has meanwhile.
    std::lock_guard lock(core_->heldMutex);
    --core_->posted;
    for (; core_->posted < Core::kPostedAtOnce && !core_->pending.empty(); core_->pending.pop_front())
        core_->post(core_->pending.front());
}

void HttpFront::answer(const std::shared_ptr<HttpExchange>& exchange, const HttpAnswer& answer) {
    if (!exchange) return;
    std::lock_guard lock(exchange->mutex);
    if (exchange->state != HttpExchange::State::Handed) return;
    exchange->answer = answer;
    exchange->state = HttpExchange::State::Ready;
    MHD_resume_connection(exchange->connection);
}

std::shared_ptr<HttpStream> HttpFront::stream(const std::shared_ptr<HttpExchange>& exchange, const QByteArray& first) {
    if (core_->streams >= core_->limits.streams) {
        answer(exchange, Refusal(503, QStringLiteral("För många händelseströmmar.")));
        core_->refuse(503, exchange->request.peer);
        return nullptr;
    }
    auto s = std::make_shared<StreamState>();
    s->connection = exchange->connection;
    s->limit = core_->limits.streamQueue;
    s->queue = first;
    s->count = &core_->streams;
    ++core_->streams;
    {
        std::lock_guard lock(core_->heldMutex);
        std::erase_if(core_->open, [](const auto& w) { return w.expired(); });
        core_->open.push_back(s);
    }
    {
        std::lock_guard lock(exchange->mutex);
        exchange->stream = s;
    }
    answer(exchange, HttpAnswer{200, "text/event-stream", {}, true});
    return s;
}

void HttpFront::drainRefusals() {
    QHash<QPair<int, QHostAddress>, qint64> taken;
    {
        std::lock_guard lock(core_->refusedMutex);
        taken.swap(core_->refused);
        core_->drainPosted = false;
    }
    for (auto it = taken.begin(); it != taken.end(); ++it) {
        const auto [status, peer] = it.key();
        if (refusedCount_) refusedCount_(status, it.value());
        if (status == 0) connections_.refused(peer, it.value());
        if (status == 401) keys_.refused(peer, it.value());
        if (status == 421) hosts_.refused(peer, it.value());
    }
}
