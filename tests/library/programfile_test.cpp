#include "library/programfile.h"

#include "common/apperror.h"
#include "support/testhome.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTimeZone>

#include <gtest/gtest.h>

#ifndef Q_OS_WIN
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

// The program text read whole; read in pieces of the given size it must be the
// same, and from a snapshot too, though the file is emptied once it is taken.
QByteArray Read(const QString& path, qsizetype piece = 7) {
    const QByteArray whole = ReadProgramFile(path);
    for (const bool snapshot : {false, true}) {
        QByteArray pieces, raw;
        ProgramTextReader reader;
        QFile file(path);
        if (reader.open(path, snapshot)) {
#ifdef Q_OS_LINUX
            if (snapshot && file.open(QIODevice::ReadWrite)) raw = file.readAll(), file.resize(0);
#endif
            QByteArray buf(piece, '\0');
            for (qsizetype n; (n = reader.read(buf.data(), piece)) > 0;) pieces.append(buf.constData(), n);
            if (file.isOpen()) file.seek(0), file.write(raw);
        }
        EXPECT_EQ(pieces, whole) << path.toStdString() << " snapshot " << snapshot;
    }
    return whole;
}

}  // namespace

TEST(ProgramFile, ReadDropsMarkersAndLooksPastCase) {
    TestHome home;
    // Without "%" the whole file, NUL and high bytes included; a lone CR is a byte like any other.
    const QByteArray raw("O1\0X\r\n\x80\xFF\xE5", 9);
    const std::pair<QByteArray, QByteArray> cases[] = {
        {"(C)%\r\nO1\r\n%", "\r\nO1\r\n"}, {raw, raw}, {"%", ""}, {"%%%", ""}, {"A%B%C%%D\r", "BCD\r"},
        {"", ""}, {"%\r%", "\r"},
        // A lone "%" with only blanks behind it ends the program instead of starting it.
        {"O100\r\nG0X0\r\nM30\r\n%", "O100\r\nG0X0\r\nM30\r\n"}, {"O1%\r\n \t\n", "O1"}, {"%\r\n", ""},
        {"(C)%\r\n X", "\r\n X"}};
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(Read(home.write("A.TC", bytes)), text) << bytes.constData();

    // Big files are read in pieces: markers before, at and after the seams.
    const QByteArray a(1536 * 1024, 'a'), b((1 << 20) - 1, 'b'), c(700 * 1024, 'c');
    EXPECT_EQ(Read(home.write("H.TC", a + "%" + b + "%" + c + "%%" + "\r\nEND%"), 65537), b + c + "\r\nEND");
    const QByteArray plain = QByteArray(3 << 20, 'x') + "\r\n";
    EXPECT_EQ(Read(home.write("I.TC", plain), 65537), plain);
    EXPECT_EQ(Read(home.write("J.TC", "%" + plain + "%"), 65537), plain);
    EXPECT_EQ(Read(home.write("K.TC", plain + "%" + QByteArray(3 << 20, '\n')), 65537), plain);
    // Blanks after the first "%" run past a seam before the program goes on.
    const QByteArray blanks(2 << 20, ' ');
    EXPECT_EQ(Read(home.write("L.TC", QByteArray((1 << 20) - 1, 'a') + "%" + blanks + "Z%"), 65537), blanks + "Z");

    // The first "%" at the seam of the first look for it: a start, and an end.
    EXPECT_EQ(Read(home.write("M.TC", QByteArray(65535, 'a') + "%\r\nB%%"), 4096), "\r\nB");
    EXPECT_EQ(Read(home.write("N.TC", QByteArray(65536, 'a') + "%\r\n"), 4096), QByteArray(65536, 'a'));

    // Missing is empty; another case of the name finds the file.
    for (const QString& missing : {home.file("NONE.TC"), home.file("nix/NONE.TC"), QString()})
        EXPECT_EQ(ReadProgramFile(missing), "");
    home.write("Sub/O100.TC", "%O100\r\n%");
    EXPECT_EQ(ReadProgramFile(home.file("sub/o100.tc")), "O100\r\n");
    for (const char* yes : {"Sub/O100.TC", "SUB/o100.tc", "sub"}) EXPECT_TRUE(FileExists(home.file(yes))) << yes;
    EXPECT_FALSE(FileExists(home.file("Sub/O2.TC")));
    EXPECT_FALSE(FileExists(QString()));
    EXPECT_TRUE(FolderExists(home.file("sUB")));
    EXPECT_FALSE(FolderExists(home.file("Sub/O100.TC")));
    EXPECT_FALSE(FolderExists(home.file("Other")));
    EXPECT_FALSE(FolderExists(QString()));

    // A folder exists but cannot be read: an error, never an empty program.
    QDir(home.path()).mkdir("DIR.TC");
    try {
        ReadProgramFile(home.file("DIR.TC"));
        ADD_FAILURE() << "no error for a folder";
    } catch (const AppError& e) {
        EXPECT_EQ(e.number(), Err::PathFileAccess);
    }
}

TEST(ProgramFile, WriteNormalisesLineEndsFramesTheCommentOrReportsAndLeavesTheOldFile) {
    TestHome home;
    // The file's bytes after a write that must succeed.
    const auto written = [&](const char* name, const QByteArray& text, const QString& comment) {
        EXPECT_TRUE(WriteProgramFile(text, home.file(name), comment).ok) << name;
        return home.read(name);
    };
    // Read back and written again with its comment: the same bytes.
    const QByteArray original = "(C)%\r\nO1\r\n%";
    EXPECT_EQ(written("O1.TC", ReadProgramFile(home.write("O1.TC", original)), "C"), original);

    // No comment anywhere: the text alone, every line end CR LF, lone CRs kept.
    EXPECT_EQ(written("O2.TC", "O2\nG1\r\nX\r\r\n\n\rY", ""), "O2\r\nG1\r\nX\r\r\n\r\n\rY");
    EXPECT_EQ(written("O3.TC", "\n", ""), "\r\n");
    EXPECT_EQ(written("O2.TC", "O2\nM30\n", "NY"), "(NY)%O2\r\nM30\r\n%");

    // An empty comment keeps the present one byte for byte, even bytes that
    // have no character in Windows-1252...
    home.write("O4.TC", "(\x81\xE5\x80 X)%\r\nOLD\r\n%");
    EXPECT_EQ(written("O4.TC", "NEW\n", ""), "(\x81\xE5\x80 X)%NEW\r\n%");
    // ...but a file whose first line has no "%" has no comment to keep.
    home.write("O5.TC", "(X)\r\n%O5\r\n%");
    EXPECT_EQ(written("O5.TC", "O5\r\n", ""), "O5\r\n");

    // Comments are Windows-1252; a "%" in one would cut the program apart.
    EXPECT_EQ(written("O6.TC", "O6", QString::fromUtf8("Åä€Ω 5%")), "(\xC5\xE4\x80? 5)%O6%");
    EXPECT_EQ(FileComment(home.file("O6.TC")), QString::fromUtf8("Åä€? 5"));

    // Another case of an existing name replaces that file, not a second one.
    home.write("P7.TC", "OLD");
    EXPECT_TRUE(WriteProgramFile("NEW", home.file("p7.tc"), "").ok);
    EXPECT_EQ(home.read("P7.TC"), "NEW");

    // A failed write reports why and leaves the old file.
    const QByteArray old = "(KEEP)%\r\nO1\r\n%";
    home.write("lib/O1.TC", old);
    home.write("plain.txt", "not a folder");
    QDir(home.path()).mkpath("lib/O9.TC");

    // The parent is a regular file: no user gets past that.
    FileResult r = WriteProgramFile("X", home.file("plain.txt/O1.TC"), "C");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message(), QString::fromUtf8("Filfel (76): Det gick inte att hitta sökvägen"));
    EXPECT_EQ(home.read("plain.txt"), "not a folder");
    EXPECT_EQ(WriteProgramFile("X", home.file("missing/O1.TC"), "C").number, Err::PathNotFound);
    // The target is a folder.
    r = WriteProgramFile("X", home.file("lib/O9.TC"), "C");
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.message(), QString::fromUtf8("Filfel (75): Fel vid åtkomst till sökväg/fil"));
    EXPECT_TRUE(QFileInfo(home.file("lib/O9.TC")).isDir());
    EXPECT_EQ(WriteProgramFile("X", QString(), "C").number, Err::BadFileName);

#ifndef Q_OS_WIN
    // Write protection stops a plain user (root writes anyway).
    if (::geteuid() != 0) {
        const auto chmod = [&](const char* name, mode_t mode) {
            return ::chmod(QFile::encodeName(home.file(name)).constData(), mode);
        };
        ASSERT_EQ(chmod("lib", 0555), 0);
        EXPECT_EQ(WriteProgramFile("X", home.file("lib/O1.TC"), "C").number, Err::PermissionDenied);
        chmod("lib", 0755);
        ASSERT_EQ(chmod("lib/O1.TC", 0444), 0);
        EXPECT_EQ(WriteProgramFile("X", home.file("lib/O1.TC"), "C").number, Err::PermissionDenied);
        // A file that cannot be read is an error, and its comment is not lost by writing it over.
        ASSERT_EQ(chmod("lib/O1.TC", 0200), 0);
        EXPECT_THROW(ReadProgramFile(home.file("lib/O1.TC")), AppError);
        EXPECT_EQ(WriteProgramFile("X", home.file("lib/O1.TC"), "").number, Err::PermissionDenied);
        chmod("lib/O1.TC", 0644);
    }
#endif

    EXPECT_EQ(home.read("lib/O1.TC"), old);
    EXPECT_EQ(Entries(home.file("lib")), QStringList({"O1.TC", "O9.TC"}));
    EXPECT_EQ(Entries(home.path()),
              QStringList({"O1.TC", "O2.TC", "O3.TC", "O4.TC", "O5.TC", "O6.TC", "P7.TC", "lib", "plain.txt"}));
}

TEST(ProgramFile, CommentsComeFromTheWholeFirstLine) {
    TestHome home;
    struct Case {
        QByteArray bytes;
        QString file, program;
    };
    const Case cases[] = {
        {"%O100(SHAFT)\r\nG0\r\n%", "", "SHAFT"},
        {"%O100~ABCDEFGHIJKLMNOPQRSTU\r\n", "", "ABCDEFGHIJKLMNOPQR"},
        {"%O100~ABC\r\n(LONGER THAN THE LINE)", "", "ABC"},
        {"%O100)X(", "", ""},
        {"%O1(A~B)", "", "B)"},
        {"(MY (NOTE))%O100(P)%", "MY NOTE", "P"},  // before the first "%" only the file comment
        {"(A~B)%O1", "A~B", ""},
        {"O100(X)\r\n%", "", "X"},                   // no "%" in the line: no file comment
        {"(A)\r%B(C)", "", "A"},                     // the line ends at the first CR...
        {"O1\n(B)%X\r\n", "O1\nB", ""},              // ...not at a lone LF
        {"(\x80\xE5\x81)%O1(\x96\xC4)\r\n", QString::fromUtf8("€å") + QChar(0x81), QString::fromUtf8("–Ä")},
        {QByteArray("(A\0B)%O1", 8), QString("A") + QChar(0) + "B", ""},
        {"", "", ""},
        // A "%" that ends the file starts nothing: no file comment, the line ends before it.
        {"O100(X)%", "", "X"},
        {"O1~AB%\r\n \r\n", "", "AB"},
        {"(C)%" + QByteArray("\r\n").repeated(300), "", "C"},
        {"(C)%" + QByteArray("\r\n").repeated(300) + "O1", "C", ""}};  // past the first read
    for (const Case& c : cases) {
        const QString p = home.write("T.TC", c.bytes);
        const Comments both = ReadComments(p);
        EXPECT_EQ(both.file, c.file) << c.bytes.constData();
        EXPECT_EQ(both.program, c.program) << c.bytes.constData();
        EXPECT_EQ(FileComment(p), c.file);
        EXPECT_EQ(ProgramComment(p), c.program);
    }
    EXPECT_EQ(FileComment(home.file("NONE.TC")), "");
    EXPECT_EQ(ProgramComment(home.file("NONE.TC")), "");
    home.write("Case/O7.TC", "(K)%O7(P)");
    EXPECT_EQ(ReadComments(home.file("CASE/o7.TC")).file, "K");
    QDir(home.path()).mkdir("DIR.TC");
    EXPECT_THROW(FileComment(home.file("DIR.TC")), AppError);

    // Long first lines are read to their end: a CR just before, at and after the first read's end.
    for (const int at : {510, 511, 512, 513, 4607, 4608, 4609}) {
        const Comments c = ReadComments(home.write("L.TC", "(" + QByteArray(at - 3, 'x') + ")%\r(Y)%\r\n"));
        EXPECT_EQ(c.file.size(), at - 3) << at;
        EXPECT_EQ(c.program, "") << at;
    }
    // A first line of 10 MB with the comments at both of its ends.
    const Comments c =
        ReadComments(home.write("BIG.TC", "(" + QByteArray(10 << 20, 'A') + ")%O1~COMMENT\r\nX~Y\r\n%"));
    EXPECT_EQ(c.file.size(), 10 << 20);
    EXPECT_EQ(c.program, "COMMENT");
    // No CR at all: the whole file is the line.
    EXPECT_EQ(ReadComments(home.write("LF.TC", "%O1\nG1\n(NOTE)\n%")).program, "NOTE");
}

TEST(ProgramFile, NamesKindsSizesAndTimes) {
    for (const auto& [name, base] : {std::pair<QString, QString>{"A.B.X", "A.B"}, {"O100", ""}, {"", ""},
                                     {"O100.", "O100"}, {".TC", ""}})
        EXPECT_EQ(NameWithoutExt(name), base) << name.toStdString();
    for (const auto& [name, kind] : {std::pair<QString, int>{"O100.TC", 2}, {"G1", 2}, {"N5", 2}, {"K1", 3},
                                     {"T1", 4}, {"o100.tc", 0}, {"P1", 0}, {"", 0}})
        EXPECT_EQ(FileKind(name), kind) << name.toStdString();
    // Halves go to the even neighbour: 2.5 kB to 2, 3.5 kB to 4.
    for (const auto& [bytes, text] : {std::pair<qint64, QString>{0, "0 B"}, {1023, "1023 B"}, {1024, "1024 B"},
                                      {1025, "1 kB"}, {1536, "2 kB"}, {2560, "2 kB"}, {3584, "4 kB"},
                                      {1048575, "1024 kB"}, {1048576, "1 MB"}, {1073741824, "1024 MB"},
                                      {1073741825, "1 GB"}, {qint64(5) << 40, "5120 GB"}})
        EXPECT_EQ(SizeText(bytes), text) << bytes;
    for (const auto& [bytes, blocks] : {std::pair<qint64, qint64>{0, 0}, {63, 0}, {64, 0}, {65, 1}, {192, 2},
                                        {320, 2}, {100000, 781}})
        EXPECT_EQ(BlockCount(bytes), blocks) << bytes;

    EXPECT_TRUE(FileTimeToDate(QDateTime()).isNull());
    const QDateTime utc(QDate(2021, 6, 30), QTime(23, 59, 58, 999), QTimeZone::utc());
    const QDateTime local = FileTimeToDate(utc);
    EXPECT_EQ(local.timeSpec(), Qt::LocalTime);
    EXPECT_EQ(local.toMSecsSinceEpoch(), utc.toSecsSinceEpoch() * 1000);
    const QDateTime early(QDate(1969, 12, 31), QTime(23, 59, 59, 500), QTimeZone::utc());
    EXPECT_EQ(FileTimeToDate(early).toMSecsSinceEpoch(), -1000);
}
