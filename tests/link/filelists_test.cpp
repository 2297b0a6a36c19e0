#include "link/filelists.h"

#include "link/frames.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

namespace {

// A send folder with programs of chosen sizes and things that stay out of its list.
void FillSendFolder(const TestHome& home) {
    home.write("send/PROG1.TC", QByteArray(64, 'x'));   // half a block, to the even 0
    home.write("send/P2.tc", QByteArray(192, 'x'));     // 1.5 -> 2
    home.write("send/P3.TC", QByteArray(320, 'x'));     // 2.5 -> 2
    home.write("send/LONGPROGRAMNAME.TC", QByteArray(128, 'x'));
    home.write("send/BIG.TC", QByteArray(128 * 1234, 'x'));
    home.write("send/A.B.TC", QByteArray());
    home.write("send/.hidden.TC", QByteArray(128, 'x'));  // nothing before the dot
    home.write("send/OTHER.NC", QByteArray(128, 'x'));
    home.write("send/NODOT", QByteArray(384, 'x'));
    home.write("send/ÅSA.TC", QByteArray(256, 'x'));
    QDir().mkpath(home.file("send/SUB.TC"));
}

// "name=size;" for every entry, so that one comparison pins a whole list.
QByteArray Flat(const QList<RemoteEntry>& entries) {
    QByteArray out;
    for (const RemoteEntry& e : entries) out += e.name + '=' + e.size + ';';
    return out;
}

}  // namespace

TEST(FileLists, PcListsInBothWidthsAndReadBack) {
    TestHome home;
    FillSendFolder(home);
    const QString send = home.file("send");

    const QByteArray wide = BuildProgramList(send, PcListPattern("tc"), ListWidth::Wide);
    EXPECT_EQ(wide,
              "A       0  BIG     123LONGPROG1  P2      2  P3      2  PROG1   0  \xC5SA     2  ");
    const QByteArray narrow = BuildProgramList(send, PcListPattern("TC"), ListWidth::Narrow);
    EXPECT_EQ(narrow, "A       0BIG   123LONGPR  1P2      2P3      2PROG1   0\xC5SA     2");

    // "*." alone picks the names without a dot; a name picks one program.
    EXPECT_EQ(BuildProgramList(send, PcListPattern(""), ListWidth::Wide), "NODOT   3  ");
    EXPECT_EQ(BuildProgramList(send, "p3.tc", ListWidth::Wide), "P3      2  ");
    EXPECT_EQ(BuildProgramList(send, "MISSING.TC", ListWidth::Wide), "");
    EXPECT_EQ(BuildProgramList(home.file("nowhere"), "*.TC", ListWidth::Wide), "");

    // What the PC sends reads back as the same entries, in either protocol.
    QByteArray p2 = BuildFrame("R", "DRQ", "ALL", "", "00") + "\n" + wide;
    EXPECT_EQ(Flat(ReadReceivedList(AddChecksum(p2, 0), 2)),
              "A=0;BIG=123;LONGPROG=1;P2=2;P3=2;PROG1=0;\xC5SA=2;");
    EXPECT_EQ(Flat(ReadReceivedList(AddEndMarker(BuildColonFrame(":", "D", "S") + narrow), 1)),
              "A=0;BIG=123;LONGPR=1;P2=2;P3=2;PROG1=0;\xC5SA=2;");
}

TEST(FileLists, ReadsTheMachinesListInBothProtocols) {
    // Protocol 2: after the first LF, entries of 11 until the closing line end.
    const QByteArray h = BuildFrame("R", "DRQ", "ALL", "", "00");
    EXPECT_EQ(Flat(ReadReceivedList(h + "\r\nPROG1   12 O1000   3  LONGNAME999\r\n07%", 2)),
              "PROG1=12;O1000=3;LONGNAME=999;");
    // A short last entry is read as far as it goes; one character is not.
    EXPECT_EQ(Flat(ReadReceivedList(h + "\nPROG1   12 AB07%", 2)), "PROG1=12;AB=;");
    EXPECT_EQ(Flat(ReadReceivedList(h + "\nPROG1   12 A07%", 2)), "PROG1=12;");
    EXPECT_EQ(Flat(ReadReceivedList(h + "\nPROG1   12 X       4", 2)), "PROG1=12;X=4;");
    // No LF, no list; the checksum is never read as a program.
    for (const QByteArray& none : {h + "PROG1   12 07%", h + "\n07%", h + "\r\n\r\n07%"})
        EXPECT_TRUE(ReadReceivedList(none, 2).isEmpty()) << none.constData();

    // Protocol 1: the short form's list between its header line and "%", the
    // colon form's right after its 10-character header.
    const QByteArray d = BuildShortFrame("D", "") + "\n";
    EXPECT_EQ(Flat(ReadReceivedList(d + "PROG1 12 O1    100\n%", 1)), "PROG1=12;O1=100;");
    EXPECT_EQ(Flat(ReadReceivedList(BuildColonFrame(":", "D", "S") + "ABCDEF  7X       1\r\n%", 1)),
              "ABCDEF=7;X=1;");
    EXPECT_EQ(Flat(ReadReceivedList(d + "PROG1 12 P9 %", 1)), "PROG1=12;P9=;");
    EXPECT_TRUE(ReadReceivedList(d + "%", 1).isEmpty());
    EXPECT_TRUE(ReadReceivedList(BuildColonFrame(":", "D", "S") + "\n%", 1).isEmpty());
}
