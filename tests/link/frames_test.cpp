#include "link/frames.h"

#include <gtest/gtest.h>

namespace {
QByteArray Blanks(int n) { return QByteArray(n, ' '); }
}  // namespace

TEST(Frames, HeadersHaveFixedFieldsPaddedAndCut) {
    EXPECT_EQ(BuildFrame("C", "DRQ", "ALL", "", "00"), "%CDRQALL" + Blanks(9) + "00");
    EXPECT_EQ(BuildFrame("R", "LOD", "", "P1", "08"), "%RLOD    P1      08");
    // Every field cut to its width; the two blanks before the status stay.
    EXPECT_EQ(BuildFrame("CX", "SAVE", "SELECT", "PROGRAM", "000"), "%CSAVSELEPROGRA  00");
    EXPECT_EQ(BuildFrame("", "", "", "", ""), "%" + Blanks(18));
    // Bytes above 127 go through unchanged.
    EXPECT_EQ(BuildFrame("C", "SAV", "", "\xC5\xC4\xD6", "00"), "%CSAV    \xC5\xC4\xD6     00");

    EXPECT_EQ(BuildShortFrame("S", "PROG1"), "%S PROG1   ");
    EXPECT_EQ(BuildShortFrame("D", ""), "%D" + Blanks(9));
    EXPECT_EQ(BuildShortFrame("LX", "LONGNAME9"), "%L LONGNAME");

    EXPECT_EQ(BuildColonFrame(":", "PROG1", "S"), "%:PROG1  S");
    EXPECT_EQ(BuildColonFrame(":", "D", "L"), "%:D      L");
    EXPECT_EQ(BuildColonFrame(":", "PROGRAM1", "E"), "%:PROGRA E");
    // Without a letter the name has all eight places.
    EXPECT_EQ(BuildColonFrame(":", "PROGRAM1", ""), "%:PROGRAM1");
    EXPECT_EQ(BuildColonFrame("L", "AB", ""), "%LAB      ");
    EXPECT_EQ(BuildColonFrame(":", "PROGRAM12", "").size(), 10);
}

TEST(Frames, ChecksumIsFourBitSumInTwoDecimalDigits) {
    EXPECT_EQ(CalcChecksum(""), "00");
    EXPECT_EQ(CalcChecksum("%"), "00");
    EXPECT_EQ(CalcChecksum("%CDRQALL" + Blanks(11)), "03");  // 867
    // A "%" is skipped only in the first place.
    EXPECT_EQ(CalcChecksum("A%"), "06");    // 65 + 37 = 102
    EXPECT_EQ(CalcChecksum("%%"), "05");    // 37
    EXPECT_EQ(CalcChecksum("\x0F"), "15");
    EXPECT_EQ(CalcChecksum("\x10"), "00");  // wraps at 16
    EXPECT_EQ(CalcChecksum("\x09\x09"), "02");
    // Bytes above 127 count as 128..255, not as negative values.
    EXPECT_EQ(CalcChecksum("\xFF"), "15");
    EXPECT_EQ(CalcChecksum("\x80\x01"), "01");
    EXPECT_EQ(CalcChecksum("\r\n "), "07");  // 13 + 10 + 32 = 55
    for (int b = 0; b < 256; ++b) {
        const QByteArray sum = CalcChecksum("x" + QByteArray(3, char(b)));  // 'x' = 120
        ASSERT_EQ(sum.size(), 2);
        EXPECT_LE(sum.toInt(), 15) << b;
        EXPECT_EQ(sum.toInt(), (120 + 3 * b) & 15) << b;
    }
    // Long enough that a signed 32-bit sum would run over.
    EXPECT_EQ(CalcChecksum(QByteArray(9'000'000, '\xFF')), "00");
    EXPECT_EQ(CalcChecksum(QByteArray(9'000'001, '\xFF')), "15");
}

TEST(Frames, AddChecksumCountsItsLineEndAndKeepsIt) {
    const QByteArray header = BuildFrame("C", "DRQ", "ALL", "", "00");

    QByteArray lf = header;
    EXPECT_EQ(AddChecksum(lf, 1), header + "\n" + CalcChecksum(header + "\n") + "%");
    EXPECT_EQ(lf, header + "\n");
    // 867 + 16 + 16 + 10 = 909 -> 13
    EXPECT_EQ(AddChecksum(lf = header, 1), header + "\n13%");

    QByteArray crlf = header;
    EXPECT_EQ(AddChecksum(crlf, 0), header + "\r\n10%");  // 909 + 13 = 922
    EXPECT_EQ(crlf, header + "\r\n");

    QByteArray none = header;
    EXPECT_EQ(AddChecksum(none, 2), header + "03%");  // 899
    EXPECT_EQ(none, header);
    QByteArray negative = header;
    EXPECT_EQ(AddChecksum(negative, -1), header + "03%");

    // A message with a body checks the whole of it.
    QByteArray withBody = BuildFrame("C", "SAV", "", "P1", "00") + "\r\nG1X\r\nM30";
    const QByteArray bodyCopy = withBody;
    const QByteArray closed = AddChecksum(withBody, 0);
    EXPECT_EQ(closed, bodyCopy + "\r\n" + CalcChecksum(bodyCopy + "\r\n") + "%");

    EXPECT_EQ(AddEndMarker("%S PROG1   \nG1"), "%S PROG1   \nG1\n%");
    EXPECT_EQ(AddEndMarker(""), "\n%");
}

TEST(Frames, ReceiveCheckLeavesOutTheClosingLineEnd) {
    QByteArray received, computed;
    const QByteArray autoRequest = "%CDRQALL" + Blanks(12) + "03%";
    ASSERT_EQ(autoRequest.size(), 23);
    EXPECT_TRUE(ChecksumMatches(autoRequest, &received, &computed));
    EXPECT_EQ(received, "03");
    EXPECT_EQ(computed, "03");

    // The PC's own messages do not pass the receive rule when closed by LF:
    // the sender counts the LF, the receiver does not.
    QByteArray header = BuildFrame("C", "DRQ", "ALL", "", "00");
    const QByteArray lfMessage = AddChecksum(header, 1);
    EXPECT_FALSE(ChecksumMatches(lfMessage, &received, &computed));
    EXPECT_EQ(received, "13");
    EXPECT_EQ(computed, "03");  // 899

    // With CR LF the receiver counts the CR but not the LF.
    const QByteArray machine = "%RSAV    P1      00\r\n" + CalcChecksum("%RSAV    P1      00\r") + "%";
    EXPECT_TRUE(ChecksumMatches(machine, &received, &computed));
    EXPECT_FALSE(ChecksumMatches("%RSAV    P1      00\r\n00%"));

    // No closing "%": nothing received, so no match.
    EXPECT_FALSE(ChecksumMatches("%CDRQALL" + Blanks(12) + "03", &received, &computed));
    EXPECT_TRUE(received.isEmpty());
    EXPECT_EQ(computed, CalcChecksum("%CDRQALL" + Blanks(10)));

    // Short messages compare against the checksum of nothing.
    EXPECT_FALSE(ChecksumMatches("%", &received, &computed));
    EXPECT_TRUE(received.isEmpty());
    EXPECT_EQ(computed, "00");
    EXPECT_TRUE(ChecksumMatches("X00%", &received, &computed));
    EXPECT_EQ(received, "00");
    EXPECT_FALSE(ChecksumMatches("0%", &received, &computed));
    EXPECT_EQ(received, "0");
    EXPECT_FALSE(ChecksumMatches(""));
}

TEST(Frames, StripFrameTakesTheBodyOut) {
    const QByteArray header = BuildFrame("R", "LOD", "", "P1", "00");
    // CR LF after the header and at the end.
    EXPECT_EQ(StripFrame(header + "\r\nG1X0\r\nM30\r\n07%"), "G1X0\r\nM30");
    // LF only.
    EXPECT_EQ(StripFrame(header + "\nG1X0\nM30\n07%"), "G1X0\nM30");
    // No closing line end.
    EXPECT_EQ(StripFrame(header + "\nG1X0\nM3007%"), "G1X0\nM30");
    // Up to two line-end characters at the end are taken off...
    EXPECT_EQ(StripFrame(header + "\nM30\n\n07%"), "M30");
    // ...but a body that ends with its own line end loses only the closing one.
    EXPECT_EQ(StripFrame(header + "\r\nM30\r\n\r\n07%"), "M30\r\n");
    EXPECT_EQ(StripFrame(header + "\n\n\n\n07%"), "\n");
    // A one-character body.
    EXPECT_EQ(StripFrame(header + "\nX\n07%"), "X");
    // Without a body nothing is left.
    EXPECT_EQ(StripFrame(header + "\n07%"), "");
    EXPECT_EQ(StripFrame(header + "\r\n07%"), "");
    // Short messages keep the header but never fail.
    EXPECT_EQ(StripFrame("%ABCDE07%"), "%ABCDE");
    EXPECT_EQ(StripFrame("%"), "");
    EXPECT_EQ(StripFrame("%\n"), "");
    EXPECT_EQ(StripFrame("%" + Blanks(20)), "%" + Blanks(17));
    // Only messages that start with "%" are touched.
    EXPECT_EQ(StripFrame("G1X0\n07%"), "G1X0\n07%");
    EXPECT_EQ(StripFrame(""), "");
}

TEST(Frames, ProtocolOneStrippersAndNulls) {
    const QByteArray shortHeader = BuildShortFrame("S", "P1");
    ASSERT_EQ(shortHeader.size(), 11);
    EXPECT_EQ(StripShortHeader(shortHeader + "\nABC%"), "ABC");
    EXPECT_EQ(StripShortHeader(shortHeader + "\nG1\r\nM30\r\n%"), "G1\r\nM30\r\n");
    EXPECT_EQ(StripShortHeader("%" + Blanks(11)), "");  // 12 characters
    EXPECT_EQ(StripShortHeader("%" + Blanks(12)), "");  // 13 characters
    EXPECT_EQ(StripShortHeader("%"), "");
    EXPECT_EQ(StripShortHeader("ABCDEFGHIJKLMNOP"), "ABCDEFGHIJKLMNOP");

    const QByteArray colonHeader = BuildColonFrame(":", "P1", "S");
    EXPECT_EQ(StripColonHeader(colonHeader + "G1\nM30\n%"), "G1\nM30\n");
    EXPECT_EQ(StripColonHeader(colonHeader + "%"), "");
    EXPECT_EQ(StripColonHeader("%:P1"), "");
    EXPECT_EQ(StripColonHeader(colonHeader + "X%"), "X");
    EXPECT_EQ(StripColonHeader("G1 X0"), "G1 X0");

    EXPECT_EQ(StripNulls(QByteArray("\0A\0\0B\xFF\0", 7)), "AB\xFF");
    EXPECT_EQ(StripNulls(QByteArray(5, '\0')), "");
    EXPECT_EQ(StripNulls("%CDRQ\r\n"), "%CDRQ\r\n");
}
