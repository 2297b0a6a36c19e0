#include "library/history.h"
#include "library/linediff.h"

#include "support/testhome.h"

#include <QBuffer>
#include <QDirIterator>
#include <QSet>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

QByteArray Version(const HistoryVersion& v) {
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    EXPECT_TRUE(ReadVersion(v, out).ok);
    return out.data();
}

// Bytes that do not compress, so that sizes in the store are predictable.
QByteArray Noise(qsizetype size, quint32 seed) {
    QByteArray b(size, Qt::Uninitialized);
    QRandomGenerator g(seed);
    g.fillRange(reinterpret_cast<quint32*>(b.data()), size / 4);
    return b;
}

QList<int> Ids(const QString& path) {
    QList<int> ids;
    for (const HistoryVersion& v : ListVersions(path)) ids << v.id;
    return ids;
}

}  // namespace

TEST(History, KeepsTheOldBytesCompressedAndPrunesTheOldest) {
    TestHome home;
    home.write("Fenmo32.INI", "[Program]\r\nHistoryKeep=3\r\n");
    QByteArray nc = "%\r\nO1234\r\n";
    for (int i = 0; i < 20000; ++i) nc += "N" + QByteArray::number(i) + " G01 X10.5 Y-3\r\n";
    nc += QByteArray("\0\xff%\n", 4);
    const QString path = home.write("lib/O1234.TC", nc);
    ASSERT_TRUE(KeepVersion(path, "MASKIN 7_a").ok);

    const QList<HistoryVersion> one = ListVersions(path);
    ASSERT_EQ(one.size(), 1);
    EXPECT_EQ(one[0].size, nc.size());
    EXPECT_EQ(one[0].origin, "MASKIN 7_a");
    EXPECT_EQ(Version(one[0]), nc);
    EXPECT_LT(QFileInfo(one[0].file).size() * 4, nc.size());

    for (int i = 2; i <= 5; ++i) {
        home.write("lib/O1234.TC", "v" + QByteArray::number(i));
        ASSERT_TRUE(KeepVersion(path, "Kommentar").ok);
    }
    EXPECT_EQ(Ids(path), (QList<int>{5, 4, 3}));
    EXPECT_EQ(Version(ListVersions(path).last()), "v3");
    // Another folder's program of the same name has a history of its own.
    EXPECT_TRUE(ListVersions(home.write("lib/sub/O1234.TC", "x")).isEmpty());

    home.write("Fenmo32.INI", "[Program]\r\nHistoryKeep=0\r\n");
    ASSERT_TRUE(KeepVersion(path, "Kommentar").ok);
    EXPECT_EQ(Ids(path), (QList<int>{5, 4, 3}));
}

TEST(History, StoreLimitTakesOnlyWhatItNeedsAndNeverAProgramsNewest) {
    TestHome home;
    const auto limit = [&](int mb) { home.write("Fenmo32.INI", "[Program]\r\nHistoryMaxMB=" + QByteArray::number(mb) + "\r\n"); };
    const auto told = [&] {
        return QString::fromUtf8(home.read("fenmo32.log")).count("Historiken är större än HistoryMaxMB (1 MB).");
    };
    limit(1);
    const QString a = home.write("A.NC", Noise(600000, 1));
    const QString b = home.write("B.NC", Noise(600000, 2));
    // Each keep, then what each program holds and how often the limit was told to be out of reach.
    struct Step {
        QString program;
        QList<int> a, b;
        int told;
    };
    const Step steps[] = {
        {a, {1}, {}, 0},
        {a, {2}, {}, 0},         // over the limit: the oldest goes
        {b, {2}, {1}, 1},        // the newest alone are over it: nothing goes
        {a, {3, 2}, {1}, 1},     // still nothing, and told only once
        {a, {4, 3, 2}, {1}, 1},
    };
    for (const Step& s : steps) {
        ASSERT_TRUE(KeepVersion(s.program, "x").ok);
        EXPECT_EQ(Ids(a), s.a);
        EXPECT_EQ(Ids(b), s.b);
        EXPECT_EQ(told(), s.told);
    }
    // Met again, then out of reach again: told anew.
    limit(4);
    ASSERT_TRUE(KeepVersion(b, "x").ok);
    EXPECT_EQ(Ids(b), (QList<int>{2, 1}));
    limit(1);
    ASSERT_TRUE(KeepVersion(b, "x").ok);
    EXPECT_EQ(told(), 2);
}

TEST(History, AStoreOfTheSameBytesKeepsNothing) {
    TestHome home;
    const QString path = home.write("O1.NC", "(C)%\r\nO1\r\n%");
    const QDateTime old = QDateTime::currentDateTime().addDays(-1);
    const auto store = [&](const QByteArray& text) {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::ReadWrite));
        f.setFileTime(old, QFileDevice::FileModificationTime);
        f.close();
        ProgramFileWriter w;
        ASSERT_TRUE(w.open(path, "C").ok);
        w.write(text.constData(), text.size());
        ASSERT_TRUE(w.finish().ok);
        ASSERT_TRUE(KeepVersion(w, "MASKIN").ok);
        ASSERT_TRUE(w.commit().ok);
    };
    for (int i = 0; i < 25; ++i) store("\r\nO1\r\n");
    EXPECT_TRUE(ListVersions(path).isEmpty());
    EXPECT_EQ(QFileInfo(path).lastModified(), old);  // not even rewritten

    for (int i = 0; i < 26; ++i) store("O2\n");  // the first changes the program
    ASSERT_EQ(Ids(path), QList<int>{1});
    EXPECT_EQ(Version(ListVersions(path)[0]), "(C)%\r\nO1\r\n%");
    EXPECT_EQ(home.read("O1.NC"), "(C)%O2\r\n%");

    // Restoring what is there already changes nothing either.
    ASSERT_TRUE(RestoreVersion(path, 1).ok);
    ASSERT_TRUE(RestoreVersion(path, 1).ok);
    EXPECT_EQ(Ids(path), (QList<int>{2, 1}));
    EXPECT_EQ(home.read("O1.NC"), "(C)%\r\nO1\r\n%");
}

TEST(History, TwoProcessesKeepingOneProgramNeverShareAnId) {
    TestHome home;
    home.write("Fenmo32.INI", "[Program]\r\nHistoryKeep=1000\r\n");
    const QString path = home.write("O1.NC", "O1");
    constexpr int kEach = 60;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        bool ok = true;
        for (int i = 0; i < kEach; ++i) ok = KeepVersion(path, "serve").ok && ok;
        _exit(ok ? 0 : 1);
    }
    for (int i = 0; i < kEach; ++i) EXPECT_TRUE(KeepVersion(path, "fönster").ok);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    const QList<int> ids = Ids(path);
    EXPECT_EQ(ids.size(), 2 * kEach);
    EXPECT_EQ(QSet<int>(ids.begin(), ids.end()).size(), 2 * kEach);

    // An id given twice by an older program is not guessed at.
    const HistoryVersion v = ListVersions(path).last();
    ASSERT_TRUE(QFile::copy(v.file, QFileInfo(v.file).path() + "/" +
                                        VersionFileName(v.id, v.date.addSecs(1), v.size, "kopia")));
    const FileResult r = RestoreVersion(path, v.id);
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.description.contains("flera")) << r.description.toStdString();
}

TEST(History, StoreKeepsItsTotalsAndItsFoldersTidy) {
    TestHome home;
    const QString path = home.write("lib/O1.NC", "first");
    ASSERT_TRUE(KeepVersion(path, "x").ok);
    const QString store = QFileInfo(ListVersions(path)[0].file).path();
    const auto total = [&] {
        qint64 sum = 0;
        for (QDirIterator it(home.file("historik"), {"*.gz"}, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            sum += QFileInfo(it.next()).size();
        return sum;
    };
    const auto index = [&] { return home.read("historik/index").split(' ').value(1).toLongLong(); };
    EXPECT_EQ(index(), total());

    // Left by a crash: a half-written version and name file go at the next keep.
    home.write("historik/" + QFileInfo(store).fileName() + "/000002_x.gz.Ab12Cd", "half");
    home.write("historik/" + QFileInfo(store).fileName() + "/program.txt.Xy34Zw", "half");
    // A torn index is counted again.
    home.write("historik/index", "1 12");
    // The same folder through a symbolic link shares the history.
    ASSERT_TRUE(QFile::link(home.file("lib"), home.file("genvag")));
    home.write("lib/O1.NC", "second");
    ASSERT_TRUE(KeepVersion(home.file("genvag/O1.NC"), "x").ok);
    EXPECT_EQ(Ids(path), (QList<int>{2, 1}));
    EXPECT_EQ(QDir(store).entryList(QDir::Files | QDir::Hidden),
              (QStringList{ListVersions(path)[1].file.section('/', -1), ListVersions(path)[0].file.section('/', -1),
                           "lock", "program.txt"}));
    EXPECT_EQ(index(), total());
}

TEST(LineDiffTest, PairsTheDifferencesSideBySide) {
    // Rows as kind, then each side's line number and text.
    const struct {
        const char *before, *after;
        QStringList rows;
    } cases[] = {
        {"a\r\nb\r\n", "a\nb", {"=1a|1a", "=2b|2b"}},
        {"a\r\nb\r\nc\r\nd\r\n", "a\nc\nx\nd", {"=1a|1a", "-2b|0", "=3c|2c", "+0|3x", "=4d|4d"}},
        {"a\nb\nc\nd\n", "a\nx\nd\n", {"=1a|1a", "~2b|2x", "-3c|0", "=4d|3d"}},
        {"", "a\nb", {"+0|1a", "+0|2b"}},
        // Repeated lines around the one that differs, as in a program of moves.
        {"G1\nG1\nG1\nX\nG1\nG1\n", "G1\nG1\nG1\nG1\nG1\n",
         {"=1G1|1G1", "=2G1|2G1", "=3G1|3G1", "-4X|0", "=5G1|4G1", "=6G1|5G1"}},
    };
    for (const auto& c : cases) {
        const LineDiff d = DiffLines(c.before, c.after);
        ASSERT_FALSE(d.tooLarge);
        QStringList got;
        const QList<DiffRow> rows = SideBySide(d);
        for (const DiffRow& r : rows)
            got << QString("=~-+"[r.kind]) + QString::number(r.beforeLine) + r.before + "|" +
                       QString::number(r.afterLine) + r.after;
        EXPECT_EQ(got, c.rows) << c.before;
        EXPECT_EQ(DifferingRows(rows), got.filter(QRegularExpression("^[^=]")).size());
    }

    EXPECT_TRUE(DiffLines(QByteArray(kDiffMaxBytes + 1, 'a'), "a").tooLarge);
    // Every line different: far more edits than a view can use.
    QByteArray x, y;
    for (int i = 0; i < 1100; ++i) x += "x" + QByteArray::number(i) + "\n", y += "y" + QByteArray::number(i) + "\n";
    EXPECT_TRUE(DiffLines(x, y).tooLarge);
}
