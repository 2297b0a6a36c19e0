// The web port's HTTP front against `serve --all`, end to end and on
// loopback only: what each kind of request is answered, and the limits that
// keep a stranger on the web port from stopping the shop.
#include "webfixture.h"
#include "web/logtail.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QElapsedTimer>
#include <functional>
#include <QStandardPaths>
#include <QThread>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>

namespace {
quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// What arrives until the peer closes (closed) or ms pass without it, or
// until done says the bytes are complete; at most max bytes kept.
struct Got {
    QByteArray bytes;
    bool closed = false;
    qint64 ms = 0;
};
Got ReadUntilClosed(int fd, int ms, qsizetype max = 1 << 20,
                    const std::function<bool(const QByteArray&)>& done = {}) {
    Got g;
    QElapsedTimer t;
    t.start();
    char buffer[65536];
    while (t.elapsed() < ms && !(done && done(g.bytes))) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(ms - t.elapsed())) <= 0) continue;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            g.closed = true;
            break;
        }
        if (g.bytes.size() < max) g.bytes.append(buffer, n);
    }
    g.ms = t.elapsed();
    return g;
}

// One answer: its status, its header lines and its body.
struct Answer {
    int status = 0;
    QByteArray head, body;
    bool has(const QByteArray& line) const { return head.contains("\r\n" + line + "\r\n"); }
};
Answer Parse(const QByteArray& bytes) {
    Answer a;
    const qsizetype end = bytes.indexOf("\r\n\r\n");
    a.head = bytes.left(end + 2);
    a.body = end < 0 ? QByteArray() : bytes.mid(end + 4);
    a.status = bytes.mid(9, 3).toInt();
    return a;
}

// A machine's LOD on the machine port, answered with its program, within ms.
bool Lod(int fd, int ms = 1000) {
    Send(fd, Request("LOD", "O1"));
    const auto whole = [](const QByteArray& b) { return b.size() > 20 && b.endsWith('%'); };
    return whole(ReadUntilClosed(fd, ms, 1 << 20, whole).bytes);
}

const QByteArray kMachine = "Fräs \"4\" \\ %1";
const QByteArray kMachinePath = "/api/machines/Fr%C3%A4s%20%224%22%20%5C%20%251";

struct Served {
    TestHome home;
    QProcess process;
    quint16 port = 0, web = 0;
    // fileLimit: the server's soft limit of open files (0: as inherited).
    explicit Served(rlim_t fileLimit = 0, const QByteArray& token = "hemlig-nyckel-1234") {
        // The program a machine asks for: about 1 KB, so that each traffic row is one.
        home.write("ncprog/O1.NC", "(Fixtur <script>alert</script>)%\r\nO1\r\n" + QByteArray("G1 X10 Y10\r\n").repeated(80) + "%");
        home.ini("WebPort=" + QByteArray::number(FreePort()) + "\r\nMaxProgramMB=1\r\nWebToken=" + token +
                 "\r\nWebAllowedHosts=127.0.0.1, 127.0.1.0/24\r\nWebHeaderTimeout=2000\r\n" +
                 home.machine(1, QString::fromUtf8(kMachine), "IP=127.0.0.2\r\nPort=9\r\n"));
        if (fileLimit)
            process.setChildProcessModifier([fileLimit] {
                rlimit r{};
                getrlimit(RLIMIT_NOFILE, &r);
                r.rlim_cur = fileLimit;
                setrlimit(RLIMIT_NOFILE, &r);
            });
        port = home.serve(process, {"--all"});
        web = AwaitLine(process, "WEB").toUShort();
    }
    ~Served() {
        process.terminate();
        process.waitForFinished(kProcessMs);
    }
    QByteArray request(const QByteArray& method, const QByteArray& path, const QByteArray& headers = {},
                       const QByteArray& body = {}) const {
        QByteArray r = method + ' ' + path + " HTTP/1.1\r\nConnection: close\r\n";
        if (!headers.contains("Host:")) r += "Host: 127.0.0.1:" + QByteArray::number(web) + "\r\n";
        if (!headers.contains("Content-Length:") && (!body.isEmpty() || method == "PUT" || method == "POST"))
            r += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        return r + headers + "\r\n" + body;
    }
    // One request's answer: complete by its Content-Length, or when the server closes.
    Answer ask(const QByteArray& request, const char* from = nullptr) const {
        const int fd = Connect(web, from);
        Send(fd, request);
        const bool head = request.startsWith("HEAD ");
        const Got g = ReadUntilClosed(fd, 10000, 1 << 20, [head](const QByteArray& bytes) {
            const qsizetype end = bytes.indexOf("\r\n\r\n");
            const qsizetype at = bytes.toLower().indexOf("\r\ncontent-length: ");
            if (end < 0 || at < 0 || at > end) return false;
            const qint64 length = bytes.mid(at + 18, bytes.indexOf('\r', at + 2) - at - 18).trimmed().toLongLong();
            return head || bytes.size() - end - 4 >= length;
        });
        ::close(fd);
        return Parse(g.bytes);
    }
    qint64 kb(const char* key) const {
        const QByteArray status = ReadFile(QStringLiteral("/proc/%1/status").arg(process.processId()));
        return status.mid(status.indexOf(key) + qstrlen(key)).trimmed().split(' ').value(0).toLongLong();
    }
};
}  // namespace

TEST(WebFront, AnswersEachRequestByItsRules) {
    Served s;
    ASSERT_NE(s.web, 0);
    // A machine takes a program and stays: a transfer and a link for the metrics, under its odd name.
    const int machine = Connect(s.port, "127.0.0.2");
    ASSERT_TRUE(Lod(machine, 5000));

    const QByteArray m = kMachinePath, key = "Authorization: Bearer hemlig-nyckel-1234\r\n";
    const QByteArray web = QByteArray::number(s.web);
    struct Case {
        const char* what;
        QByteArray method, path, headers, body;
        int status;
        QByteArray contains;
        bool ours = true;  // the front's own answer, with its headers (not one MHD makes itself)
    } cases[] = {
        {"the page", "GET", "/", {}, {}, 200, "<h1>Verkstad</h1>"},
        {"its script", "GET", "/verkstad.js", {}, {}, 200, "textContent"},
        {"a comment as text", "GET", m + "/library", {}, {}, 200, "\"fileComment\":\"Fixtur <script>alert</script>\""},
        {"the traffic", "GET", m + "/traffic", {}, {}, 200, "\"command\":\"LOD\",\"direction\":\"in\""},
        {"no such machine", "GET", "/api/machines/Svarv%20Z/library", {}, {}, 404, "Okänd maskin"},
        {"no such route", "GET", "/api/ingenting", {}, {}, 404, "finns inte"},
        {"HEAD like GET without a body", "HEAD", "/", {}, {}, 200, {}},
        {"Host of another name", "GET", "/api/log", "Host: fenmo.example:" + web + "\r\n", {}, 421, "Host"},
        {"Host without the port", "GET", "/api/log", "Host: 127.0.0.1\r\n", {}, 421, "Host"},
        {"Host localhost on loopback", "GET", "/api/machines", "Host: localhost:" + web + "\r\n", {}, 200, "Fräs"},
        {"the held list, never asked", "GET", m + "/programs", {}, {}, 200, "\"time\":null"},
        {"asking for the list needs the token", "POST", m + "/programs", {}, {}, 401, "nyckel"},
        {"the scheme in lower case", "POST", m + "/programs", "Authorization: bearer hemlig-nyckel-1234\r\n", {}, 202, "\"kind\":\"list\""},
        {"a wrong token", "POST", m + "/programs", "Authorization: Bearer hemlig-nyckel-1235\r\n", {}, 401, "nyckel"},
        {"delete without yes", "POST", m + "/delete", key, R"({"programs":["O1"]})", 400, "bekräftelse saknas"},
        // A job is no command line: a name like a flag is only a name.
        {"a program name like a flag", "POST", m + "/fetch", key, R"({"programs":["--to=."]})", 202, "\"kind\":\"fetch\""},
        {"a file up a folder", "POST", m + "/send", key, R"({"files":["../O1.NC"]})", 400, "Ogiltigt filnamn"},
        {"a file on a drive", "POST", m + "/send", key, R"({"files":["C:O1.NC"]})", 400, "Ogiltigt filnamn"},
        {"no such file", "POST", m + "/send", key, R"({"files":["O7.NC"]})", 404, "finns inte"},
        {"a program in a folder", "POST", m + "/fetch", key, R"({"programs":["a/b"]})", 400, "Ogiltigt programnamn"},
        {"nobody on the machine's port", "POST", m + "/send", key, R"({"files":["O1.NC"]})", 202, "\"state\":\"queued\""},
        {"upload without the token", "PUT", m + "/library/O8.NC", {}, "X", 401, "nyckel"},
        {"upload: up a folder", "PUT", m + "/library/..%2FO8.NC", key, "X", 400, "Ogiltigt filnamn"},
        {"upload: a path", "PUT", m + "/library/%2Ftmp%2FO8.NC", key, "X", 400, "Ogiltigt filnamn"},
        {"upload: not a program name", "PUT", m + "/library/O1234567.NC", key, "X", 400, "ogiltigt programnamn"},
        {"upload: trailing blank", "PUT", m + "/library/O8.NC%20", key, "X", 400, "Ogiltigt filnamn"},
        {"upload: trailing dot", "PUT", m + "/library/O8.NC.", key, "X", 400, "Ogiltigt filnamn"},
        {"upload: device name", "PUT", m + "/library/CON.NC", key, "X", 400, "enhetsnamn"},
        {"upload: no name", "PUT", m + "/library/.NC", key, "X", 400, "tomt namn"},
        {"upload: another extension", "PUT", m + "/library/O8.sh", key, "X", 400, "filändelse"},
        {"upload: a flag", "PUT", m + "/library/--.NC", key, "X", 400, "Ogiltigt filnamn"},
        {"upload: empty", "PUT", m + "/library/O8.NC", key, {}, 400, "Tom fil"},
        {"upload: negative length", "PUT", m + "/library/O8.NC", key + "Content-Length: -5\r\n", {}, 400, {}, false},
        {"upload: two lengths", "PUT", m + "/library/O8.NC", key + "Content-Length: 1\r\nContent-Length: 5\r\n", "X", 400, "Dubbla"},
        {"upload: over MaxProgramMB", "PUT", m + "/library/O8.NC", key + "Content-Length: 1048577\r\n", {}, 413, "MaxProgramMB"},
        {"upload: 2^63", "PUT", m + "/library/O8.NC", key + "Content-Length: 9223372036854775808\r\n", {}, 413, "WebMaxBodyMB"},
        {"upload", "PUT", m + "/library/O9.NC", key, "%\r\nO8\r\n%", 201, "\"size\":8"},
        {"upload over it", "PUT", m + "/library/O9.NC", key, "%\r\nO9\r\n%", 200, {}},
        {"upload over it, named in another case", "PUT", m + "/library/O9.nc", key, "%\r\nO9\r\n%", 200, "\"replaced\":\"O9.NC\""},
        {"upload: leading blank", "PUT", m + "/library/%20O8.NC", key, "X", 400, "blanksteg"},
        {"a GET with a body", "GET", "/api/machines", {}, "abcde", 400, "ingen kropp"},
        {"headers over 16 KB", "GET", "/", "X-Fyllnad: " + QByteArray(17 * 1024, 'a') + "\r\n", {}, 431, {}},
    };
    for (const Case& c : cases) {
        const Answer a = s.ask(s.request(c.method, c.path, c.headers, c.body));
        EXPECT_EQ(a.status, c.status) << c.what << '\n' << a.head.toStdString() << a.body.toStdString();
        EXPECT_TRUE(a.body.contains(c.contains)) << c.what << ": " << a.body.toStdString();
        if (c.method == "HEAD") {
            EXPECT_TRUE(a.body.isEmpty() && a.head.contains("Content-Length: ")) << a.head.toStdString();
        }
        for (const char* h : {"Content-Security-Policy: default-src 'self'; frame-ancestors 'none'",
                              "X-Content-Type-Options: nosniff", "Referrer-Policy: no-referrer"}) {
            if (c.ours) {
                EXPECT_TRUE(a.has(h)) << c.what << ": " << h << '\n' << a.head.toStdString();
            }
        }
    }
    // An upload on its way is in a hidden file in the send folder, not in
    // memory; one whose client leaves leaves nothing.
    {
        const int fd = Connect(s.web);
        Send(fd, s.request("PUT", m + "/library/O7.NC", key + "Content-Length: 300000\r\n") + QByteArray(200000, 'G'));
        const auto spooled = [&] {
            return QDir(s.home.file("ncprog")).entryInfoList({".Fenmo32-upload-*"}, QDir::Files | QDir::Hidden);
        };
        EXPECT_TRUE(WaitUntil([&] { return spooled().size() == 1 && spooled()[0].size() == 200000; }));
        ::close(fd);
        EXPECT_TRUE(WaitUntil([&] { return spooled().isEmpty(); }));
        EXPECT_FALSE(s.home.exists("ncprog/O7.NC"));
    }
    // The queued jobs end, told to whoever waits; the send found nobody there.
    const Answer jobs = s.ask(s.request("GET", "/api/jobs?machine=" + QUrl::toPercentEncoding("Fräs \"4\" \\ %1")));
    const QJsonArray list = QJsonDocument::fromJson(jobs.body).array();
    ASSERT_GE(list.size(), 3) << jobs.body.toStdString();
    const QString send = list[0].toObject()["id"].toString();
    const Answer ended = s.ask(s.request("GET", "/api/jobs/" + send.toLatin1() + "?wait=30"));
    EXPECT_TRUE(ended.body.contains("\"state\":\"failed\"") && ended.body.contains("\"kind\":\"send\"")) << ended.body.toStdString();
    EXPECT_FALSE(s.home.exists("ncprog/O8.NC"));
    EXPECT_EQ(s.home.read("ncprog/O9.NC"), QByteArray("%\r\nO9\r\n%"));
    QDirIterator versions(s.home.file("historik"), {"*.gz"}, QDir::Files, QDirIterator::Subdirectories);
    EXPECT_TRUE(versions.hasNext() && (versions.next(), !versions.hasNext()));  // one copy of what was replaced

    // A stream of refused requests from one address: one log line for it.
    for (int i = 0; i < 30; ++i) s.ask(s.request("POST", m + "/send", {}, R"({"files":["O1.NC"]})"), "127.0.1.9");
    const QByteArray metrics = s.ask(s.request("GET", "/metrics")).body;
    EXPECT_EQ(s.home.read("fenmo32.log").count("127.0.1.9 nekad"), 1);
    EXPECT_TRUE(s.home.read("fenmo32.log").contains("127.0.1.9 nekad: fel eller saknad nyckel"));

    // The odd name reaches Prometheus as it is, and the scrape is valid.
    for (const char* series : {R"(fenmo32_transfers_total{machine="Fräs \"4\" \\ %1",direction="ut",result="klar"} 1)",
                               R"(fenmo32_transfer_bytes_total{machine="Fräs \"4\" \\ %1",direction="ut"})",
                               R"(fenmo32_link_up{machine="Fräs \"4\" \\ %1"} 1)", "fenmo32_last_transfer_timestamp_seconds{",
                               "fenmo32_web_requests_refused_total{status=\"401\"} 33"})
        EXPECT_TRUE(metrics.contains(series)) << series << '\n' << metrics.toStdString();
    ::close(machine);
    const QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    ASSERT_FALSE(promtool.isEmpty()) << "promtool saknas (kör scripts/setup)";
    QProcess check;
    check.start(promtool, {"check", "metrics"});
    check.write(metrics);
    check.closeWriteChannel();
    ASSERT_TRUE(check.waitForFinished(kProcessMs));
    EXPECT_EQ(check.exitCode(), 0) << check.readAll().toStdString() << metrics.toStdString();
}

TEST(WebFront, HoldsItsLimitsBeforeItReads) {
    // A quarter of 160 files for the web port: 40 connections.
    Served s(160);
    ASSERT_NE(s.web, 0);
    ASSERT_TRUE(ReadFile(QStringLiteral("/proc/%1/limits").arg(s.process.processId())).contains("Max open files            160 "));
    const QByteArray key = "Authorization: Bearer hemlig-nyckel-1234\r\n";

    // An address not let in: closed at once, before the client sends anything.
    {
        const int fd = Connect(s.web, "127.0.0.3");
        const Got g = ReadUntilClosed(fd, 2000);
        ::close(fd);
        EXPECT_TRUE(g.closed && g.bytes.isEmpty()) << "refused address: " << g.ms << " ms, " << g.bytes.toStdString();
    }
    // A body of 100 GB announced: refused from its length, the server grows by less than 20 MB.
    {
        const qint64 before = s.kb("VmRSS:");
        const int fd = Connect(s.web);
        Send(fd, s.request("PUT", kMachinePath + "/library/O5.NC", key + "Content-Length: 107374182400\r\n"));
        const QByteArray block(1 << 20, 'G');
        for (int i = 0; i < 40; ++i)
            if (::send(fd, block.constData(), size_t(block.size()), MSG_NOSIGNAL) < 0) break;
        const Got g = ReadUntilClosed(fd, 3000);
        ::close(fd);
        EXPECT_EQ(Parse(g.bytes).status, 413) << g.bytes.left(200).toStdString();
        EXPECT_LT(s.kb("VmHWM:") - before, 20 * 1024);
    }
    // Half a header: closed once WebHeaderTimeout (2 s) has passed.
    {
        const int fd = Connect(s.web);
        Send(fd, "GET / HTTP/1.1\r\nHost: 127.0");
        const Got g = ReadUntilClosed(fd, 15000);
        ::close(fd);
        EXPECT_TRUE(g.closed) << "half a header still open after " << g.ms << " ms";
    }
    // 200 idle connections: the machine port still answers a machine within 1 s.
    {
        std::vector<int> idle;
        // Paced so that the listen queue never overflows: each reaches the server at once.
        for (int i = 0; i < 200; ++i) {
            idle.push_back(Connect(s.web, QByteArray("127.0.1." + QByteArray::number(1 + i % 30)).constData(), 0, false));
            QThread::msleep(3);
        }
        // Time for the server to take in all it will (a server without limits: until its files run out).
        QThread::msleep(500);
        const int machine = Connect(s.port, "127.0.0.2");
        EXPECT_TRUE(Lod(machine, 1000)) << "the machine port did not answer within 1 s";
        ::close(machine);
        EXPECT_LT(QDir(QStringLiteral("/proc/%1/fd").arg(s.process.processId())).count(), 100u);
        for (const int fd : idle) ::close(fd);
    }
    // At most 16 event streams; a stream whose client does not read is dropped.
    {
        std::vector<int> streams;
        for (int i = 0; i < 16; ++i) {
            streams.push_back(Connect(s.web, QByteArray("127.0.1." + QByteArray::number(100 + i / 4)).constData(), 4096));
            Send(streams.back(), s.request("GET", "/api/events"));
        }
        QThread::msleep(300);
        EXPECT_EQ(s.ask(s.request("GET", "/api/events"), "127.0.1.120").status, 503);
        const int machine = Connect(s.port, "127.0.0.2");
        for (int i = 0; i < 2500; ++i)
            if (!Lod(machine, 5000)) break;
        ::close(machine);
        const Got g = ReadUntilClosed(streams[0], 10000, 0);
        EXPECT_TRUE(g.closed) << "a stream that was not read is still open";
        for (const int fd : streams) ::close(fd);
    }
    // And the page still answers.
    EXPECT_EQ(s.ask(s.request("GET", "/")).status, 200);
}

// No token, or one too short to withstand guessing: the port only reads.
TEST(WebFront, WithoutATokenOfSixteenCharactersNothingChanges) {
    for (const QByteArray& token : {QByteArray(), QByteArray("femton-tecken-x")}) {
        Served s(0, token);
        const QByteArray key = "Authorization: Bearer " + token + "\r\n";
        EXPECT_EQ(s.ask(s.request("POST", kMachinePath + "/send", key, R"({"files":["O1.NC"]})")).status, 403);
        EXPECT_EQ(s.ask(s.request("PUT", kMachinePath + "/library/O9.NC", key, "X")).status, 403);
        EXPECT_FALSE(s.home.exists("ncprog/O9.NC"));
        EXPECT_EQ(s.home.read("fenmo32.log").contains("WebToken är kortare än 16 tecken och gäller inte"), !token.isEmpty());
    }
}

TEST(WebKeys, ShortOnesAreLeftOutAndPersonsNamed) {
    TestHome home;
    GeneralSettings g;
    g.WebToken = "delad-nyckel-0123";
    g.WebTokens = "anna:annas-egen-nyckel-42, bo:kort, :utan-namn-0123456789";
    const HttpKeys keys = WebKeys(g);
    ASSERT_EQ(keys.size(), 2);
    EXPECT_EQ(keys[0].token, "delad-nyckel-0123");
    EXPECT_TRUE(keys[0].name.isEmpty());
    EXPECT_EQ(keys[1].token, "annas-egen-nyckel-42");
    EXPECT_EQ(keys[1].name, "anna");
    const QByteArray log = home.read("fenmo32.log");
    EXPECT_TRUE(log.contains("Nyckeln för bo i WebTokens är kortare än 16 tecken")) << log.toStdString();
    EXPECT_TRUE(log.contains("en post i WebTokens har inget namn")) << log.toStdString();
    EXPECT_EQ(WebCredit("anna", "10.0.0.7"), "webb anna (10.0.0.7)");
}

// /api/log is open to the shop's network: a local user's command line there names no folder.
TEST(WebLog, CommandLinesNameNoFolders) {
    const QString c = "2026-12-08 01:00:00 - Kommando från annat program: ";
    const struct {
        QString line, shown;
    } rows[] = {
        {c + "send --yes Fräs /home/anna/hemligt/O1.NC (användare anna)", c + "send --yes Fräs …/O1.NC (användare anna)"},
        {c + "fetch --to=/srv/bo/ut Fräs O1 (användare bo)", c + "fetch --to=…/ut Fräs O1 (användare bo)"},
        {c + "compare --folder ~/mina program/ Fräs (användare bo)", c + "compare --folder …/ Fräs (användare bo)"},
        {c + "send Fräs /a/x.NC /b/c/y.NC (användare bo)", c + "send Fräs …/x.NC …/y.NC (användare bo)"},
        {"2026-12-08 01:00:00 - Sparat /srv/ncprog/O1.NC", "2026-12-08 01:00:00 - Sparat /srv/ncprog/O1.NC"},
    };
    for (const auto& r : rows) EXPECT_EQ(WithoutFolders(r.line), r.shown);
}

// monitor reads the event stream of a page on IPv6 loopback.
TEST(WebFront, MonitorReadsThePageOnIPv6Loopback) {
    TestHome home;
    home.write("ncprog/O1.NC", "%\r\nO1\r\nG0 X0\r\n%");
    home.ini("WebPort=" + QByteArray::number(FreePort()) + "\r\nWebAddress=::1\r\n" +
             home.machine(1, "Svarv", "IP=127.0.0.2\r\nPort=9\r\n"));
    QProcess server;
    const quint16 port = home.serve(server, {"--all"});
    ASSERT_FALSE(AwaitLine(server, "WEB").isEmpty());
    QProcess monitor;
    monitor.setProcessEnvironment(Environment());
    monitor.start(Binary("Fenmo32"), {"--home", home.path(), "monitor"});
    ASSERT_TRUE(monitor.waitForStarted(kProcessMs));
    QByteArray out;
    const int machine = Connect(port, "127.0.0.2");
    for (int i = 0; i < 50 && !out.contains("LOD"); ++i) {
        Lod(machine, 2000);
        monitor.waitForReadyRead(200);
        out += monitor.readAllStandardOutput();
    }
    ::close(machine);
    EXPECT_TRUE(out.contains("Svarv")) << out.toStdString() << monitor.readAllStandardError().toStdString();
    monitor.kill();
    monitor.waitForFinished(kProcessMs);
    server.terminate();
    server.waitForFinished(kProcessMs);
}
