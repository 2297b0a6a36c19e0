#pragma once
#include "common/apperror.h"
#include "config/machines.h"
#include "library/programfile.h"
#include "link/isotape.h"
#include <QByteArray>
#include <deque>

// What goes out on the tape, produced a piece at a time: the leader, "%",
// the blocks in the machine's block ends, "%" and the trailer. It remembers
// where recent blocks end on the line, so that a stop can say which block
// went out last and which the machine surely has.
class TapeSource {
public:
    static constexpr qsizetype kPiece = 64 * 1024;

    struct Block {
        qint64 end = 0;    // bytes of the output up to its block end
        qint64 line = 0;   // 1-based line of the program text
        QByteArray text;   // its first characters, for the log
    };

    TapeSource(QByteArray framed) : pending_(std::move(framed)), done_(true) {
        closedAt_ = pending_.lastIndexOf('%') + 1;
        if (closedAt_ == 0) closedAt_ = -1;
        else runout_ = pending_.mid(closedAt_);
    }
    TapeSource(const QString& path, const MachineSettings& m, iso::Restart restart)
        : end_(iso::BlockEnd(m.EOB)), restart_(restart), trailer_(m.Slut) {
        if (!reader_.open(path)) throw AppError(53, QStringLiteral("Filen hittades inte"));
        total_ = qMax<qint64>(0, reader_.fileSize());
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
    qint64 read() const { return read_; }
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
        char buf[kPiece];
        const qsizetype n = reader_.read(buf, kPiece);
        if (n <= 0) {
            if (!partial_.isEmpty()) block(partial_), partial_.clear();
            pending_ += '%';
            closedAt_ = produced_ + pending_.size();
            runout_ = end_ + QByteArray(trailer_, '\0');
            pending_ += runout_;
            done_ = true;
            return;
        }
        read_ += n;
        QByteArrayView data(buf, n);
        qsizetype from = 0;
        for (qsizetype lf = data.indexOf('\n'); lf >= 0; lf = data.indexOf('\n', from)) {
            partial_.append(data.sliced(from, lf - from));
            block(partial_);
            partial_.clear();
            from = lf + 1;
        }
        partial_.append(data.sliced(from));
        if (partial_.size() > iso::kMaxBlock) throw AppError(6, QStringLiteral("En rad är längre än 64 kB"));
    }
    void block(const QByteArray& text) {
        const qint64 index = line_++;
        // A restart sends its set-up in place of everything before its block.
        if (index < restart_.resumeLine) return;
        if (index == restart_.resumeLine)
            for (const QByteArray& b : restart_.preamble) pending_ += b + end_;
        pending_ += iso::ToBlocks(text, {});
        pending_ += end_;
        blocks_.push_back({produced_ + pending_.size(), index + 1, text.left(40).trimmed()});
    }

    ProgramTextReader reader_;
    QByteArray end_;
    iso::Restart restart_;
    int trailer_ = 0;
    QByteArray pending_, partial_, runout_;
    bool done_ = false;
    qint64 total_ = 0, read_ = 0, produced_ = 0, line_ = 0, linesDropped_ = 0, closedAt_ = -1;
    std::deque<Block> blocks_;
};

// A restart planned over a whole program file, for a person to see first.
inline iso::Restart PlanRestartFile(const QString& path, const QString& from, bool atToolChange) {
    iso::RestartPlanner planner(from, atToolChange);
    ProgramTextReader scan;
    if (!scan.open(path)) {
        iso::Restart r;
        r.error = QStringLiteral("Filen hittades inte.");
        return r;
    }
    QByteArray partial;
    char buf[TapeSource::kPiece];
    for (qsizetype n; planner.valid() && (n = scan.read(buf, sizeof buf)) > 0;) {
        QByteArrayView data(buf, n);
        qsizetype start = 0;
        for (qsizetype lf = data.indexOf('\n'); lf >= 0; lf = data.indexOf('\n', start)) {
            partial.append(data.sliced(start, lf - start));
            if (partial.endsWith('\r')) partial.chop(1);
            planner.line(partial);
            partial.clear();
            start = lf + 1;
        }
        partial.append(data.sliced(start));
    }
    if (!partial.isEmpty()) planner.line(partial);
    return planner.result();
}
