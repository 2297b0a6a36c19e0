#include "link/filelists.h"

#include "link/frames.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

namespace {

// A machine's send folder with programs of chosen sizes and some things that
// must stay out of its list.
void FillSendFolder(const TestHome& home) {
    home.write("send/PROG1.TC", QByteArray(64, 'x'));      // half a block, rounds to 0
    home.write("send/P2.tc", QByteArray(192, 'x'));        // 1.5 -> 2
    home.write("send/P3.TC", QByteArray(320, 'x'));        // 2.5 -> 2
    home.write("send/ROUND.TC", QByteArray(193, 'x'));     // just over 1.5 -> 2
    home.write("send/SMALL.TC", QByteArray(191, 'x'));     // just under 1.5 -> 1
    home.write("send/LONGPROGRAMNAME.TC", QByteArray(128, 'x'));
    home.write("send/BIG.TC", QByteArray(128 * 1234, 'x'));  // 1234 blocks
    home.write("send/A.B.TC", QByteArray(0, 'x'));
    home.write("send/.hidden.TC", QByteArray(128, 'x'));   // nothing before the dot
    home.write("send/OTHER.NC", QByteArray(128, 'x'));
    home.write("send/NODOT", QByteArray(384, 'x'));
    home.write("send/ÅSA.TC", QByteArray(256, 'x'));
    QDir().mkpath(home.file("send/SUB.TC"));
}

}  // namespace

TEST(FileLists, WideListOfTheSendFolder) {
    TestHome home;
    FillSendFolder(home);
    EXPECT_EQ(PcListPattern("TC"), "*.TC");

    const QByteArray list = BuildProgramList(home.file("send"), PcListPattern("tc"), ListWidth::Wide);
    EXPECT_EQ(list,
              "A       0  "
              "BIG     123"
              "LONGPROG1  "
              "P2      2  "
              "P3      2  "
              "PROG1   0  "
              "ROUND   2  "
              "SMALL   1  "
              "\xC5SA     2  ");

    // "*." alone picks the names without a dot.
    EXPECT_EQ(BuildProgramList(home.file("send"), PcListPattern(""), ListWidth::Wide), "NODOT   3  ");
    // A single program, as asked for by name.
    EXPECT_EQ(BuildProgramList(home.file("send"), "p3.tc", ListWidth::Wide), "P3      2  ");
    EXPECT_EQ(BuildProgramList(home.file("send"), "MISSING.TC", ListWidth::Wide), "");
    EXPECT_EQ(BuildProgramList(home.file("nowhere"), "*.TC", ListWidth::Wide), "");
}

TEST(FileLists, NarrowListRightAlignsSizes) {
    TestHome home;
    FillSendFolder(home);
    const QByteArray list = BuildProgramList(home.file("send"), PcListPattern("TC"), ListWidth::Narrow);
    EXPECT_EQ(list,
              "A       0"
              "BIG   123"
              "LONGPR  1"
              "P2      2"
              "P3      2"
              "PROG1   0"
              "ROUND   2"
              "SMALL   1"
              "\xC5SA     2");

    home.write("ten/TEN.TC", QByteArray(128 * 10, 'x'));
    EXPECT_EQ(BuildProgramList(home.file("ten"), "*.TC", ListWidth::Narrow), "TEN    10");
    EXPECT_EQ(BuildProgramList(home.file("ten"), "*.TC", ListWidth::Wide), "TEN     10 ");
}

TEST(FileLists, ReadsTheMachinesListInBothProtocols) {
    // Protocol 2: after the first LF, entries of 11 until the closing line end.
    const QByteArray header = BuildFrame("R", "DRQ", "ALL", "", "00");
    QList<RemoteEntry> entries =
        ReadReceivedList(header + "\r\nPROG1   12 O1000   3  LONGNAME999\r\n07%", 2);
    ASSERT_EQ(entries.size(), 3);
    EXPECT_EQ(entries[0].name, "PROG1");
    EXPECT_EQ(entries[0].size, "12");
    EXPECT_EQ(entries[1].name, "O1000");
    EXPECT_EQ(entries[1].size, "3");
    EXPECT_EQ(entries[2].name, "LONGNAME");
    EXPECT_EQ(entries[2].size, "999");

    // A short last entry is read as far as it goes; one character is not.
    entries = ReadReceivedList(header + "\nPROG1   12 AB07%", 2);
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[1].name, "AB");
    EXPECT_EQ(entries[1].size, "");
    EXPECT_EQ(ReadReceivedList(header + "\nPROG1   12 A07%", 2).size(), 1);
    EXPECT_EQ(ReadReceivedList(header + "\nPROG1   12 X       4", 2).back().size, "4");

    // No LF: no list.
    EXPECT_TRUE(ReadReceivedList(header + "PROG1   12 07%", 2).isEmpty());
    // The checksum is never read as a program.
    EXPECT_TRUE(ReadReceivedList(header + "\n07%", 2).isEmpty());
    EXPECT_TRUE(ReadReceivedList(header + "\r\n07%", 2).isEmpty());
    EXPECT_TRUE(ReadReceivedList(header + "\r\n\r\n07%", 2).isEmpty());
    EXPECT_TRUE(ReadReceivedList("", 2).isEmpty());

    // Bytes above 127 survive.
    entries = ReadReceivedList(header + "\n\xC5SA     1  \n07%", 2);
    ASSERT_EQ(entries.size(), 1);
    EXPECT_EQ(entries[0].name, "\xC5SA");

    // Protocol 1, short form: the list between the header line and "%".
    entries = ReadReceivedList(BuildShortFrame("D", "") + "\nPROG1 12 O1    100\n%", 1);
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].name, "PROG1");
    EXPECT_EQ(entries[0].size, "12");
    EXPECT_EQ(entries[1].name, "O1");
    EXPECT_EQ(entries[1].size, "100");

    // Colon form: the list right after the 10-character header.
    entries = ReadReceivedList(BuildColonFrame(":", "D", "S") + "ABCDEF  7X       1\r\n%", 1);
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[0].name, "ABCDEF");
    EXPECT_EQ(entries[0].size, "7");
    EXPECT_EQ(entries[1].name, "X");
    EXPECT_EQ(entries[1].size, "1");

    // A partial entry at the end, and an empty directory.
    entries = ReadReceivedList(BuildShortFrame("D", "") + "\nPROG1 12 P9 %", 1);
    ASSERT_EQ(entries.size(), 2);
    EXPECT_EQ(entries[1].name, "P9");
    EXPECT_TRUE(ReadReceivedList(BuildShortFrame("D", "") + "\n%", 1).isEmpty());
    EXPECT_TRUE(ReadReceivedList(BuildColonFrame(":", "D", "S") + "\n%", 1).isEmpty());
}

TEST(FileLists, PcListReadsBackAsTheSameEntries) {
    TestHome home;
    FillSendFolder(home);
    QByteArray wide = BuildFrame("R", "DRQ", "ALL", "", "00") + "\n" +
                      BuildProgramList(home.file("send"), "*.TC", ListWidth::Wide);
    const QList<RemoteEntry> p2 = ReadReceivedList(AddChecksum(wide, 0), 2);
    const QByteArray narrow = BuildColonFrame(":", "D", "S") +
                              BuildProgramList(home.file("send"), "*.TC", ListWidth::Narrow);
    const QList<RemoteEntry> p1 = ReadReceivedList(AddEndMarker(narrow), 1);
    ASSERT_EQ(p2.size(), 9);
    ASSERT_EQ(p1.size(), 9);
    EXPECT_EQ(p2[2].name, "LONGPROG");
    EXPECT_EQ(p1[2].name, "LONGPR");
    for (int i = 0; i < 9; ++i) {
        EXPECT_EQ(p1[i].size, p2[i].size) << i;
        EXPECT_TRUE(p2[i].name.startsWith(p1[i].name)) << i;
    }
}
