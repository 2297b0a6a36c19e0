#include "jobs/journal.h"
#include "support/testhome.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

namespace {
Job MakeJob(const QString& id, const QString& machine, const QDateTime& created, JobState state = JobState::Running) {
    Job j;
    j.id = id;
    j.machine = machine;
    j.kind = JobKind::Send;
    j.by = QStringLiteral("verb anna");
    j.state = state;
    j.created = j.started = created;
    if (j.finished()) j.ended = created.addSecs(5);
    j.programs.append({QStringLiteral("O1000"), QStringLiteral("/lib/O1000.NC"), 1234,
                       QByteArray(64, 'a'), ProgramResult::Ok, QStringLiteral("Sändning klar")});
    return j;
}

QDateTime At(const char* iso) { return QDateTime::fromString(QString::fromLatin1(iso), Qt::ISODate); }

// This binary run again as another process writing to a journal:
// FENMO_JOURNAL_CHILD="mode folder id count". Done before main, and never
// returns into the tests.
[[maybe_unused]] const bool kChild = [] {
    const QStringList arg = qEnvironmentVariable("FENMO_JOURNAL_CHILD").split(QLatin1Char(' '));
    if (arg.size() != 4) return false;
    Journal journal(arg[1]);
    const int count = arg[3].toInt();
    for (int i = 0; i < count; ++i) {
        // The last one runs, those before it wait in the queue.
        Job j = MakeJob(arg[2] + QString::number(i), QStringLiteral("Fräs 1"), QDateTime::currentDateTimeUtc(),
                        i + 1 < count && arg[0] == QLatin1String("kill") ? JobState::Queued : JobState::Running);
        // Long lines: many pieces of a buffered write would interleave.
        for (int r = 0; r < 20; ++r) j.programs.append(j.programs.first());
        journal.record(j);
        if (arg[0] == QLatin1String("many")) {
            j.state = JobState::Done;
            journal.ended(j);
        }
    }
    if (arg[0] == QLatin1String("kill")) std::raise(SIGKILL);
    if (arg[0] == QLatin1String("wait")) {
        std::puts("ready");
        std::fflush(stdout);
        for (;;) pause();
    }
    std::exit(0);
}();

void Child(QProcess& p, const QString& mode, const QString& folder, const QString& id, int count) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("FENMO_JOURNAL_CHILD", QStringList{mode, folder, id, QString::number(count)}.join(' '));
    p.setProcessEnvironment(env);
    p.start(QCoreApplication::applicationFilePath(), {});
    ASSERT_TRUE(p.waitForStarted());
}

QByteArray Read(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

QStringList Ids(const QList<Job>& jobs) {
    QStringList ids;
    for (const Job& j : jobs) ids << j.id + QLatin1Char('=') + StateWord(j.state);
    return ids;
}
}  // namespace

// A job's lines across months, damaged lines among them: each read sees every
// job once, as its last line says, newest first.
TEST(Journal, ReadsNewestFirstWithFiltersPassingOverDamage) {
    QTemporaryDir dir;
    Journal journal(dir.path());
    journal.started(MakeJob("a", "Fräs 1", At("2026-11-03T08:00:00Z")));
    journal.started(MakeJob("b", "Svarv 2", At("2026-11-30T23:59:00Z")));
    // b ends in the next month's file.
    Job b = MakeJob("b", "Svarv 2", At("2026-11-30T23:59:00Z"), JobState::Failed);
    b.ended = At("2026-12-01T00:01:00Z");
    journal.ended(b);
    journal.ended(MakeJob("a", "Fräs 1", At("2026-11-03T08:00:00Z"), JobState::Done));
    QFile damaged(journal.fileFor(At("2026-12-02T00:00:00Z")));
    ASSERT_TRUE(damaged.open(QIODevice::Append));
    damaged.write("{\"id\":\"x\",\"kind\":\"send\",\"sta\n\n[1,2]\n{\"id\":\"y\",\"kind\":\"nosuch\",\"state\":\"done\"}\n\xff\xfe\n");
    damaged.close();
    journal.started(MakeJob("c", "fräs 1", At("2026-12-04T10:00:00Z")));
    journal.started(MakeJob("d", "Fräs 1", At("2026-12-05T10:00:00Z")));
    EXPECT_TRUE(QFile::exists(dir.filePath("2026-11.jsonl")));

    // skipped: the damage read on the way. A machine or a day is looked for
    // only where the month's index puts its lines.
    const struct {
        const char* machine;
        const char* since;
        int limit;
        QStringList ids;
        int skipped;
    } cases[] = {
        {"", "", 1000, {"d=running", "c=running", "b=failed", "a=done"}, 4},
        {"FRÄS 1", "", 1000, {"d=running", "c=running", "a=done"}, 0},
        {"", "2026-12-01T00:00:00Z", 1000, {"d=running", "c=running"}, 4},
        {"", "2026-12-05T00:00:00Z", 1000, {"d=running"}, 0},
        {"Svarv 2", "2026-11-15T00:00:00Z", 1000, {"b=failed"}, 4},
        {"", "", 2, {"d=running", "c=running"}, 0},
        {"Fräs 9", "", 1000, {}, 0},
    };
    auto check = [&](const auto& c, int skipped) {
        const JournalRead r = journal.query({QString::fromUtf8(c.machine), At(c.since), c.limit, false});
        EXPECT_EQ(Ids(r.jobs), c.ids) << c.machine << " " << c.since << " " << c.limit;
        EXPECT_EQ(r.skipped, skipped) << c.machine << " " << c.since << " " << c.limit;
    };
    for (const auto& c : cases) check(c, c.skipped);
    // Without its index (an older journal) the month is read whole, to the same jobs.
    ASSERT_TRUE(QFile::remove(dir.filePath("2026-12.idx")));
    check(cases[1], 4);
    check(cases[6], 4);
    EXPECT_TRUE(Journal(dir.filePath("none")).read().isEmpty());

    // Each job's last line as the file holds it; the damage counted; what the limit left out counted.
    const JournalRead all = journal.query({{}, {}, 1, true});
    ASSERT_EQ(all.lines.size(), 1);
    EXPECT_TRUE(Read(journal.fileFor(At("2026-12-05T10:00:00Z"))).endsWith(all.lines[0] + '\n'));
    EXPECT_EQ(all.leftOut, 3);
    EXPECT_EQ(all.skipped, 4);
}

// A line is what QJsonDocument makes of the job, byte for byte, whatever its texts hold.
TEST(Journal, LineIsTheJobsJson) {
    const Job done = MakeJob("a", "Fräs 1", At("2026-11-03T08:00:00.125Z"), JobState::Done);
    Job odd = MakeJob("b\"\\/", "Svarv\t2\x01\x1f", {}, JobState::Queued);
    odd.text = QString::fromUtf8("rad 1\r\nrad 2\b\f \x7f åäö € 𝄞");
    odd.programs.append({"O\"2", {}, 0, {}, ProgramResult::Skipped, QStringLiteral("\\ \x02")});
    Job empty = done;
    empty.programs.clear();
    for (const Job& j : {done, odd, empty}) {
        QJsonObject obj = j.toJson();
        obj.insert("host", "värd-1");
        obj.insert("pid", 4242);
        EXPECT_EQ(JournalLine(j, "värd-1", 4242), QJsonDocument(obj).toJson(QJsonDocument::Compact) + '\n') << j.id.toStdString();
    }
}

// A server killed mid-job leaves a start line and no end; the next start
// ends it as cancelled. A live process's job, and another host's, stay running.
TEST(Journal, RecoverEndsOnlyJobsOfDeadProcesses) {
    QTemporaryDir dir;
    Journal journal(dir.path());
    QProcess killed, alive;
    Child(killed, "kill", dir.path(), "killed", 3);
    ASSERT_TRUE(killed.waitForFinished());
    EXPECT_EQ(killed.exitStatus(), QProcess::CrashExit);
    Child(alive, "wait", dir.path(), "alive", 1);
    ASSERT_TRUE(alive.waitForReadyRead());
    Job other = MakeJob("elsewhere", "Fräs 1", QDateTime::currentDateTimeUtc());
    QFile f(journal.fileFor(other.started));
    ASSERT_TRUE(f.open(QIODevice::Append));
    QJsonObject line = other.toJson();
    line.insert("host", "annan-dator");
    line.insert("pid", 1);
    f.write(QJsonDocument(line).toJson(QJsonDocument::Compact) + '\n');
    f.close();

    EXPECT_EQ(journal.recoverUnended(), 3);
    QList<Job> jobs = journal.read();
    EXPECT_EQ(Ids(jobs).join(' ').count("running"), 2) << Ids(jobs).join(' ').toStdString();
    EXPECT_EQ(Ids(jobs).join(' ').count("queued"), 0) << Ids(jobs).join(' ').toStdString();
    for (const Job& j : jobs)
        if (j.id.startsWith("killed")) {
            EXPECT_EQ(j.state, JobState::Cancelled);
            EXPECT_EQ(j.text, "servern stoppades");
            EXPECT_TRUE(j.ended.isValid());
            EXPECT_EQ(j.programs.size(), 21);
        }

    // A dead process whose pid now names another, live one: its file says
    // when it started, and that is not when the live one did.
    const QString open = dir.filePath("open");
    const QStringList files = QDir(open).entryList(QDir::Files);
    ASSERT_EQ(files.size(), 1) << files.join(' ').toStdString();  // the live child's
    const QString theirs = files.filter(QRegularExpression(QString("^%1-").arg(alive.processId()))).value(0);
    ASSERT_FALSE(theirs.isEmpty());
    QDir(open).rename(theirs, theirs.section('-', 0, 0) + "-1-" + theirs.section('-', 2));
    EXPECT_EQ(journal.recoverUnended(), 1);
    EXPECT_EQ(journal.recoverUnended(), 0);
    EXPECT_EQ(Ids(journal.read()).join(' ').count("running"), 1);
    alive.kill();
    ASSERT_TRUE(alive.waitForFinished());
}

// Two processes appending long lines at once: every line stays whole.
TEST(Journal, LinesOfSeveralProcessesNeverInterleave) {
    QTemporaryDir dir;
    QProcess one, two;
    Child(one, "many", dir.path(), "one", 400);
    Child(two, "many", dir.path(), "two", 400);
    ASSERT_TRUE(one.waitForFinished() && two.waitForFinished());
    const QList<Job> jobs = Journal(dir.path()).read({}, {}, 10000);
    ASSERT_EQ(jobs.size(), 800);
    for (const Job& j : jobs) EXPECT_EQ(j.state, JobState::Done) << j.id.toStdString();
    qsizetype lines = 0;
    for (const QString& name : QDir(dir.path()).entryList({"*.jsonl"}, QDir::Files)) {
        QFile f(dir.filePath(name));
        if (f.open(QIODevice::ReadOnly)) lines += f.readAll().count('\n');
    }
    EXPECT_EQ(lines, 1600);
}

// A cut line before a job, a full disk in the middle of jobs and then
// space again, a planted link: every line in the file is whole, none is
// lost, and they come in the order they were made.
TEST(Journal, ALineIsWholeOrAbsent) {
    TestHome home;
    Journal journal(home.file("journal"));
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const QString month = journal.fileFor(now);
    home.write("journal/" + QFileInfo(month).fileName(), "{\"id\":\"cut\",\"kind\":\"se");
    for (int i = 0; i < 4; ++i) EXPECT_TRUE(journal.record(MakeJob(QString("a%1").arg(i), "Fräs 1", now)));
    JournalRead read = journal.query({});
    EXPECT_EQ(Ids(read.jobs), QStringList({"a3=running", "a2=running", "a1=running", "a0=running"}));
    EXPECT_EQ(read.skipped, 1);

    // The disk takes 50 bytes more: nothing of a line lands, and later lines wait behind it.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
    const rlimit before = limit;
    const QByteArray whole = Read(month);
    limit.rlim_cur = rlim_t(whole.size() + 50);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    EXPECT_FALSE(journal.record(MakeJob("a0", "Fräs 1", now, JobState::Done)));
    EXPECT_FALSE(journal.record(MakeJob("b", "Fräs 1", now)));
    EXPECT_EQ(Read(month), whole);
    EXPECT_EQ(journal.waiting(), 2);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &before), 0);
    EXPECT_TRUE(journal.record(MakeJob("c", "Fräs 1", now)));
    EXPECT_EQ(journal.waiting(), 0);
    const QList<QByteArray> lines = Read(month).mid(whole.size()).split('\n');
    ASSERT_EQ(lines.size(), 4);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(QJsonDocument::fromJson(lines[i]).object()["id"].toString(), QStringList({"a0", "b", "c"})[i]);
    const QString log = QString::fromUtf8(home.read("fenmo32.log"));
    EXPECT_EQ(log.count("Journalen kunde inte skrivas"), 1) << log.toStdString();
    EXPECT_EQ(log.count("Journalen: 2 rader som väntat sedan"), 1) << log.toStdString();

    // Only this process writes, the group reads; a file the group could write loses that.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    const QString later = journal.fileFor(now.addMonths(2));
    journal.record(MakeJob("d", "Fräs 1", now.addMonths(2)));
    ::chmod(QFile::encodeName(month).constData(), 0660);
    journal.record(MakeJob("d", "Fräs 1", now));
    for (const QString& file : {later, month}) {
        struct stat st{};
        ASSERT_EQ(::stat(QFile::encodeName(file).constData(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask) << file.toStdString();
    }

    // A link planted as the month, or as the folder: nothing goes through it.
    const QString elsewhere = home.write("elsewhere.txt", "mine\n");
    const QDateTime next = now.addMonths(1);
    ASSERT_TRUE(QFile::link(elsewhere, journal.fileFor(next)));
    EXPECT_FALSE(journal.record(MakeJob("e", "Fräs 1", next)));
    Journal linked(home.file("linked"));
    ASSERT_TRUE(QFile::link(home.file("journal"), home.file("linked")));
    EXPECT_FALSE(linked.record(MakeJob("f", "Fräs 1", now)));
    EXPECT_EQ(home.read("elsewhere.txt"), "mine\n");
    EXPECT_FALSE(Read(month).contains("\"id\":\"f\""));
}
