#include "common/dates.h"
#include "common/log.h"
#include "common/notify.h"
#include "support/testhome.h"
#include <QLocale>
#include <QRegularExpression>
#include <clocale>

TEST(HexDump, SixteenAByteLinesOrPlainThirtyOne) {
    EXPECT_TRUE(HexDump({}, 3).isEmpty());
    EXPECT_TRUE(HexDump({}, 2).isEmpty());

    QByteArray sixteen;
    for (int i = 0; i < 16; ++i) sixteen += static_cast<char>(0x41 + i);
    EXPECT_EQ(HexDump(sixteen, 3),
              QByteArray("00000 | 41 42 43 44 45 46 47 48 - 49 4A 4B 4C 4D 4E 4F 50  | ABCDEFGHIJKLMNOP\r\n"));
    // The divider follows the eighth byte also when no ninth comes.
    EXPECT_EQ(HexDump(sixteen.left(8), 3),
              "00000 | 41 42 43 44 45 46 47 48 - " + QByteArray(50 - 26, ' ') + " | ABCDEFGH" + QByteArray(8, ' '));

    const QByteArray twenty = sixteen + QByteArray("\x00 %\xff", 4);
    const QByteArray second = "00010 | 00 20 25 FF " + QByteArray(50 - 12, ' ') + " | .." + "%\xff" + QByteArray(12, ' ');
    EXPECT_EQ(HexDump(twenty, 3), HexDump(sixteen, 3) + second);
    // Offsets grow past five digits.
    EXPECT_NE(HexDump(QByteArray(0x100010, 'a'), 3).indexOf("\r\n100000 | 61 61"), -1);

    // Mode 2: plain, thirty-one a line.
    EXPECT_EQ(HexDump(QByteArray(62, '\x0d'), 2), (QByteArray("0D ").repeated(31) + "\r\n").repeated(2));
    EXPECT_EQ(HexDump(QByteArray(40, 'A'), 2), QByteArray("41 ").repeated(31) + "\r\n" + QByteArray("41 ").repeated(9));
}

TEST(Log, LinesAndDumpsAppendToTheProgramFolder) {
    TestHome h;
    AddLog(QStringLiteral("Programmet startat."));
    AddLog(QStringLiteral("Begär fillista."));
    // Control characters never split a line.
    AddLog(QString::fromLatin1("a\r\nb\x00\x1b\x7f", 7) + QChar(0x85) + QStringLiteral("ö€"));
    const QByteArray log = h.read(QStringLiteral("fenmo32.log"));
    const QStringList lines = QString::fromUtf8(log).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.size(), 4);
    EXPECT_TRUE(lines[0].endsWith(QStringLiteral(" - Programmet startat.")));
    EXPECT_TRUE(lines[1].endsWith(QStringLiteral(" - Begär fillista.")));  // UTF-8 on disk, as the locale
    EXPECT_TRUE(lines[2].endsWith(QStringLiteral(" - a<0D><0A>b<00><1B><7F><85>ö€")));
    EXPECT_TRUE(lines[3].isEmpty());

    // Mode 3: the time line, an empty line, the dump and a line end.
    AddHexLog({}, QStringLiteral("dump2.log"), 3);
    const QByteArray empty = h.read(QStringLiteral("dump2.log"));
    EXPECT_TRUE(empty.endsWith("\r\n\r\n\r\n"));
    EXPECT_EQ(empty.count("\r\n"), 3);
    AddHexLog(QByteArray(16, 'x'), QStringLiteral("dump2.log"), 3);
    const QByteArray sixteen = h.read(QStringLiteral("dump2.log")).mid(empty.size());
    EXPECT_EQ(sixteen.indexOf("\r\n"), sixteen.indexOf("\r\n\r\n00000 | 78 "));
    EXPECT_TRUE(sixteen.endsWith(" | xxxxxxxxxxxxxxxx\r\n\r\n"));
    AddHexLog("AB", QStringLiteral("dump.log"), 2);
    AddHexLog("C", QStringLiteral("dump.log"), 2);
    EXPECT_EQ(h.read(QStringLiteral("dump.log")), QByteArray("41 42 \r\n43 \r\n"));

    // Past a limit the log moves to its ".1" file and starts afresh.
    SetLogLimit(log.size());
    AddLog(QStringLiteral("Efter gränsen."));
    SetLogLimit(0);
    EXPECT_EQ(h.read(QStringLiteral("fenmo32.1.log")), log);
    EXPECT_TRUE(h.read(QStringLiteral("fenmo32.log")).endsWith(" - Efter gränsen.\r\n"));
    EXPECT_EQ(h.read(QStringLiteral("fenmo32.log")).count("\r\n"), 1);
}

TEST(Log, DatesAreSwedishWhateverTheLocale) {
    const QDateTime when(QDate(2026, 12, 6), QTime(14, 33, 10));
    for (const char* name : {"C", "en_US", "de_DE"}) {
        std::setlocale(LC_ALL, name);
        QLocale::setDefault(QLocale(QString::fromLatin1(name)));
        EXPECT_EQ(GeneralDate(when), "2026-12-06 14:33:10") << name;
        EXPECT_EQ(GeneralDate(QDateTime(QDate(2026, 1, 2), QTime(0, 0))), "2026-01-02") << name;
        EXPECT_EQ(GeneralTime(QTime(9, 5, 7)), "09:05:07") << name;
        TestHome h;
        AddLog(QStringLiteral("x"));
        EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d - x\r\n$"))
                        .match(QString::fromUtf8(h.read(QStringLiteral("fenmo32.log"))))
                        .hasMatch())
            << name;
    }
    std::setlocale(LC_ALL, "");
    QLocale::setDefault(QLocale::system());
}

TEST(Log, UnwritableLogIsToldOnceAndTheWorkGoesOn) {
    TestHome h;
    QStringList told;
    SetMessageSink([&](const QString& text, const QString&, MsgIcon) { told << text; });
    const struct Reset {
        ~Reset() { SetMessageSink({}); }
    } reset;
    QDir(h.path()).mkdir(QStringLiteral("fenmo32.log"));
    for (int i = 0; i < 2; ++i) EXPECT_NO_THROW(AddLog(QStringLiteral("x")));
    ASSERT_EQ(told.size(), 1);
    EXPECT_EQ(told[0], QStringLiteral("Loggfilen kan inte skrivas (") +
                           QDir::toNativeSeparators(h.file(QStringLiteral("fenmo32.log"))) +
                           QStringLiteral("): Fel vid åtkomst till sökväg/fil. Programmet fortsätter utan logg."));

    // Writable again: logging resumes; a new failure after that is told again.
    QDir(h.path()).rmdir(QStringLiteral("fenmo32.log"));
    AddLog(QStringLiteral("igen"));
    EXPECT_TRUE(h.read(QStringLiteral("fenmo32.log")).endsWith(" - igen\r\n"));
    QFile::remove(h.file(QStringLiteral("fenmo32.log")));
    QDir(h.path()).mkdir(QStringLiteral("fenmo32.log"));
    AddLog(QStringLiteral("x"));
    EXPECT_EQ(told.size(), 2);

    QDir(h.path()).mkdir(QStringLiteral("dump2.log"));
    EXPECT_NO_THROW(AddHexLog("AB", QStringLiteral("dump2.log"), 3));
    EXPECT_NO_THROW(AddHexLog("AB", QStringLiteral("dump2.log"), 3));
    EXPECT_EQ(told.size(), 3);
#ifdef Q_OS_LINUX
    // A full disk is told as one.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/full"), h.file(QStringLiteral("dump3.log"))));
    AddHexLog("AB", QStringLiteral("dump3.log"), 3);
    ASSERT_EQ(told.size(), 4);
    EXPECT_TRUE(told[3].contains(QStringLiteral("): Disken är full. Programmet"))) << told[3].toStdString();
#endif
}
