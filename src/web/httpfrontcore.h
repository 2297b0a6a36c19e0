#pragma once
// The front's own thread, shared by its files: a request under way, an event
// stream, and the core that libmicrohttpd calls back (see httpfront.h).
#include "web/httpfront.h"

#include <QHash>
#include <QMetaObject>

#include <microhttpd.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <vector>

namespace httpfront {

// Milliseconds on a clock of the process's own.
qint64 Now();
// A refusal's answer: the status and text as JSON.
HttpAnswer Refusal(int status, const QString& text);

}  // namespace httpfront

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
    void due(MHD_Connection* c, std::optional<qint64> bytes, qint64 ms);

    // Wrong tokens by address: past the limit in a minute, the address is
    // refused (429) for a minute, so guessing the token takes for ever.
    struct Misses {
        qint64 since = 0, until = 0;
        int n = 0;
    };
    std::mutex missMutex;
    QHash<QHostAddress, Misses> misses;
    bool blocked(const QHostAddress& peer);
    void missed(const QHostAddress& peer);

    void refuse(int status, const QHostAddress& peer);

    // Queues exchange's answer (on the front's thread, in the access handler).
    MHD_Result queue(MHD_Connection* c, HttpExchange& ex, const HttpAnswer& a);
    MHD_Result refuseNow(MHD_Connection* c, HttpExchange& ex, int status, const QString& text);

    // Hands a complete request to the owner's thread and waits, suspended,
    // for its answer.
    MHD_Result hand(MHD_Connection* c, const std::shared_ptr<HttpExchange>& ex);

    struct Headers {
        qsizetype bytes = 0;
        int lengths = 0, hosts = 0;
        bool chunked = false;
    };
    static MHD_Result countHeader(void* cls, MHD_ValueKind kind, const char* key, const char* value);
    bool hostAllowed(MHD_Connection* c, const char* given);

    // Whose key came (*name empty: the shared one); every key is compared,
    // so the time taken tells nothing of which was near.
    bool keyGiven(MHD_Connection* c, QString* name) const;

    // The first call for a request, its headers complete: every check that
    // needs no body.
    MHD_Result begin(MHD_Connection* c, const char* url, const char* method, const char* version, void** context);

    // The calls libmicrohttpd makes.
    static MHD_Result access(void* cls, MHD_Connection* c, const char* url, const char* method, const char* version,
                             const char* upload, size_t* size, void** context);
    static void completed(void*, MHD_Connection*, void** context, MHD_RequestTerminationCode);
    static MHD_Result accept(void* cls, const sockaddr* address, socklen_t);
    static void notify(void* cls, MHD_Connection* c, void**, MHD_ConnectionNotificationCode code);
    // A request line has come: on a connection kept open, its headers are due from now.
    static void* uri(void* cls, const char*, MHD_Connection* c);
    // The path as sent: split into names before it is decoded.
    static size_t keepEscapes(void*, MHD_Connection*, char* s) { return std::strlen(s); }

    // Closes the connections whose headers, body or answer are late.
    void sweep();

    // An event stream's bytes for MHD, and its end.
    static ssize_t read(void* cls, uint64_t, char* buffer, size_t max);
    static void freeStream(void* cls);
};
