// Jobs through every door of a running shop server: a silent machine, a
// slow one and a second client never hold another machine's job; a client
// that leaves, SIGTERM and a cancel end jobs without waiting for anyone.
#include "support/testhome.h"
#include "support/wait.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTcpServer>
#include <csignal>

namespace {
quint16 FreePort() {
    QTcpServer probe;
    probe.listen(QHostAddress::LocalHost);
    return probe.serverPort();
}

// The simulated machine as its own process, listening on loopback.
class Machine {
public:
    explicit Machine(const QStringList& extra = {}) {
        p_.setProcessEnvironment(Environment());
        p_.start(Binary("machine-sim"), QStringList{"--memory", memory_.path(), "--tcp-listen", "127.0.0.1:0"} + extra);
        port = AwaitLine(p_, "LISTENING").toUShort();
    }
    ~Machine() {
        p_.terminate();
        if (!p_.waitForFinished(kProcessMs)) p_.kill();
    }
    int programs() const { return int(QDir(memory_.path()).entryList(QDir::Files).size()); }
    quint16 port = 0;

private:
    QTemporaryDir memory_;
    QProcess p_;
};

// A silent "Fräs A" (its answers never come) and a slow "Fräs B" (a byte
// of every answer each 10 ms) in one server with its web port.
struct Floor {
    Machine silent{{"--fault", "silent"}}, slow{{"--fault", "trickle=10"}};
    TestHome home;
    QProcess server;
    quint16 web = FreePort();
    QNetworkAccessManager net;

    Floor() {
        for (int i = 1; i <= 40; ++i) home.write(QString("ncprog/O%1.NC").arg(i), "G1 X" + QByteArray::number(i) + "\r\n");
        home.ini("WebPort=" + QByteArray::number(web) + "\r\nWebToken=nyckel\r\nSvarTimeout=4000\r\nRecTimeout=4000\r\n" +
                 home.machine(1, "Fräs A", "Port=" + QByteArray::number(silent.port) + "\r\n") +
                 home.machine(2, "Fräs B", "Port=" + QByteArray::number(slow.port) + "\r\n"));
        EXPECT_NE(home.serve(server, {"--all"}), 0);
        AwaitLine(server, "WEB");
    }
    ~Floor() {
        server.kill();
        server.waitForFinished(kProcessMs);
    }
    // One API call, answered as JSON.
    QJsonObject call(const QByteArray& method, const QString& path, const QByteArray& body = {}, int* status = nullptr) {
        QNetworkRequest r(QUrl(QString("http://127.0.0.1:%1%2").arg(web).arg(path)));
        r.setRawHeader("Authorization", "Bearer nyckel");
        r.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
        QNetworkReply* reply = net.sendCustomRequest(r, method, body);
        EXPECT_TRUE(WaitUntil([&] { return reply->isFinished(); }, 30000));
        if (status) *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        const QJsonObject o = QJsonDocument::fromJson(reply->readAll()).object();
        reply->deleteLater();
        return o;
    }
    QJsonArray jobs(const QString& machine) {
        QNetworkReply* reply = net.get(QNetworkRequest(
            QUrl(QString("http://127.0.0.1:%1/api/jobs?machine=%2").arg(web).arg(QString(QUrl::toPercentEncoding(machine))))));
        EXPECT_TRUE(WaitUntil([&] { return reply->isFinished(); }));
        const QJsonArray a = QJsonDocument::fromJson(reply->readAll()).array();
        reply->deleteLater();
        return a;
    }
    QJsonObject send(const QString& machine, const QByteArray& files, int* status = nullptr) {
        return call("POST", "/api/machines/" + QUrl::toPercentEncoding(machine) + "/send",
                    R"({"yes":true,"files":)" + files + "}", status);
    }
    // A verb through the server's socket, left running.
    void start(QProcess& p, const QStringList& args) const {
        p.setProcessEnvironment(Environment());
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(Binary("Fenmo32"), QStringList{"--home", home.path()} + args);
    }
};
}  // namespace

TEST(Jobs, NoMachineWaitsForAnotherAndACancelEndsOnlyItsJob) {
    Floor f;
    int status = 0;
    const QJsonObject stuck = f.send("Fräs A", R"(["O1.NC"])", &status);
    EXPECT_EQ(status, 202);
    const QJsonObject behind = f.send("Fräs A", R"(["O2.NC"])");
    const QJsonObject quick = f.send("Fräs B", R"(["O3.NC"])");
    const QJsonObject ended = f.call("GET", "/api/jobs/" + quick["id"].toString() + "?wait=20");
    EXPECT_EQ(ended["state"].toString(), "done") << QJsonDocument(ended).toJson().toStdString();
    EXPECT_EQ(ended["programs"][0]["result"].toString(), "ok");
    EXPECT_EQ(ended["by"].toString(), "webb 127.0.0.1");
    // The silent machine's send still waits for its answer; the one behind it waits its turn.
    EXPECT_EQ(f.call("GET", "/api/jobs/" + stuck["id"].toString())["state"].toString(), "running");
    EXPECT_EQ(f.call("DELETE", "/api/jobs/" + behind["id"].toString(), {}, &status)["state"].toString(), "cancelled");
    EXPECT_EQ(status, 200);
    // The cancelled job never reached the machine.
    const QString log = QString::fromUtf8(f.home.read("fenmo32.log"));
    EXPECT_FALSE(log.contains("ndning av fil: O2.NC")) << log.toStdString();

    // Killed with the send still waiting: the journal tells it at the next start,
    // and the list of jobs survives.
    f.server.kill();
    ASSERT_TRUE(f.server.waitForFinished(kProcessMs));
    ASSERT_NE(f.home.serve(f.server, {"--all"}), 0);
    AwaitLine(f.server, "WEB");
    const QJsonObject killed = f.call("GET", "/api/jobs/" + stuck["id"].toString());
    EXPECT_EQ(killed["state"].toString(), "cancelled");
    EXPECT_EQ(killed["text"].toString(), "servern stoppades");
    EXPECT_EQ(f.call("GET", "/api/jobs/" + quick["id"].toString())["state"].toString(), "done");
    EXPECT_EQ(f.call("GET", "/api/jobs/" + quick["id"].toString())["programs"][0]["sha256"].toString().size(), 64);
}

TEST(Jobs, SocketClientsRunSideBySideAndOneThatLeavesIsCancelled) {
    Floor f;
    QProcess first, second;
    f.start(first, {"send", "--yes", "Fräs A", f.home.file("ncprog/O1.NC")});
    ASSERT_TRUE(WaitUntil([&] { return f.home.read("fenmo32.log").contains("ndning av fil: O1.NC"); }));
    f.start(second, {"dir", "Fräs B"});
    ASSERT_TRUE(second.waitForFinished(kProcessMs));
    EXPECT_EQ(second.exitCode(), 0) << second.readAllStandardError().toStdString();
    EXPECT_EQ(first.state(), QProcess::Running);  // the first is not held by the second, nor it by the first
    const QByteArray mine = second.readAllStandardError();
    EXPECT_FALSE(mine.contains("Skickar data")) << mine.toStdString();

    // Ctrl-C of the first: its job is cancelled at once, not at its time-out.
    ::kill(pid_t(first.processId()), SIGINT);
    ASSERT_TRUE(first.waitForFinished(kProcessMs));
    QJsonArray jobs;
    ASSERT_TRUE(WaitUntil([&] {
        jobs = f.jobs("Fräs A");
        return !jobs.isEmpty() && jobs[0].toObject()["state"].toString() == "cancelled";
    }, 2000)) << QJsonDocument(jobs).toJson().toStdString();
    EXPECT_EQ(jobs[0].toObject()["kind"].toString(), "send");
    EXPECT_TRUE(jobs[0].toObject()["by"].toString().startsWith("verb ")) << jobs[0].toObject()["by"].toString().toStdString();
}

TEST(Jobs, SigtermStartsNoFurtherProgramAndWaitsForNobody) {
    Floor f;
    QStringList files;
    for (int i = 1; i <= 40; ++i) files << f.home.file(QString("ncprog/O%1.NC").arg(i));
    QProcess run;
    f.start(run, QStringList{"send", "--yes", "Fräs B"} + files);
    ASSERT_TRUE(WaitUntil([&] { return f.slow.programs() >= 2; }, 20000));
    f.server.terminate();
    ASSERT_TRUE(f.server.waitForFinished(12000));
    EXPECT_EQ(f.server.exitCode(), 0);
    const QString log = QString::fromUtf8(f.home.read("fenmo32.log"));
    const QString after = log.mid(log.indexOf("Servern stannar"));
    EXPECT_FALSE(after.contains("ndning av fil")) << after.toStdString();
    EXPECT_LT(f.slow.programs(), 40);
    ASSERT_TRUE(run.waitForFinished(kProcessMs));
    EXPECT_NE(run.exitCode(), 0);
}
