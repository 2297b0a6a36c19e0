#include "web/httpfront.h"
#include "common/log.h"
#include "web/httpfrontcore.h"

#include <QDeadlineTimer>
#include <QThread>

#include <microhttpd.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using httpfront::Refusal;

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
