#pragma once
// Plain ISO tape on a serial line: "%", the blocks, "%", paced by DC1/DC3 or
// CTS, with no header and no checksum. Pure helpers: the tape reader that
// cuts what the machine sends into flow codes and programs, program naming,
// remote requests and the answers Fenmo32 punches back.
#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QList>
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
        // The program under way was cut off by DC2 or by a new leader and
        // "%": what came of it is not the program. A new one may follow.
        std::function<void()> cut;
    };
    void feed(QByteArrayView data, const Events& on);
    // The line was quiet for a while: a "%" next starts a new punch rather
    // than closing the one under way.
    void pause() { leader_ = inProgram_; }
    bool inProgram() const { return inProgram_; }
    // Non-text bytes in the present (or last) program.
    qint64 damaged() const { return damaged_; }
    void reset() { inProgram_ = false; damaged_ = 0; leader_ = false; }

private:
    bool inProgram_ = false;
    bool leader_ = false;  // NULs or a pause since the program's last text
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

// A punch's text cut into its programs: a block opening with an O-number
// starts a new one once the one under way has its own number. Empty blocks
// before a number stay with the program before.
QList<QByteArray> SplitPrograms(const QByteArray& text);

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

// Cuts text that comes a piece at a time into its lines: each whole line
// goes to line(text, end) without its LF and a CR before it, end being where
// the line ends in the whole text; finish() hands on a last line without LF.
// A line over kMaxBlock is too long (false from feed(), nothing handed on).
class LineSplitter {
public:
    template <class F>
    bool feed(QByteArrayView data, F&& line) {
        qsizetype from = 0;
        for (qsizetype lf = data.indexOf('\n'); lf >= 0; lf = data.indexOf('\n', from)) {
            partial_.append(data.sliced(from, lf - from));
            from = lf + 1;
            hand(offset_ + from, line);
        }
        partial_.append(data.sliced(from));
        offset_ += data.size();
        return partial_.size() <= kMaxBlock;
    }
    template <class F>
    void finish(F&& line) {
        if (!partial_.isEmpty()) hand(offset_, line);
    }

private:
    template <class F>
    void hand(qint64 end, F& line) {
        QByteArrayView text(partial_);
        if (text.endsWith('\r')) text.chop(1);
        line(text, end);
        partial_.clear();
    }
    QByteArray partial_;
    qint64 offset_ = 0;
};

// A block's N-number: "N120 G01 X5" and "/N120 ..." give 120; -1 for none.
qint64 BlockNumber(QByteArrayView block);

// Where a drip-feed restarts and what it sends first. "N120" names the block
// holding N120, which must be in the main program exactly once; "L120" or a
// bare "120" names line 120 (from 1). Before it goes the main program's
// O-block and a set-up rebuilt from the modal state in force there, so that
// the machine does not cut on with the tool, offsets, spindle or distance
// mode of wherever it stopped.
struct Restart {
    qint64 resumeLine = -1;      // 0-based line it resumes at; -1: from the start
    QList<QByteArray> preamble;  // blocks sent before it, without block ends
    QString error;               // why it cannot restart there; empty when it can
    bool stateUnknown = false;   // refused only because the state there is not known
};
class RestartPlanner {
public:
    // atToolChange: resume at the nearest tool change at or before the block,
    // for when the state at the block itself cannot be known.
    RestartPlanner(const QString& from, bool atToolChange = false);
    bool valid() const { return number_ >= 0; }
    // Feeds every line of the program in order; the whole text is needed, as
    // a block number may come again further on.
    void line(QByteArrayView block);
    Restart result() const;

    struct State {
        QByteArray plane, units, distance, workOffset, radius, length, feedMode, retract, motion, cycle;
        QByteArray tool, toolCall, feed, speed, css, clamp, spindle, coolant;
        bool usesM6 = false;
        QString unknown;  // why the state is not known from here on
    };

private:
    struct Snapshot {
        State state;
        qint64 line = -1;
        qsizetype section = 0;
        bool afterEnd = false;
    };
    // An O-block and what follows it: a subprogram when it ends with M99.
    struct Section {
        QByteArray head;
        bool m99 = false, end = false;
        qint64 headLine = -1;
    };
    qint64 number_ = -1;
    bool lineOnly_ = false, atToolChange_ = false, afterEnd_ = false;
    qint64 index_ = 0;
    QList<Section> sections_;
    State state_;
    Snapshot toolChange_;  // the state before the last tool change
    // Every place the block was found, and the tool change before each.
    QList<Snapshot> hits_, hitToolChanges_;
};
Restart FindRestart(QByteArrayView text, const QString& from, bool atToolChange = false);

// The set-up blocks that bring a control into a state.
QList<QByteArray> SetupBlocks(const RestartPlanner::State& s, bool skipTool = false);

}  // namespace iso
