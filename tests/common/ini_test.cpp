#include "common/ini.h"
#include "common/notify.h"
#include "support/testhome.h"

namespace {

QString Read(const TestHome& h, const char* section, const char* key, const char* file = "t.ini") {
    return ReadIni(QString::fromUtf8(section), QString::fromUtf8(key), QStringLiteral("DEF"), h.file(QString::fromUtf8(file)));
}
}  // namespace

TEST(Ini, LookupFollowsPrivateProfileRulesInAnyFileAndWritesTheGeneralSettings) {
    TestHome h;
    h.write(QStringLiteral("t.ini"),
            "; comment\r\n"
            "orphan=before any section\r\n"
            "[Program]\r\n"
            "  LastMachine  =  Fräs 1  \r\n"
            "nokeyline\r\n"
            "Empty=\r\n"
            "Quoted=\"a b\"\r\n"
            "dup=first\r\n"
            "DUP=second\r\n"
            "[Broken\r\n"
            "AfterBroken=still Program's\r\n"
            "[program]\r\n"
            "Other=in duplicate section\r\n"
            "[Maskin 1]\r\n"
            "Namn=Fräs A\r\n");
    // Keys and sections in any case; only the first section of a name counts.
    const std::tuple<const char*, const char*, const char*> keys[] = {
        {"Program", "LastMachine", "Fräs 1"}, {"PROGRAM", "lastMACHINE", "Fräs 1"}, {"Program", "Empty", ""},
        {"Program", "Quoted", "a b"}, {"Program", "dup", "first"}, {"Program", "nokeyline", "DEF"},
        {"Program", "Other", "DEF"}, {"Program", "AfterBroken", "still Program's"}, {"Program", "orphan", "DEF"},
        {"Maskin 1", "Namn", "Fräs A"}, {"Maskin 2", "Namn", "DEF"}};
    for (const auto& [section, key, value] : keys) EXPECT_EQ(Read(h, section, key), QString::fromUtf8(value)) << key;
    EXPECT_EQ(Read(h, "Program", "LastMachine", "missing.ini"), QStringLiteral("DEF"));

    // Either encoding, either line end, and files that hold nothing to read.
    h.write(QStringLiteral("utf8.ini"), "[Maskin 1]\nNamn=Fr\xc3\xa4s");  // LF only, no final line end
    h.write(QStringLiteral("ansi.ini"), "[Maskin 1]\r\nNamn=x\r\n[Maskin 2]\r\nNamn=Fr\xe4s\r\n");
    h.write(QStringLiteral("empty.ini"), "");
    QDir(h.path()).mkdir(QStringLiteral("folder.ini"));
    EXPECT_EQ(Read(h, "Maskin 1", "Namn", "utf8.ini"), QStringLiteral("Fräs"));
    EXPECT_EQ(Read(h, "Maskin 2", "Namn", "ansi.ini"), QStringLiteral("Fräs"));
    EXPECT_EQ(Read(h, "Maskin 1", "Namn", "empty.ini"), QStringLiteral("DEF"));
    EXPECT_EQ(Read(h, "Maskin 1", "Namn", "folder.ini"), QStringLiteral("DEF"));

    h.write(QStringLiteral("big.ini"), "[A]\r\nK=" + QByteArray(100 * 1024, 'v') + "\r\nNext=1\r\n");
    EXPECT_EQ(Read(h, "A", "K", "big.ini"), QString(511, QLatin1Char('v')));
    EXPECT_EQ(Read(h, "A", "Next", "big.ini"), QStringLiteral("1"));

    // A file name shorter than two characters means the general settings.
    h.write(QStringLiteral("Fenmo32.INI"), "[Program]\r\nDebug=True\r\n");
    EXPECT_EQ(ReadIni("Program", "Debug", "False"), "True");
    EXPECT_EQ(ReadIni("Program", "Debug", "False", "x"), "True");
    ASSERT_TRUE(WriteIni(QStringLiteral("Program"), QStringLiteral("LastMachine"), QStringLiteral("M1")));
    EXPECT_EQ(h.read(QStringLiteral("Fenmo32.INI")), QByteArray("[Program]\r\nDebug=True\r\nLastMachine=M1\r\n"));
}

TEST(Home, TheUserFolderIsMadeFromDefaults) {
    TestHome h;
    h.write(QStringLiteral("share/errors.ini"), "[Errors]\r\ne07=X\r\n");
    h.write(QStringLiteral("share/maskiner/TC-32B.dat"), "[Maskin]\r\n");
    const QString user = UserProgramFolder(h.file("user"), h.file("share"));
    EXPECT_EQ(user, h.file("user"));
    EXPECT_EQ(h.read(QStringLiteral("user/errors.ini")), "[Errors]\r\ne07=X\r\n");
    EXPECT_TRUE(h.exists(QStringLiteral("user/maskiner/TC-32B.dat")));
    // Built beside its place and renamed into it, for its user's eyes only.
    EXPECT_EQ(QDir(h.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), (QStringList{"share", "user"}));
    const auto owner = QFileDevice::ReadOwner | QFileDevice::WriteOwner;
    const auto others = QFileDevice::ReadGroup | QFileDevice::ReadOther | QFileDevice::WriteGroup | QFileDevice::WriteOther;
    for (const char* f : {"user", "user/maskiner", "user/errors.ini"}) {
        const auto p = QFileInfo(h.file(f)).permissions();
        EXPECT_EQ((p & owner).toInt(), owner.toInt()) << f;
        EXPECT_EQ((p & others).toInt(), 0) << f;
    }
    // Made once: what the shop removed later stays removed.
    QFile::remove(h.file("user/errors.ini"));
    UserProgramFolder(h.file("user"), h.file("share"));
    EXPECT_FALSE(h.exists(QStringLiteral("user/errors.ini")));
}

TEST(Ini, WriteTouchesOnlyOneLineAndKeepsTheFilesStyle) {
    TestHome h;
    const QByteArray original =
        "; shop settings\r\n"
        "[Program]\r\n"
        "  lastmachine = Old\r\n"
        "Debug=False\r\n"
        "\r\n"
        "[Maskin 1]\r\n"
        "Namn=A\r\n"
        "\r\n"
        "[Maskin 2]\r\n"
        "Namn=B";
    const QString f = h.write(QStringLiteral("t.ini"), original);
    ASSERT_TRUE(WriteIni(QStringLiteral("PROGRAM"), QStringLiteral("LastMachine"), QStringLiteral("New"), f));
    QByteArray expected = original;
    expected.replace("  lastmachine = Old", "  lastmachine =New");
    EXPECT_EQ(h.read(QStringLiteral("t.ini")), expected);

    ASSERT_TRUE(WriteIni(QStringLiteral("Maskin 1"), QStringLiteral("Typ"), QStringLiteral("0"), f));
    expected.replace("Namn=A\r\n", "Namn=A\r\nTyp=0\r\n");
    EXPECT_EQ(h.read(QStringLiteral("t.ini")), expected);

    // Last section without a final line end, then a new section.
    ASSERT_TRUE(WriteIni(QStringLiteral("Maskin 2"), QStringLiteral("Typ"), QStringLiteral("1"), f));
    ASSERT_TRUE(WriteIni(QStringLiteral("Maskin 3"), QStringLiteral("Namn"), QStringLiteral("C"), f));
    expected += "\r\nTyp=1\r\n[Maskin 3]\r\nNamn=C\r\n";
    EXPECT_EQ(h.read(QStringLiteral("t.ini")), expected);

    // The file's own line ends and encoding are kept.
    const QString lf = h.write(QStringLiteral("lf.ini"), "[A]\nK=1\n");
    ASSERT_TRUE(WriteIni(QStringLiteral("B"), QStringLiteral("Namn"), QStringLiteral("Fräs"), lf));
    EXPECT_EQ(h.read(QStringLiteral("lf.ini")), QByteArray("[A]\nK=1\n[B]\nNamn=Fr\xe4s\n"));

    const QString u = h.write(QStringLiteral("u.ini"), "[A]\r\nNamn=Fr\xc3\xa4s\r\n");
    ASSERT_TRUE(WriteIni(QStringLiteral("A"), QStringLiteral("Typ"), QStringLiteral("Svarv ö"), u));
    EXPECT_EQ(h.read(QStringLiteral("u.ini")), QByteArray("[A]\r\nNamn=Fr\xc3\xa4s\r\nTyp=Svarv \xc3\xb6\r\n"));

    ASSERT_TRUE(WriteIni(QStringLiteral("A"), QStringLiteral("K"), QStringLiteral("v"), h.file(QStringLiteral("new.ini"))));
    EXPECT_EQ(h.read(QStringLiteral("new.ini")), QByteArray("[A]\r\nK=v\r\n"));
    // No temporary left.
    EXPECT_EQ(QDir(h.path()).entryList(QDir::Files), (QStringList{"lf.ini", "new.ini", "t.ini", "u.ini"}));
}

TEST(Ini, FailedWriteIsReportedAndChangesNothing) {
    TestHome h;
    QStringList shown;
    SetMessageSink([&](const QString& text, const QString&, MsgIcon) { shown << text; });
    QDir(h.path()).mkdir(QStringLiteral("folder.ini"));
    EXPECT_FALSE(WriteIni(QStringLiteral("A"), QStringLiteral("K"), QStringLiteral("v"), h.file(QStringLiteral("folder.ini"))));
    h.write(QStringLiteral("file"), "x");
    EXPECT_FALSE(WriteIni(QStringLiteral("A"), QStringLiteral("K"), QStringLiteral("v"), h.file(QStringLiteral("file/sub.ini"))));
    // A value that would start a line of its own is refused before the file is touched.
    EXPECT_FALSE(WriteIni(QStringLiteral("A"), QStringLiteral("K"), QStringLiteral("v\r\n[B]"), h.file(QStringLiteral("file"))));
    SetMessageSink({});
    EXPECT_EQ(shown, QStringList(3, QStringLiteral("Fel vid skrivning till INI-fil...")));
    EXPECT_EQ(h.read(QStringLiteral("file")), QByteArray("x"));
    EXPECT_TRUE(QFileInfo(h.file(QStringLiteral("folder.ini"))).isDir());
}
