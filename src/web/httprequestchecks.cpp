#include "web/httpfrontcore.h"

#include "common/log.h"

#include <QCryptographicHash>

#include <microhttpd.h>

#include <sys/socket.h>

#include <cstring>

using httpfront::Now;
using httpfront::Refusal;

namespace {

// Equal without the time telling how much of the start matched.
bool SameSecret(const QByteArray& a, const QByteArray& b) {
    const QByteArray x = QCryptographicHash::hash(a, QCryptographicHash::Sha256);
    const QByteArray y = QCryptographicHash::hash(b, QCryptographicHash::Sha256);
    unsigned char diff = 0;
    for (qsizetype i = 0; i < x.size(); ++i) diff |= static_cast<unsigned char>(x[i] ^ y[i]);
    return diff == 0;
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

bool HttpFront::Core::blocked(const QHostAddress& peer) {
    std::lock_guard lock(missMutex);
    const auto it = misses.constFind(peer);
    return it != misses.cend() && Now() < it->until;
}

void HttpFront::Core::missed(const QHostAddress& peer) {
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

MHD_Result HttpFront::Core::countHeader(void* cls, MHD_ValueKind kind, const char* key, const char* value) {
    auto* h = static_cast<Headers*>(cls);
    h->bytes += qsizetype(std::strlen(key)) + (value ? qsizetype(std::strlen(value)) : 0) + 4;
    if (kind == MHD_HEADER_KIND) {
        if (strcasecmp(key, "Content-Length") == 0) ++h->lengths;
        if (strcasecmp(key, "Host") == 0) ++h->hosts;
        if (strcasecmp(key, "Transfer-Encoding") == 0) h->chunked = true;
    }
    return MHD_YES;
}

bool HttpFront::Core::hostAllowed(MHD_Connection* c, const char* given) {
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

bool HttpFront::Core::keyGiven(MHD_Connection* c, QString* name) const {
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

MHD_Result HttpFront::Core::begin(MHD_Connection* c, const char* url, const char* method, const char* version,
                                         void** context) {
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
