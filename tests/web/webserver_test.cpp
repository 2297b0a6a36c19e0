// The web page and API of `serve --all`, end to end: the server as its own
// process, a machine as a socket from 127.0.0.2, the API through Qt's
// network classes.
#include "../link/stationfixture.h"

#include <QDirIterator>
#include <QNetworkAccessManager>
#include <QNetworkReply>

namespace {
quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

struct Served {
    QProcess process;
    quint16 port = 0, web = 0;
    explicit Served(const TestHome& home)
        : port(home.serve(process, {"--all"})), web(AwaitLine(process, "WEB").toUShort()) {}
    ~Served() {
        process.terminate();
        process.waitForFinished(kProcessMs);
    }

    // status and body of one request
    std::pair<int, QByteArray> call(const QByteArray& method, const QString& path, const QByteArray& body = {},
                                    const QByteArray& token = {}) {
        QNetworkAccessManager net;
        QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(web) + path));
        if (!token.isEmpty()) request.setRawHeader("Authorization", "Bearer " + token);
        request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = net.sendCustomRequest(request, method, body);
        WaitUntil([&] { return reply->isFinished(); }, 20000);
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return {status, reply->readAll()};
    }
};

void WriteShop(const TestHome& home, const QByteArray& token) {
    home.write("ncprog/O1.NC", "(Fixtur <script>alert</script>)%\r\nO1 (KONTUR)\r\nG0 X0\r\n%");
    home.ini("MaxProgramMB=1\r\nWebPort=" + QByteArray::number(FreePort()) +
             "\r\nWebToken=" + token + "\r\n" + home.machine(1, "Fräs A", "IP=127.0.0.2\r\nPort=9\r\n"));
}
}  // namespace

TEST(WebServer, RoutesAnswerWithTheirStatusesAndKeepWhatTheyReplace) {
    TestHome home;
    WriteShop(home, "hemlig");
    Served server(home);
    ASSERT_NE(server.web, 0);

    // A machine asks for a program: a transfer for the traffic rows and the metrics.
    Peer machine;
    ASSERT_TRUE(machine.connectTo(server.port, "127.0.0.2"));
    ASSERT_TRUE(machine.ask(Request("LOD", "O1")).endsWith('%'));

    const QString a = "/api/machines/Fr%C3%A4s%20A";
    struct Case {
        QByteArray method;
        QString path;
        QByteArray body, token;
        int status;
        QByteArray contains;
    } cases[] = {
        {"GET", "/", {}, {}, 200, "<h1>Verkstad</h1>"},
        {"GET", "/verkstad.js", {}, {}, 200, "textContent"},
        {"GET", "/api/machines", {}, {}, 200, "\"name\":\"Fräs A\""},
        {"GET", a + "/library", {}, {}, 200, "\"fileComment\":\"Fixtur <script>alert</script>\""},
        {"GET", a + "/traffic", {}, {}, 200, "\"command\":\"LOD\",\"direction\":\"in\""},
        {"GET", "/api/machines/Svarv%20Z/library", {}, {}, 404, "Okänd maskin"},
        {"GET", "/api/ingenting", {}, {}, 404, "finns inte"},
        {"POST", a + "/send", R"({"files":["O1.NC"]})", {}, 401, "nyckel"},
        {"POST", a + "/send", R"({"files":["O1.NC"]})", "fel", 401, "nyckel"},
        {"POST", a + "/send", R"({"files":["../O1.NC"]})", "hemlig", 400, "Ogiltigt filnamn"},
        {"POST", a + "/send", R"({"files":["C:O1.NC"]})", "hemlig", 400, "Ogiltigt filnamn"},
        {"POST", a + "/send", R"({"files":["O7.NC"]})", "hemlig", 404, "finns inte"},
        {"POST", a + "/fetch", R"({"programs":["a/b"]})", "hemlig", 400, "Ogiltigt programnamn"},
        // Nobody answers on the machine's port: the verb's failure and its words.
        {"POST", a + "/send", R"({"files":["O1.NC"]})", "hemlig", 502, "\"exit\":1"},
        {"PUT", a + "/library/O9.NC", "%\r\nFORST\r\n%", "hemlig", 201, "\"size\":11"},
        {"PUT", a + "/library/O9.NC", "%\r\nSEDAN\r\n%", "hemlig", 200, ""},
        {"PUT", a + "/library/..%2FO8.NC", "X", "hemlig", 400, "Ogiltigt filnamn"},
        {"PUT", a + "/library/%2Ftmp%2FO8.NC", "X", "hemlig", 400, "Ogiltigt filnamn"},
        {"PUT", a + "/library/O1234567.NC", "X", "hemlig", 400, "ogiltigt programnamn"},
        {"PUT", a + "/library/O8.NC", "X", {}, 401, ""},
    };
    for (const Case& c : cases) {
        const auto [status, body] = server.call(c.method, c.path, c.body, c.token);
        EXPECT_EQ(status, c.status) << c.method.data() << ' ' << c.path.toStdString() << ' ' << body.toStdString();
        EXPECT_TRUE(body.contains(c.contains)) << c.path.toStdString() << ' ' << body.toStdString();
    }
    EXPECT_EQ(home.read("ncprog/O9.NC"), QByteArray("%\r\nSEDAN\r\n%"));
    EXPECT_FALSE(home.exists("O8.NC") || home.exists("ncprog/O8.NC"));
    int versions = 0;
    for (QDirIterator it(home.file("historik"), {"*.gz"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
        ++versions;
    EXPECT_EQ(versions, 1);
    EXPECT_TRUE(home.read("fenmo32.log").contains("nekad: fel eller saknad nyckel"));

    const QByteArray metrics = server.call("GET", "/metrics").second;
    for (const char* series : {"fenmo32_transfers_total{machine=\"Fräs A\",direction=\"ut\",result=\"klar\"} 1",
                               "fenmo32_transfer_bytes_total{machine=\"Fräs A\",direction=\"ut\"}",
                               "fenmo32_link_up{machine=\"Fräs A\"} 1", "fenmo32_last_transfer_timestamp_seconds{",
                               "fenmo32_web_requests_refused_total{status=\"401\"} 3"})
        EXPECT_TRUE(metrics.contains(series)) << series << '\n' << metrics.toStdString();
}

TEST(WebServer, WithoutATokenNothingChanges) {
    TestHome home;
    WriteShop(home, "");
    Served server(home);
    ASSERT_NE(server.web, 0);
    EXPECT_EQ(server.call("GET", "/api/machines").first, 200);
    EXPECT_EQ(server.call("POST", "/api/machines/Fr%C3%A4s%20A/send", R"({"files":["O1.NC"]})", "x").first, 403);
    EXPECT_EQ(server.call("PUT", "/api/machines/Fr%C3%A4s%20A/library/O9.NC", "X", "x").first, 403);
    EXPECT_FALSE(home.exists("ncprog/O9.NC"));
}
