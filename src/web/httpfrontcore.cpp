#include "web/httpfrontcore.h"

#include "common/log.h"
#include "web/spooledbody.h"

#include <QElapsedTimer>

#include <microhttpd.h>

#include <sys/socket.h>

#include <algorithm>
#include <cstring>

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

}  // namespace

namespace httpfront {

HttpAnswer Refusal(int status, const QString& text) {
    return HttpAnswer{status, "application/json; charset=utf-8", ErrorJson(text), false, {}};
}

qint64 Now() {
    static const QElapsedTimer started = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return started.elapsed();
}

}  // namespace httpfront

using httpfront::Now;
using httpfront::Refusal;

void HttpFront::Core::due(MHD_Connection* c, std::optional<qint64> bytes, qint64 ms) {
    std::lock_guard lock(connMutex);
    const auto it = conns.find(c);
    if (it == conns.end()) return;
    it->second.waiting = bytes.has_value();
    if (bytes) it->second.due = Now() + ms + *bytes * 1000 / std::max<qint64>(1, limits.minRate);
}

void HttpFront::Core::refuse(int status, const QHostAddress& peer) {
    std::lock_guard lock(refusedMutex);
    // Past this many addresses at once, the rest share one line.
    const auto key = refused.size() < 4096 ? qMakePair(status, peer) : qMakePair(status, QHostAddress());
    ++refused[key];
    if (drainPosted) return;
    drainPosted = true;
    QMetaObject::invokeMethod(front, [f = front] { f->drainRefusals(); }, Qt::QueuedConnection);
}

MHD_Result HttpFront::Core::queue(MHD_Connection* c, HttpExchange& ex, const HttpAnswer& a) {
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

MHD_Result HttpFront::Core::refuseNow(MHD_Connection* c, HttpExchange& ex, int status, const QString& text) {
    refuse(status, ex.request.peer);
    return queue(c, ex, Refusal(status, text));
}

MHD_Result HttpFront::Core::hand(MHD_Connection* c, const std::shared_ptr<HttpExchange>& ex) {
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

MHD_Result HttpFront::Core::access(void* cls, MHD_Connection* c, const char* url, const char* method,
                                          const char* version, const char* upload, size_t* size, void** context) {
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

void HttpFront::Core::completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode) {
    auto* holder = static_cast<std::shared_ptr<HttpExchange>*>(*context);
    if (!holder) return;
    {
        std::lock_guard lock((*holder)->mutex);
        (*holder)->done = true;
    }
    delete holder;
    *context = nullptr;
}

MHD_Result HttpFront::Core::accept(void* cls, const sockaddr* address, socklen_t) {
    auto* core = static_cast<Core*>(cls);
    const QHostAddress peer = Unmapped(QHostAddress(address));
    {
        std::lock_guard lock(core->rulesMutex);
        if (core->allowed.allows(peer)) return MHD_YES;
    }
    core->refuse(0, peer);
    return MHD_NO;
}

void HttpFront::Core::notify(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code) {
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

void* HttpFront::Core::uri(void* cls, const char*, MHD_Connection* c) {
    auto* core = static_cast<Core*>(cls);
    std::lock_guard lock(core->connMutex);
    const auto it = core->conns.find(c);
    if (it != core->conns.end() && it->second.requests > 0) {
        it->second.waiting = true;
        it->second.due = Now() + core->limits.headerMs;
    }
    return nullptr;
}

void HttpFront::Core::sweep() {
    const qint64 now = Now();
    std::lock_guard lock(connMutex);
    for (auto& [c, conn] : conns)
        if (conn.waiting && !conn.cut && now >= conn.due && conn.fd >= 0) {
            conn.cut = true;
            ::shutdown(conn.fd, SHUT_RDWR);
        }
}

ssize_t HttpFront::Core::read(void* cls, uint64_t, char* buffer, size_t max) {
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

void HttpFront::Core::freeStream(void* cls) {
    auto* holder = static_cast<std::shared_ptr<StreamState>*>(cls);
    {
        std::lock_guard lock((*holder)->mutex);
        (*holder)->gone = true;
        --*(*holder)->count;
    }
    delete holder;
}
