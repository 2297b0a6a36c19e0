#include "library/history.h"
#include "library/linediff.h"

#include "support/testhome.h"

#include <QBuffer>
#include <QRandomGenerator>
#include <gtest/gtest.h>

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
    EXPECT_TRUE(home.exists("historik"));

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

TEST(History, StoreLimitTakesTheOldestButNeverAProgramsNewest) {
    TestHome home;
    home.write("Fenmo32.INI", "[Program]\r\nHistoryMaxMB=1\r\n");
    const QString a = home.write("A.NC", Noise(600000, 1));
    const QString b = home.write("B.NC", Noise(600000, 2));
    ASSERT_TRUE(KeepVersion(a, "x").ok);
    ASSERT_TRUE(KeepVersion(a, "x").ok);
    EXPECT_EQ(Ids(a), QList<int>{2});
    ASSERT_TRUE(KeepVersion(b, "x").ok);  // over the limit, but both are newest
    EXPECT_EQ(Ids(a), QList<int>{2});
    EXPECT_EQ(Ids(b), QList<int>{1});
    ASSERT_TRUE(KeepVersion(a, "x").ok);
    EXPECT_EQ(Ids(a), QList<int>{3});
    EXPECT_EQ(Ids(b), QList<int>{1});
}

TEST(History, RestoreKeepsThePresentContentFirst) {
    TestHome home;
    const QString path = home.write("O1.NC", "first\r\n");
    ASSERT_TRUE(KeepVersion(path, "MASKIN").ok);
    home.write("O1.NC", "second\r\n");

    ASSERT_TRUE(RestoreVersion(path, 1).ok);
    EXPECT_EQ(home.read("O1.NC"), "first\r\n");
    const QList<HistoryVersion> v = ListVersions(path);
    ASSERT_EQ(v.size(), 2);
    EXPECT_EQ(Version(v[0]), "second\r\n");
    EXPECT_EQ(v[0].origin, "Före återställning av version 1");

    EXPECT_FALSE(RestoreVersion(path, 9).ok);
    EXPECT_EQ(home.read("O1.NC"), "first\r\n");
}

TEST(History, UnwritableStoreRefuses) {
    TestHome home;
    home.write("historik", "a file where the store should be");
    const QString path = home.write("O1.NC", "old");
    const FileResult r = KeepVersion(path, "MASKIN");
    EXPECT_FALSE(r.ok);
    EXPECT_TRUE(r.message().contains("historiken")) << r.message().toStdString();
}

TEST(LineDiffTest, MarksRemovedAndAddedLines) {
    const LineDiff d = DiffLines("a\r\nb\r\nc\r\nd\r\n", "a\nc\nx\nd");
    QStringList got;
    for (const DiffLine& l : d.lines) got << QString("=-+"[l.kind]) + l.text;
    EXPECT_EQ(got, (QStringList{"=a", "-b", "=c", "+x", "=d"}));

    EXPECT_TRUE(DiffLines(QByteArray(kDiffMaxBytes + 1, 'a'), "a").tooLarge);
    // Every line different: far more edits than a view can use.
    QByteArray x, y;
    for (int i = 0; i < 1100; ++i) x += "x" + QByteArray::number(i) + "\n", y += "y" + QByteArray::number(i) + "\n";
    EXPECT_TRUE(DiffLines(x, y).tooLarge);
}
