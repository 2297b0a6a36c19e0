#pragma once
#include "common/apperror.h"
#include "config/machines.h"
#include "library/programfile.h"
#include "link/isotape.h"
#include <QByteArray>
#include <deque>

// A program file's lines in order, one piece of the file per next(): each
// line goes to line(text, end) as LineSplitter hands it on. next() is false
// at the end, once the last line has gone; it raises AppError on a read
// error or a line too long.
class ProgramLines {
public:
    static constexpr qsizetype kPiece = 64 * 1024;
    bool open(const QString& path) { return reader_.open(path); }
    qint64 size() const { return qMax<qint64>(0, reader_.fileSize()); }
    qint64 read() const { return read_; }
    template <class F>
    bool next(F&& line) {
        char buf[kPiece];
        const qsizetype n = reader_.read(buf, kPiece);
        if (n <= 0) {
            lines_.finish(line);
            return false;
        }
        read_ += n;
        if (!lines_.feed(QByteArrayView(buf, n), line)) throw AppError(6, QStringLiteral("En rad är längre än 64 kB"));
        return true;
    }

private:
    ProgramTextReader reader_;
    iso::LineSplitter lines_;
    qint64 read_ = 0;
};

// What goes out on the tape, produced a piece at a time: the leader, "%",
// the blocks in the machine's block ends, "%" and the trailer. It remembers
// where recent blocks end on the line and in the file, so that a stop can
// say which block went out last and which the machine surely has, and the
// progress how far through the file the line is.
class TapeSource {
public:
    static constexpr qsizetype kPiece = ProgramLines::kPiece;

    struct Block {
        qint64 end = 0;    // bytes of the output up to its block end
        qint64 line = 0;   // 1-based line of the program text
        qint64 in = 0;     // bytes of the file up to its line end
        QByteArray text;   // its first characters, for the log
    };

    TapeSource(QByteArray framed) : pending_(std::move(framed)), done_(true) {
        closedAt_ = pending_.lastIndexOf('%') + 1;
        if (closedAt_ == 0) closedAt_ = -1;
        else runout_ = pending_.mid(closedAt_);
    }
    TapeSource(const QString& path, const MachineSettings& m, iso::Restart restart)
        : end_(iso::BlockEnd(m.EOB)), restart_(restart), trailer_(m.Slut) {
        if (!lines_.open(path)) throw AppError(53, QStringLiteral("Filen hittades inte"));
        total_ = lines_.size();
        pending_ = QByteArray(m.Ledare, '\0') + '%' + end_;
    }

    // The next piece; empty at the end. Raises AppError on a read error.
    QByteArray next() {
        while (pending_.size() < kPiece && !done_) fill();
        QByteArray out;
        out.swap(pending_);
        produced_ += out.size();
        return out;
    }
    qint64 total() const { return total_; }
    // Where the output's closing "%" ends, and what follows it (its line end
    // and the trailer): -1 and empty until it has been produced.
    qint64 closedAt() const { return closedAt_; }
    const QByteArray& runout() const { return runout_; }
    // Blocks whose end is at or before offset: the last one, and how many.
    const Block* lastBefore(qint64 offset) const {
        const Block* found = nullptr;
        for (const Block& b : blocks_) {
            if (b.end > offset) break;
            found = &b;
        }
        return found;
    }
    qint64 linesBefore(qint64 offset) const {
        qint64 n = linesDropped_;
        for (const Block& b : blocks_) {
            if (b.end > offset) break;
            ++n;
        }
        return n;
    }
    // Blocks that surely went out are no longer needed but the last.
    void forget(qint64 offset) {
        while (blocks_.size() > 1 && blocks_[1].end <= offset) {
            blocks_.pop_front();
            ++linesDropped_;
        }
    }

private:
    void fill() {
        if (lines_.next([this](QByteArrayView text, qint64 in) { block(text, in); })) return;
        pending_ += '%';
        closedAt_ = produced_ + pending_.size();
        runout_ = end_ + QByteArray(trailer_, '\0');
        pending_ += runout_;
        done_ = true;
    }
    void block(QByteArrayView text, qint64 in) {
        const qint64 index = line_++;
        // A restart sends its set-up in place of everything before its block.
        if (index < restart_.resumeLine) return;
        if (index == restart_.resumeLine)
            for (const QByteArray& b : restart_.preamble) pending_ += b + end_;
        pending_ += iso::ToBlocks(text, {});
        pending_ += end_;
        blocks_.push_back({produced_ + pending_.size(), index + 1, in, text.first(qMin<qsizetype>(40, text.size())).toByteArray().trimmed()});
    }

    ProgramLines lines_;
    QByteArray end_;
    iso::Restart restart_;
    int trailer_ = 0;
    QByteArray pending_, runout_;
    bool done_ = false;
    qint64 total_ = 0, produced_ = 0, line_ = 0, linesDropped_ = 0, closedAt_ = -1;
    std::deque<Block> blocks_;
};

// A restart planned over a whole program file, for a person to see first.
inline iso::Restart PlanRestartFile(const QString& path, const QString& from, bool atToolChange) {
    iso::RestartPlanner planner(from, atToolChange);
    ProgramLines lines;
    iso::Restart r;
    try {
        if (!lines.open(path)) {
            r.error = QStringLiteral("Filen hittades inte.");
            return r;
        }
        while (planner.valid() && lines.next([&](QByteArrayView text, qint64) { planner.line(text); })) {
        }
    } catch (const AppError& e) {
        r.error = e.description() + QLatin1Char('.');
        return r;
    }
    return planner.result();
}
