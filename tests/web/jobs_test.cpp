// GET /api/jobs with 10,000 jobs waiting behind a running one: the running
// one comes first whatever JobRows is, then the queued ones, and the pages
// (?before=ID&limit=N) hold every job once.
#include "../link/stationfixture.h"
#include "server/shopserver.h"
#include "web/webserver.h"

#include <QCoro/QCoroTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QNetworkAccessManager>
#include <QNetworkReply>

TEST(WebJobs, RunningAndQueuedFirstInPages) {
    TestHome home;
    home.ini(home.machine(1, "Fräs", "IP=127.0.0.2\r\n"));
    ShopServer server;
    GeneralSettings g;
    ReadGeneralSettings(g);
    QString error;
    ASSERT_TRUE(server.start(g, {}, &error)) << error.toStdString();
    WebServer web(server, g);
    ASSERT_TRUE(web.listen(&error)) << error.toStdString();
    QNetworkAccessManager net;
    auto get = [&](const QString& query, int* status) {
        QNetworkReply* reply = net.get(QNetworkRequest(QUrl(QStringLiteral("http://127.0.0.1:%1/api/jobs%2").arg(web.port()).arg(query))));
        EXPECT_TRUE(WaitUntil([&] { return reply->isFinished(); }, 30000));
        reply->deleteLater();
        *status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        return QJsonDocument::fromJson(reply->readAll()).array();
    };

    Station& st = *server.station("Fräs");
    bool released = false;
    const auto running = st.Submit(JobKind::List, "webb 127.0.0.1", [&released](JobRun&) -> QCoro::Task<void> {
        while (!released) co_await QCoro::sleepFor(std::chrono::milliseconds(10));
    });
    ASSERT_TRUE(WaitUntil([&] { return st.Jobs.running(); }));
    for (int i = 0; i < 10000; ++i)
        st.Submit(JobKind::List, "webb 127.0.0.1", [](JobRun&) -> QCoro::Task<void> { co_return; });

    int status = 0;
    const QJsonArray page = get({}, &status);
    ASSERT_EQ(page.size(), g.JobRows);
    EXPECT_EQ(page[0].toObject()["id"].toString(), running->record.id);
    EXPECT_EQ(page[0].toObject()["state"].toString(), "running");

    QSet<QString> ids;
    QString before;
    for (QJsonArray rows; !(rows = get("?limit=3000&before=" + before, &status)).isEmpty();) {
        ASSERT_EQ(status, 200);
        for (const QJsonValue& row : rows) {
            ids.insert(row.toObject()["id"].toString());
            EXPECT_EQ(row.toObject()["state"].toString(), ids.size() == 1 ? "running" : "queued");
        }
        before = rows.last().toObject()["id"].toString();
    }
    EXPECT_EQ(ids.size(), 10001);
    EXPECT_TRUE(get("?before=nosuch", &status).isEmpty());
    EXPECT_EQ(status, 404);

    st.Jobs.close("Testet slutar.");
    released = true;
    ASSERT_TRUE(WaitUntil([&] { return !st.Jobs.running(); }));
}
