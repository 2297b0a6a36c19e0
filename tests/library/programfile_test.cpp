#include "library/programfile.h"

#include "common/apperror.h"
#include "support/testhome.h"

#include <QDir>
#include <QFileInfo>
#include <QTimeZone>

#include <gtest/gtest.h>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

QByteArray Bytes(const char* data, qsizetype n) { return QByteArray(data, n); }

// Every entry of the folder, to catch left-over temporary files.
QStringList Entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                  QDir::Name);
}

}  // namespace

TEST(ProgramFile, ReadDropsMarkersAndKeepsEveryOtherByte) {
    TestHome home;
    EXPECT_EQ(ReadProgramFile(home.write("A.TC", "(C)%\r\nO1\r\n%")), "\r\nO1\r\n");
    // Without "%" the whole file, NUL bytes and high bytes included.
    const QByteArray raw = Bytes("O1\0X\r\n\x80\xFF\xE5", 9);
    EXPECT_EQ(ReadProgramFile(home.write("B.TC", raw)), raw);
    EXPECT_EQ(ReadProgramFile(home.write("C.TC", "%")), "");
    EXPECT_EQ(ReadProgramFile(home.write("D.TC", "%%%")), "");
    EXPECT_EQ(ReadProgramFile(home.write("E.TC", "A%B%C%%D\r")), "BCD\r");
    EXPECT_EQ(ReadProgramFile(home.write("F.TC", "")), "");
    // A lone CR is a byte like any other.
    EXPECT_EQ(ReadProgramFile(home.write("G.TC", "%\r%")), "\r");

    // Big files are read in pieces: markers before, at and after the seams.
    const QByteArray a(1536 * 1024, 'a'), b((1 << 20) - 1, 'b'), c(700 * 1024, 'c');
    EXPECT_EQ(ReadProgramFile(home.write("H.TC", a + "%" + b + "%" + c + "%%" + "\r\nEND%")),
              b + c + "\r\nEND");
    const QByteArray plain = QByteArray(3 << 20, 'x') + "\r\n";
    EXPECT_EQ(ReadProgramFile(home.write("I.TC", plain)), plain);
    EXPECT_EQ(ReadProgramFile(home.write("J.TC", "%" + plain + "%")), plain);

    // Missing is empty; another case of the name finds the file.
    EXPECT_EQ(ReadProgramFile(home.file("NONE.TC")), "");
    EXPECT_EQ(ReadProgramFile(home.file("nix/NONE.TC")), "");
    EXPECT_EQ(ReadProgramFile(QString()), "");
    home.write("Sub/O100.TC", "%O100\r\n%");
    EXPECT_EQ(ReadProgramFile(home.file("sub/o100.tc")), "O100\r\n");

    // A folder exists but cannot be read: an error, never an empty program.
    QDir(home.path()).mkdir("DIR.TC");
    try {
        ReadProgramFile(home.file("DIR.TC"));
        ADD_FAILURE() << "no error for a folder";
    } catch (const AppError& e) {
        EXPECT_EQ(e.number(), Err::PathFileAccess);
    }
}

TEST(ProgramFile, WriteNormalisesLineEndsAndFramesTheComment) {
    TestHome home;
    // Read back and written again with its comment: the same bytes.
    const QByteArray original = "(C)%\r\nO1\r\n%";
    const QString p = home.write("O1.TC", original);
    EXPECT_TRUE(WriteProgramFile(ReadProgramFile(p), p, "C").ok);
    EXPECT_EQ(home.read("O1.TC"), original);

    // No comment anywhere: the text alone, every line end CR LF, lone CRs kept.
    EXPECT_TRUE(WriteProgramFile("O2\nG1\r\nX\r\r\n\n\rY", home.file("O2.TC"), "").ok);
    EXPECT_EQ(home.read("O2.TC"), "O2\r\nG1\r\nX\r\r\n\r\n\rY");
    EXPECT_TRUE(WriteProgramFile("\n", home.file("O3.TC"), "").ok);
    EXPECT_EQ(home.read("O3.TC"), "\r\n");

    // A new comment on a file without one.
    EXPECT_TRUE(WriteProgramFile("O2\nM30\n", home.file("O2.TC"), "NY").ok);
    EXPECT_EQ(home.read("O2.TC"), "(NY)%O2\r\nM30\r\n%");

    // An empty comment keeps the present one byte for byte, even bytes that
    // have no character in Windows-1252.
    home.write("O4.TC", "(\x81\xE5\x80 X)%\r\nOLD\r\n%");
    EXPECT_TRUE(WriteProgramFile("NEW\n", home.file("O4.TC"), "").ok);
    EXPECT_EQ(home.read("O4.TC"), "(\x81\xE5\x80 X)%NEW\r\n%");
    // ...but a file whose first line has no "%" has no comment to keep.
    home.write("O5.TC", "(X)\r\n%O5\r\n%");
    EXPECT_TRUE(WriteProgramFile("O5\r\n", home.file("O5.TC"), "").ok);
    EXPECT_EQ(home.read("O5.TC"), "O5\r\n");

    // Comments are Windows-1252; a "%" in one would cut the program apart.
    EXPECT_TRUE(WriteProgramFile("O6", home.file("O6.TC"), QString::fromUtf8("Åä€Ω 5%")).ok);
    EXPECT_EQ(home.read("O6.TC"), "(\xC5\xE4\x80? 5)%O6%");
    EXPECT_EQ(FileComment(home.file("O6.TC")), QString::fromUtf8("Åä€? 5"));
    EXPECT_EQ(ReadProgramFile(home.file("O6.TC")), "O6");

    // Another case of an existing name replaces that file, not a second one.
    home.write("P7.TC", "OLD");
    EXPECT_TRUE(WriteProgramFile("NEW", home.file("p7.tc"), "").ok);
    EXPECT_EQ(home.read("P7.TC"), "NEW");
    EXPECT_FALSE(home.exists("p7.tc"));

    EXPECT_EQ(Entries(home.path()),
              QStringList({"O1.TC", "O2.TC", "O3.TC", "O4.TC", "O5.TC", "O6.TC", "P7.TC"}));
}

TEST(ProgramFile, FailedWriteReportsAndLeavesTheOldFile) {
    TestHome home;
    const QByteArray old = "(KEEP)%\r\nO1\r\n%";
    home.write("lib/O1.TC", old);
    home.write("plain.txt", "not a folder");
    QDir(home.path()).mkpath("lib/O9.TC");

    // The parent is a regular file: no user gets past that.
    FileResult r = WriteProgramFile("X", home.file("plain.txt/O1.TC"), "C");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.number, Err::PathNotFound);
    EXPECT_EQ(r.message(), QString::fromUtf8("Filfel (76): Det gick inte att hitta sökvägen"));
    EXPECT_EQ(home.read("plain.txt"), "not a folder");

    r = WriteProgramFile("X", home.file("missing/O1.TC"), "C");
    EXPECT_EQ(r.number, Err::PathNotFound);
    EXPECT_FALSE(home.exists("missing"));

    // The target is a folder.
    r = WriteProgramFile("X", home.file("lib/O9.TC"), "C");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.number, Err::PathFileAccess);
    EXPECT_EQ(r.message(), QString::fromUtf8("Filfel (75): Fel vid åtkomst till sökväg/fil"));
    EXPECT_TRUE(QFileInfo(home.file("lib/O9.TC")).isDir());

    r = WriteProgramFile("X", QString(), "C");
    EXPECT_EQ(r.number, Err::BadFileName);

#ifndef Q_OS_WIN
    // Write protection stops a plain user (root writes anyway).
    if (::geteuid() != 0) {
        ASSERT_EQ(::chmod(QFile::encodeName(home.file("lib")).constData(), 0555), 0);
        r = WriteProgramFile("X", home.file("lib/O1.TC"), "C");
        EXPECT_EQ(r.number, Err::PermissionDenied);
        ::chmod(QFile::encodeName(home.file("lib")).constData(), 0755);
        ASSERT_EQ(::chmod(QFile::encodeName(home.file("lib/O1.TC")).constData(), 0444), 0);
        r = WriteProgramFile("X", home.file("lib/O1.TC"), "C");
        EXPECT_EQ(r.number, Err::PermissionDenied);
        // A file that cannot be read is an error, and its comment is not
        // lost by writing it over.
        ASSERT_EQ(::chmod(QFile::encodeName(home.file("lib/O1.TC")).constData(), 0200), 0);
        EXPECT_THROW(ReadProgramFile(home.file("lib/O1.TC")), AppError);
        r = WriteProgramFile("X", home.file("lib/O1.TC"), "");
        EXPECT_EQ(r.number, Err::PermissionDenied);
        ::chmod(QFile::encodeName(home.file("lib/O1.TC")).constData(), 0644);
    }
#endif

    EXPECT_EQ(home.read("lib/O1.TC"), old);
    EXPECT_EQ(Entries(home.file("lib")), QStringList({"O1.TC", "O9.TC"}));
    EXPECT_EQ(Entries(home.path()), QStringList({"lib", "plain.txt"}));
}

TEST(ProgramFile, CommentsComeFromTheFirstLine) {
    TestHome home;
    auto comments = [&](const QByteArray& bytes) {
        const QString p = home.write("T.TC", bytes);
        const Comments both = ReadComments(p);
        EXPECT_EQ(both.file, FileComment(p));
        EXPECT_EQ(both.program, ProgramComment(p));
        return both;
    };
    EXPECT_EQ(comments("%O100(SHAFT)\r\nG0\r\n%").program, "SHAFT");
    EXPECT_EQ(comments("%O100~ABCDEFGHIJKLMNOPQRSTU\r\n").program, "ABCDEFGHIJKLMNOPQR");
    EXPECT_EQ(comments("%O100~ABC\r\n(LONGER THAN THE LINE)").program, "ABC");
    EXPECT_EQ(comments("%O100)X(").program, "");
    EXPECT_EQ(comments("%O1(A~B)").program, "B)");
    // Before the first "%" only the file comment counts.
    const Comments c = comments("(MY (NOTE))%O100(P)%");
    EXPECT_EQ(c.file, "MY NOTE");
    EXPECT_EQ(c.program, "P");
    EXPECT_EQ(comments("(A~B)%O1").program, "");
    // A line without "%": no file comment, the program comment from the start.
    EXPECT_EQ(comments("O100(X)\r\n%").file, "");
    EXPECT_EQ(comments("O100(X)\r\n%").program, "X");
    // The line ends at the first CR; a lone LF does not end it.
    EXPECT_EQ(comments("(A)\r%B(C)").file, "");
    EXPECT_EQ(comments("(A)\r%B(C)").program, "A");
    EXPECT_EQ(comments("O1\n(B)%X\r\n").file, "O1\nB");
    // Windows-1252 and NUL bytes.
    const Comments w = comments("(\x80\xE5\x81)%O1(\x96\xC4)\r\n");
    EXPECT_EQ(w.file, QString::fromUtf8("€å") + QChar(0x81));
    EXPECT_EQ(w.program, QString::fromUtf8("–Ä"));
    EXPECT_EQ(comments(Bytes("(A\0B)%", 6)).file, QString("A") + QChar(0) + "B");
    // Empty and missing files have no comments.
    EXPECT_EQ(comments("").file, "");
    EXPECT_EQ(comments("").program, "");
    EXPECT_EQ(FileComment(home.file("NONE.TC")), "");
    EXPECT_EQ(ProgramComment(home.file("NONE.TC")), "");
    home.write("Case/O7.TC", "(K)%O7(P)");
    EXPECT_EQ(ReadComments(home.file("CASE/o7.TC")).file, "K");
    QDir(home.path()).mkdir("DIR.TC");
    EXPECT_THROW(FileComment(home.file("DIR.TC")), AppError);
}

TEST(ProgramFile, LongFirstLinesAreReadToTheirEnd) {
    TestHome home;
    // A CR just before, at and after the first read's end.
    for (const int at : {510, 511, 512, 513, 4607, 4608, 4609}) {
        QByteArray bytes = "(" + QByteArray(at - 3, 'x') + ")%";
        ASSERT_EQ(bytes.size(), at);
        bytes += "\r(Y)%\r\n";
        const Comments c = ReadComments(home.write("L.TC", bytes));
        EXPECT_EQ(c.file.size(), at - 3) << at;
        EXPECT_EQ(c.program, "") << at;
    }
    // A first line of 10 MB with the comments at both of its ends.
    const QByteArray big = "(" + QByteArray(10 << 20, 'A') + ")%O1~" + QByteArray("COMMENT") + "\r\nX~Y\r\n%";
    const Comments c = ReadComments(home.write("BIG.TC", big));
    EXPECT_EQ(c.file.size(), 10 << 20);
    EXPECT_EQ(c.program, "COMMENT");
    // No CR at all: the whole file is the line.
    const Comments all = ReadComments(home.write("LF.TC", "%O1\nG1\n(NOTE)\n%"));
    EXPECT_EQ(all.program, "NOTE");
}

TEST(ProgramFile, NamesKindsSizesAndTimes) {
    EXPECT_EQ(NameWithoutExt("A.B.X"), "A.B");
    EXPECT_EQ(NameWithoutExt("O100"), "");
    EXPECT_EQ(NameWithoutExt(""), "");
    EXPECT_EQ(NameWithoutExt("O100."), "O100");
    EXPECT_EQ(NameWithoutExt(".TC"), "");

    EXPECT_EQ(FileKind("O100.TC"), 2);
    EXPECT_EQ(FileKind("G1"), 2);
    EXPECT_EQ(FileKind("N5"), 2);
    EXPECT_EQ(FileKind("K1"), 3);
    EXPECT_EQ(FileKind("T1"), 4);
    EXPECT_EQ(FileKind("o100.tc"), 0);
    EXPECT_EQ(FileKind("P1"), 0);
    EXPECT_EQ(FileKind(""), 0);

    const qint64 sizes[] = {0, 1, 1023, 1024, 1536, 1048576, 5000000};
    const char* texts[] = {"0 B", "1 B", "1023 B", "1024 B", "2 kB", "1 MB", "5 MB"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(SizeText(sizes[i]), texts[i]) << sizes[i];
    EXPECT_EQ(SizeText(1073741824), "1024 MB");
    EXPECT_EQ(SizeText(1025), "1 kB");
    EXPECT_EQ(SizeText(2560), "2 kB");   // 2.5 to the even 2
    EXPECT_EQ(SizeText(3584), "4 kB");   // 3.5 to the even 4
    EXPECT_EQ(SizeText(1048575), "1024 kB");
    EXPECT_EQ(SizeText(1073741825), "1 GB");
    EXPECT_EQ(SizeText(qint64(1) << 40), "1024 GB");
    EXPECT_EQ(SizeText(qint64(5) << 40), "5120 GB");

    EXPECT_EQ(BlockCount(0), 0);
    EXPECT_EQ(BlockCount(63), 0);
    EXPECT_EQ(BlockCount(64), 0);
    EXPECT_EQ(BlockCount(65), 1);
    EXPECT_EQ(BlockCount(192), 2);
    EXPECT_EQ(BlockCount(320), 2);
    EXPECT_EQ(BlockCount(100000), 781);

    EXPECT_TRUE(FileTimeToDate(QDateTime()).isNull());
    const QDateTime utc(QDate(2021, 6, 30), QTime(23, 59, 58, 999), QTimeZone::utc());
    const QDateTime local = FileTimeToDate(utc);
    EXPECT_EQ(local.timeSpec(), Qt::LocalTime);
    EXPECT_EQ(local.toSecsSinceEpoch(), utc.toSecsSinceEpoch());
    EXPECT_EQ(local.time().msec(), 0);
    const QDateTime early(QDate(1969, 12, 31), QTime(23, 59, 59, 500), QTimeZone::utc());
    EXPECT_EQ(FileTimeToDate(early).toMSecsSinceEpoch(), -1000);
}

TEST(ProgramFile, ExistenceLooksPastCase) {
    TestHome home;
    home.write("Progs/O1.TC", "X");
    EXPECT_TRUE(FileExists(home.file("Progs/O1.TC")));
    EXPECT_TRUE(FileExists(home.file("PROGS/o1.tc")));
    EXPECT_TRUE(FileExists(home.file("progs")));
    EXPECT_FALSE(FileExists(home.file("Progs/O2.TC")));
    EXPECT_FALSE(FileExists(QString()));
    EXPECT_TRUE(FolderExists(home.file("Progs")));
    EXPECT_TRUE(FolderExists(home.file("pROGS")));
    EXPECT_FALSE(FolderExists(home.file("Progs/O1.TC")));
    EXPECT_FALSE(FolderExists(home.file("Other")));
    EXPECT_FALSE(FolderExists(QString()));
}
