#include "library/programfile.h"
#include "link/frames.h"
#include "link/incomingprogram.h"
#include "link/outgoing.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <utility>

namespace {
QByteArray Blanks(int n) { return QByteArray(n, ' '); }
using Pairs = std::initializer_list<std::pair<QByteArray, QByteArray>>;
}  // namespace

TEST(Frames, HeadersHaveFixedFieldsPaddedAndCut) {
    EXPECT_EQ(BuildFrame("R", "LOD", "", "P1", "08"), "%RLOD    P1      08");
    // Every field cut to its width; the two blanks before the status stay.
    EXPECT_EQ(BuildFrame("CX", "SAVE", "SELECT", "PROGRAM", "000"), "%CSAVSELEPROGRA  00");
    EXPECT_EQ(BuildFrame("", "", "", "", ""), "%" + Blanks(18));

    EXPECT_EQ(BuildShortFrame("S", "PROG1"), "%S PROG1   ");
    EXPECT_EQ(BuildShortFrame("D", ""), "%D" + Blanks(9));
    EXPECT_EQ(BuildShortFrame("LX", "LONGNAME9"), "%L LONGNAME");

    EXPECT_EQ(BuildColonFrame(":", "PROG1", "S"), "%:PROG1  S");
    EXPECT_EQ(BuildColonFrame(":", "PROGRAM1", "E"), "%:PROGRA E");
    // Without a letter the name has all eight places.
    EXPECT_EQ(BuildColonFrame(":", "PROGRAM12", ""), "%:PROGRAM1");
}

TEST(Frames, ChecksumIsFourBitSumInTwoDecimalDigits) {
    // 867; a "%" is skipped only in the first place.
    for (const auto& [text, sum] : Pairs{{"", "00"}, {"%", "00"}, {"%CDRQALL" + Blanks(11), "03"},
                                         {"A%", "06"}, {"%%", "05"}})
        EXPECT_EQ(CalcChecksum(text), sum) << text.constData();
    // Bytes above 127 count as 128..255, and the sum wraps at 16.
    for (int b = 0; b < 256; ++b) {
        const QByteArray sum = CalcChecksum("x" + QByteArray(3, char(b)));  // 'x' = 120
        ASSERT_EQ(sum.size(), 2);
        EXPECT_EQ(sum.toInt(), (120 + 3 * b) & 15) << b;
    }
    // Long enough that a signed 32-bit sum would run over.
    EXPECT_EQ(CalcChecksum(QByteArray(9'000'001, '\xFF')), "15");
}

TEST(Frames, AddChecksumCountsItsLineEndAndKeepsIt) {
    const QByteArray header = BuildFrame("C", "DRQ", "ALL", "", "00");
    QByteArray lf = header, crlf = header, none = header;
    EXPECT_EQ(AddChecksum(lf, 1), header + "\n13%");        // 867 + 16 + 16 + 10 = 909
    EXPECT_EQ(AddChecksum(crlf, 0), header + "\r\n10%");    // 909 + 13 = 922
    EXPECT_EQ(AddChecksum(none, 2), header + "03%");        // 899
    EXPECT_EQ(lf, header + "\n");
    EXPECT_EQ(crlf, header + "\r\n");
    EXPECT_EQ(none, header);
    EXPECT_EQ(AddEndMarker("%S PROG1   \nG1"), "%S PROG1   \nG1\n%");
}

TEST(Frames, ReceiveCheckLeavesOutTheClosingLineEnd) {
    struct Case {
        QByteArray message;
        bool matches;
        QByteArray received, computed;
    };
    const Case cases[] = {
        {"%CDRQALL            03%", true, "03", "03"},
        // The PC's own message closed by LF: the sender counts the LF, the receiver does not.
        {"%CDRQALL         00\n13%", false, "13", "03"},
        // With CR LF the receiver counts the CR but not the LF.
        {"%RSAV    P1      00\r\n10%", true, "10", "10"},
        {"%CDRQALL" + Blanks(12) + "03", false, "", "03"},  // no closing "%": nothing received
        // Short messages compare against the checksum of nothing.
        {"%", false, "", "00"},
        {"X00%", true, "00", "00"},
        {"0%", false, "0", "00"}};
    for (const Case& c : cases) {
        QByteArray received = "?", computed = "?";
        EXPECT_EQ(ChecksumMatches(c.message, &received, &computed), c.matches) << c.message.constData();
        EXPECT_EQ(received, c.received) << c.message.constData();
        EXPECT_EQ(computed, c.computed) << c.message.constData();
    }
}

TEST(Frames, StripFrameTakesTheBodyOut) {
    const QByteArray h = BuildFrame("R", "LOD", "", "P1", "00");
    for (const auto& [message, body] : Pairs{
             {h + "\r\nG1X0\r\nM30\r\n07%", "G1X0\r\nM30"},
             {h + "\nG1X0\nM30\n07%", "G1X0\nM30"},
             {h + "\nG1X0\nM3007%", "G1X0\nM30"},      // no closing line end
             {h + "\nM30\n\n07%", "M30"},              // up to two line-end characters go...
             {h + "\r\nM30\r\n\r\n07%", "M30\r\n"},    // ...but a body keeps its own line end
             {h + "\n\n\n\n07%", "\n"},
             {h + "\nX\n07%", "X"},
             {h + "\n07%", ""},
             {h + "\r\n07%", ""},
             {"%ABCDE07%", "%ABCDE"},                  // short messages keep the header
             {"%", ""},
             {"%" + Blanks(20), "%" + Blanks(17)},
             {"G1X0\n07%", "G1X0\n07%"}})            // only messages starting with "%"
    {
        EXPECT_EQ(StripFrame(message), body) << message.constData();
        EXPECT_EQ(StripFrame(QByteArray(message)), body) << message.constData();  // in place
    }
}

TEST(Frames, ProtocolOneStrippersAndNulls) {
    const QByteArray s = BuildShortFrame("S", "P1");
    for (const auto& [message, body] :
         Pairs{{s + "\nG1\r\nM30\r\n%", "G1\r\nM30\r\n"}, {"%" + Blanks(11), ""}, {"%" + Blanks(12), ""},
               {"ABCDEF", "ABCDEF"}})
        EXPECT_EQ(StripShortHeader(message), body) << message.constData();

    const QByteArray c = BuildColonFrame(":", "P1", "S");
    for (const auto& [message, body] :
         Pairs{{c + "G1\nM30\n%", "G1\nM30\n"}, {c + "%", ""}, {"%:P1", ""}, {"G1 X0", "G1 X0"}})
        EXPECT_EQ(StripColonHeader(message), body) << message.constData();

    EXPECT_EQ(StripNulls(QByteArray("\0A\0\0B\xFF\0", 7)), "AB\xFF");
    EXPECT_EQ(StripNulls(QByteArray(5, '\0')), "");
    EXPECT_EQ(StripNulls("%CDRQ\r\n"), "%CDRQ\r\n");
}

// A program written as it arrives, in pieces split anywhere, gives the file a
// message held whole gives, and the same checksum.
TEST(Frames, ProgramWrittenAsItArrivesIsTheWholeMessagesBody) {
    const QTemporaryDir dir;
    const QString whole = dir.filePath("whole.NC"), streamed = dir.filePath("streamed.NC");
    const auto read = [](const QString& path) {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("(none)");
    };
    const QByteArray h = BuildFrame("C", "SAV", "", "O1", "00");
    using F = IncomingProgram::Frame;
    const std::initializer_list<std::pair<F, QByteArray>> messages = {
        {F::Checksummed, h + "\r\nG1X0\r\nM30\r\n07%"}, {F::Checksummed, h + "\nG1X0\nM30\n\n\r07%"},
        {F::Checksummed, h + "\r\n\r\n\r\n07%"},        {F::Checksummed, h + "\nA\r\n\r%B\n07%"},
        {F::Checksummed, h + "\n07%"},                  {F::Checksummed, h + "X07%"},
        {F::Short, "%S O1234567\nG1\rX\r\nM30\n%"},     {F::Colon, "%:O12345 SG1\n\r%"},
    };
    for (const auto& [frame, m] : messages) {
        const qsizetype head = frame == F::Checksummed ? 22 : 13;
        const QByteArray body = frame == F::Checksummed ? StripFrame(m)
                                : frame == F::Short     ? StripShortHeader(m)
                                                        : StripColonHeader(m);
        ASSERT_TRUE(WriteProgramFile(body, whole, {}).ok);
        QByteArray received, computed;
        ChecksumMatches(m, &received, &computed);
        for (qsizetype split = head; split <= m.size(); ++split) {
            for (const qsizetype batch : {0, 3}) {
                auto writer = std::make_unique<ProgramFileWriter>();
                ASSERT_TRUE(writer->open(streamed, {}).ok);
                IncomingProgram program(frame, QByteArrayView(m).first(head), std::move(writer), {}, batch);
                program.append(QByteArrayView(m).sliced(head, split - head));
                program.append(QByteArrayView(m).sliced(split));
                ASSERT_TRUE(program.endsWithPercent());
                ASSERT_TRUE(program.commit().ok);
                EXPECT_EQ(read(streamed), read(whole)) << m.constData() << " split at " << split;
                // No comment: the file is the program text, and its checksum the one kept.
                EXPECT_EQ(program.sha256Hex(), QCryptographicHash::hash(read(whole), QCryptographicHash::Sha256).toHex());
                EXPECT_EQ(program.textBytes(), read(whole).size());
                if (frame != F::Checksummed) continue;
                EXPECT_EQ(program.receivedChecksum(), received);
                EXPECT_EQ(program.computedChecksum(), computed) << m.constData() << " split at " << split;
            }
        }
    }
    // A send of a file with its comment: the checksum of the text that went out, in any pieces.
    ASSERT_TRUE(WriteProgramFile("\r\nO1\r\n", whole, "C").ok);
    auto reader = std::make_unique<ProgramTextReader>();
    ASSERT_TRUE(reader->open(whole));
    Outgoing out(BuildFrame("R", "LOD", "", "O1", "00"), Outgoing::Close::Checksum);
    out.setProgram(std::move(reader));
    while (!out.next(5).isEmpty()) {}
    EXPECT_EQ(out.sha256Hex(), QCryptographicHash::hash("\r\nO1\r\n", QCryptographicHash::Sha256).toHex());
    EXPECT_EQ(out.textBytes(), 6);
}
