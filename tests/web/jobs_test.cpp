// GET /api/jobs with 10,000 jobs waiting behind a running one: the running
// one comes first whatever JobRows is, then the queued ones, and the pages
// (?before=ID&limit=N) hold every job once.
#include "webfixture.h"

#include <QCoro/QCoroTimer>
#include <QJsonArray>

TEST(WebJobs, RunningAndQueuedFirstInPages) {
    TestHome home;
    home.ini(home.machine(1, "Fräs", "IP=127.0.0.2\r\n"));
    WebShop shop;
    auto get = [&](const QString& query, int* status) { return shop.get("/api/jobs" + query, status).array(); };

    Station& st = *shop.server.station("Fräs");
    bool released = false;
    const auto running = st.Submit(JobKind::List, "webb 127.0.0.1", [&released](JobRun&) -> QCoro::Task<void> {
        while (!released) co_await QCoro::sleepFor(std::chrono::milliseconds(10));
    });
    ASSERT_TRUE(WaitUntil([&] { return st.jobs().running(); }));
    for (int i = 0; i < 10000; ++i)
        st.Submit(JobKind::List, "webb 127.0.0.1", [](JobRun&) -> QCoro::Task<void> { co_return; });

    int status = 0;
    const QJsonArray page = get({}, &status);
    ASSERT_EQ(page.size(), shop.general.JobRows);
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

    st.jobs().close("Testet slutar.");
    released = true;
    ASSERT_TRUE(WaitUntil([&] { return !st.jobs().running(); }));
}
