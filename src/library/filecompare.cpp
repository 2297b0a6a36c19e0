#include "library/filecompare.h"

#include "common/ansi.h"
#include "common/apperror.h"

#include <utility>

namespace {
constexpr qsizetype kPiece = 64 * 1024;
// The part of a differing line a log line quotes.
constexpr qsizetype kQuote = 80;

// A file's program text with CR LF read as LF. Raises AppError on a read error.
class LineReader {
public:
    bool open(const QString& path) { return text_.open(path); }
    // The next byte; -1 at the end.
    int next() {
        int c = raw();
        if (c == '\r') {
            const int after = raw();
            if (after == '\n') c = '\n';
            else if (after >= 0) --pos_;
        }
        if (c == '\n') line_.clear();
        else if (c >= 0 && line_.size() < kQuote) line_ += char(c);
        return c;
    }
    // The rest of the present line, as far as a log line quotes it.
    QByteArray quoteLine() {
        QByteArray quoted = line_;
        for (int c = 0; quoted.size() < kQuote && (c = next()) >= 0 && c != '\n';) quoted = line_;
        return quoted;
    }
    const QByteArray& line() const { return line_; }

private:
    int raw() {
        if (pos_ >= buffer_.size()) {
            buffer_.resize(kPiece);
            buffer_.resize(text_.read(buffer_.data(), kPiece));
            pos_ = 0;
            if (buffer_.isEmpty()) return -1;
        }
        return static_cast<unsigned char>(buffer_[pos_++]);
    }
    ProgramTextReader text_;
    QByteArray buffer_;
    qsizetype pos_ = 0;
    QByteArray line_;
};

}  // namespace

FileDifference CompareProgramFiles(const QString& first, const QString& second) {
    FileDifference d;
    try {
        LineReader a, b;
        for (const auto& [reader, path] : {std::pair{&a, &first}, std::pair{&b, &second}})
            if (!reader->open(*path)) throw AppError(53);
        qint64 line = 1;
        for (;;) {
            const QByteArray lineA = a.line(), lineB = b.line();
            const int ca = a.next(), cb = b.next();
            if (ca != cb) {
                d.same = false;
                d.line = line;
                // Each line as far as it goes, its differing byte and what follows.
                d.first = ca >= 0 && ca != '\n' ? a.quoteLine() : lineA;
                d.second = cb >= 0 && cb != '\n' ? b.quoteLine() : lineB;
                return d;
            }
            if (ca < 0) return d;
            if (ca == '\n') ++line;
        }
    } catch (const AppError& e) {
        d.same = false;
        d.error = FileResult{false, e.number(), e.description()};
    }
    return d;
}

QString DifferenceText(const FileDifference& d) {
    return QStringLiteral("rad %1: '%2' / '%3'").arg(d.line).arg(FromAnsi(d.first), FromAnsi(d.second));
}
