#pragma once
// Plain ISO tape on a serial line: "%", the blocks, "%", paced by DC1/DC3 or
// CTS, with no header and no checksum. Pure helpers: the tape reader that
// cuts what the machine sends into flow codes and programs, program naming,
// remote requests and the answers Fenmo32 punches back.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringList>
#include <functional>

namespace iso {

constexpr char DC1 = 0x11, DC2 = 0x12, DC3 = 0x13, DC4 = 0x14;
// A 16550's transmit FIFO: what may still leave after the machine's DC3.
constexpr qint64 kFifo = 16;
// A punched program that fits here is looked at as a possible request.
constexpr qsizetype kRequestMax = 512;
constexpr qsizetype kMaxBlock = 64 * 1024;

enum class Flow { Xon, Cts, None };
// "XON" (also the default for anything unknown), "CTS", "INGEN".
Flow FlowFromText(const QString& text);
QString FlowText(Flow flow);

// The machine's block end: EOB 0 is CR LF, anything else LF.
QByteArray BlockEnd(int eob);

// Cuts what the machine sends: NULs and DC2/DC4 go, DC1/DC3 are flow codes,
// the text between a first "%" and the next one is a program. Anything else
// that is not text (a control character, a byte with the eighth bit set)
// counts as damage of the program under way.
class TapeReader {
public:
    struct Events {
        std::function<void(bool xon)> flow;
        std::function<void()> start;
        std::function<void(QByteArrayView text)> text;
        std::function<void()> end;
        // Bytes outside a program other than NUL, blanks and flow codes: the
        // machine is saying something while no program is under way.
        std::function<void(QByteArrayView bytes)> stray;
    };
    void feed(QByteArrayView data, const Events& on);
    bool inProgram() const { return inProgram_; }
    // Non-text bytes in the present (or last) program.
    qint64 damaged() const { return damaged_; }
    void reset() { inProgram_ = false; damaged_ = 0; }

private:
    bool inProgram_ = false;
    qint64 damaged_ = 0;
};

// Text is printable 7-bit ASCII, blank, tab, CR and LF.
bool IsText(char c);

// "O1234" for a program whose first block starts with "O1234" or ":1234";
// empty when it has no number there.
QString ProgramNumber(QByteArrayView head);

// A punched program that asks for something: one of its comments is the
// keyword (or the list keyword), compared without regard to case, with
// "Ä" also read as "A", "[" or "{" (7-bit Swedish tape has no "Ä").
struct Request {
    enum class Kind { None, Program, List } kind = Kind::None;
    QString name;  // the program's number; empty when the request names none
};
Request ParseRequest(QByteArrayView body, const QString& keyword, const QString& listKeyword);

// Texts the machine can carry: 7-bit, no "(", ")" or "%" inside a comment.
QByteArray CommentText(const QString& text);
// A one-block program whose comment says the program is missing. It has no
// program number, so that a control storing it overwrites nothing.
QByteArray MissingAnswer(const QString& name, int eob);
// A program of comments naming the programs of the send folder.
QByteArray ListAnswer(const QStringList& names, int eob);

// Library text to the machine's blocks: CRs go, every LF becomes the
// machine's block end, and a "%" (which would end the program) is dropped.
QByteArray ToBlocks(QByteArrayView text, const QByteArray& blockEnd);

// A block's N-number: "N120 G01 X5" and "/N120 ..." give 120; -1 for none.
qint64 BlockNumber(QByteArrayView block);

// Where a drip-feed restarts: "N120" or "120" names the block holding N120
// when there is one, else line 120 (counted from 1). Whole text, for tests
// and the verb's check; the station scans its file the same way in pieces.
struct Restart {
    qint64 setupLines = 0;  // lines before the program's first N-block
    qint64 resumeLine = -1; // 0-based line it resumes at; -1 when not found
};
class RestartFinder {
public:
    explicit RestartFinder(const QString& from);
    bool valid() const { return number_ >= 0; }
    // Feeds the program's lines in order; true once the restart is known.
    bool line(QByteArrayView block);
    Restart result() const;

private:
    qint64 number_ = -1;
    bool lineOnly_ = false;
    qint64 index_ = 0;
    qint64 firstN_ = -1;
    qint64 byN_ = -1;
};
Restart FindRestart(QByteArrayView text, const QString& from);

}  // namespace iso
