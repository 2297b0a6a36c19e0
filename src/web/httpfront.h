#pragma once
// The web port's HTTP front, on GNU libmicrohttpd: a thread of its own
// accepts, reads and writes, and enforces every limit before it buffers
// anything: the address when the connection is accepted (closed with no
// byte read), the connections at once and from one address, the time and
// size of the request line and headers, Host, the token of a changing
// request, and the body's length from Content-Length (chunked bodies are
// counted as they come). Each complete request goes to the handler on the
// thread the front lives on; the answer goes back to the front's thread, and
// neither thread waits for the other.
#include "link/hostfilter.h"
#include "link/refusallog.h"
#include "web/webkeys.h"
#include <QByteArray>
#include <QMap>
#include <QHostAddress>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <functional>
#include <memory>

class SpooledBody;

struct HttpLimits {
    int connections = 64;   // at once; the descriptors the web port may hold
    int perAddress = 8;     // at once from one address
    int headerMs = 10000;   // request line and headers within this from the connection (later requests: from their line)
    int idleSeconds = 30;   // a connection that moves nothing for this long is closed
    // A body, and an answer, whole within this from their start, plus a
    // second for each minRate bytes: a trickle does not hold a connection.
    int bodyMs = 60000;
    int answerMs = 60000;
    qint64 minRate = 64 * 1024;
    qsizetype headerBytes = 16 * 1024;
    qint64 bodyBytes = 64 * 1024 * 1024;  // PUT
    qint64 jsonBytes = 1024 * 1024;       // POST
    int streams = 16;                     // event streams at once
    int wrongKeys = 32;                   // wrong tokens from one address in a minute before it gets 429 for a minute
    qsizetype streamQueue = 1024 * 1024;  // a stream's unsent bytes before it is dropped
};

struct HttpRequest {
    QByteArray method;  // GET, POST or PUT; HEAD comes as GET with head set
    bool head = false;
    QByteArray path;    // as sent, percent-encoded, without the query
    QMap<QByteArray, QByteArray> args;  // the query's arguments, decoded
    QHostAddress peer;
    QString user;  // the person whose own token came with it; empty: the shared one, or none
    QByteArray body;  // empty when spooled
    qint64 bodySize = 0;
    // An upload's body, in a file where the front's spool folder said.
    std::shared_ptr<SpooledBody> spooled;
};

struct HttpAnswer {
    int status = 200;
    QByteArray type;
    QByteArray body;
    bool noCache = false;
    QByteArray location;  // a Location header, when not empty
    int retryAfter = 0;   // seconds, a Retry-After header when not 0
};

// One request under way, from the handler until it is answered.
struct HttpExchange;

// An answer that goes on: events pushed as they come.
class HttpStream {
public:
    virtual ~HttpStream() = default;
    // False once the client has gone or was dropped (its unsent bytes passed the limit).
    virtual bool push(const QByteArray& bytes) = 0;
    virtual bool alive() const = 0;
};

class HttpFront : public QObject {
    Q_OBJECT
public:
    using Handler = std::function<void(const HttpRequest&, const std::shared_ptr<HttpExchange>&)>;
    // A request or connection turned away, by HTTP status (0: at the accept), n times.
    using Refused = std::function<void(int status, qint64 n)>;

    // allowed: who may connect; hostNames: names Host may carry besides the
    // address; keys: what changing requests carry (none: none may change).
    HttpFront(const HttpLimits& limits, const HostFilter& allowed, const QStringList& hostNames, const HttpKeys& keys,
              Handler handler, Refused refused, QObject* parent = nullptr);
    ~HttpFront() override;

    // Where a PUT to path has its body spooled (called on the front's
    // thread; empty: held in memory, up to the JSON body's limit). Set
    // before listen().
    using SpoolFolder = std::function<QString(const QByteArray& path)>;
    void setSpool(SpoolFolder folderFor);

    // New rules for requests from now on; connections from addresses that
    // allowed no longer lets in are closed.
    void setRules(const HostFilter& allowed, const QStringList& hostNames, const HttpKeys& keys);

    // False, with *error in Swedish, when the port cannot be listened on.
    bool listen(const QHostAddress& address, quint16 port, QString* error);
    quint16 port() const;

    // The answer to a request; only the first counts.
    void answer(const std::shared_ptr<HttpExchange>& exchange, const HttpAnswer& answer);
    // Answers with an event stream that starts with first; null (and 503
    // sent) when as many streams as allowed are open.
    std::shared_ptr<HttpStream> stream(const std::shared_ptr<HttpExchange>& exchange, const QByteArray& first);

    struct Core;

private:
    void deliver(const std::shared_ptr<HttpExchange>& exchange);
    void drainRefusals();

    std::unique_ptr<Core> core_;
    Handler handler_;
    Refused refusedCount_;
    RefusalLog connections_, keys_, hosts_;
    QTimer sweep_;
};
