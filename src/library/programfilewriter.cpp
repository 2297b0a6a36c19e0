#include "library/programfile.h"

#include "common/ansi.h"
#include "common/apperror.h"
#include "common/paths.h"
#include "common/savefile.h"
#include "common/sha256.h"
#include "library/fileaccess.h"
#include "library/programlayout.h"

#include <QByteArrayView>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cstring>

using fileaccess::ClearSystemError;
using fileaccess::LastSystemNumber;
using programlayout::FileCommentBytes;
using programlayout::FirstLine;

namespace {

FileResult Failure(int number) { return FileResult{false, number, ErrorDescription(number)}; }

// Collects output into large pieces for the save file and keeps the first
// failure with its platform error. While the output still equals the file it
// replaces, that file is read alongside: an identical store then needs
// neither a kept version nor a rewrite, and a different one usually shows
// in its first piece.
class Output {
public:
    explicit Output(QSaveFile& file) : file_(file) { buffer_.reserve(kSize); }

    void compareWith(const QString& path) {
        old_.setFileName(path);
        if (!old_.open(QIODevice::ReadOnly)) old_.setFileName(QString());
    }
    // Everything written so far equals the old file, and nothing of it is left.
    bool sameAsOld() { return old_.isOpen() && old_.atEnd(); }
    // Windows cannot replace a file that is still open.
    void stopComparing() { old_.close(); }

    void put(const char* data, qsizetype n) {
        if (number_) return;
        if (buffer_.size() + n > kSize) flush();
        if (n >= kSize) {
            write(data, n);
            return;
        }
        buffer_.append(data, n);
    }

    void flush() {
        if (!buffer_.isEmpty()) write(buffer_.constData(), buffer_.size());
        buffer_.resize(0);
    }

    int number() const { return number_; }

private:
    static constexpr qsizetype kSize = 1 << 20;

    void write(const char* data, qsizetype n) {
        if (number_) return;
        compare(data, n);
        ClearSystemError();
        if (file_.write(data, n) != n) number_ = LastSystemNumber();
    }

    void compare(const char* data, qsizetype n) {
        if (!old_.isOpen()) return;
        oldPiece_.resize(n);
        if (old_.read(oldPiece_.data(), n) != n || std::memcmp(oldPiece_.constData(), data, size_t(n)) != 0) {
            old_.close();
            oldPiece_ = QByteArray();
        }
    }

    QSaveFile& file_;
    QByteArray buffer_;
    int number_ = 0;
    QFile old_;
    QByteArray oldPiece_;
};

}  // namespace

QString FileResult::message() const {
    return QStringLiteral("Filfel (") + QString::number(number) + QStringLiteral("): ") + description;
}

struct ProgramFileWriter::Impl {
    explicit Impl(const QString& target) : file(target), out(file) {}
    QSaveFile file;
    Output out;
    QByteArray note;
    bool lastWasCr = false;
    bool finished = false;
};

ProgramFileWriter::ProgramFileWriter() = default;
ProgramFileWriter::~ProgramFileWriter() { cancel(); }

FileResult ProgramFileWriter::open(const QString& path, const QString& comment) {
    cancel();
    if (path.isEmpty()) return Failure(Err::BadFileName);
    const QString target = ResolveCase(path);
    const QFileInfo info(target);
    if (info.isDir()) return Failure(Err::PathFileAccess);
    // The save would write where the link leads, outside the library.
    if (info.isSymLink()) return Failure(Err::PermissionDenied);
    if (!QFileInfo(info.absolutePath()).isDir()) return Failure(Err::PathNotFound);
    // Replacing by rename would get past a write-protected file; writing in
    // place would not.
    if (info.exists() && !info.isWritable()) return Failure(Err::PermissionDenied);

    QByteArray note = ToAnsi(comment);
    // A "%" in the comment would end it early and put its tail into the
    // program text when the file is read back.
    note.removeIf([](char c) { return c == '%'; });
    if (comment.isEmpty()) {
        try {
            QByteArray line;
            qsizetype start;
            if (FirstLine(target, line, start)) note = FileCommentBytes(line, start);
        } catch (const AppError& e) {
            return Failure(e.number());
        }
    }

    auto d = std::make_unique<Impl>(target);
    hash_ = std::make_unique<Sha256>();
    textBytes_ = 0;
    ClearSystemError();
    // Unbuffered (Output gathers pieces itself): a full disk shows at the
    // write, never only at commit(), where Qt 6.4 would put a cut file in place.
    if (!d->file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) return Failure(LastSystemNumber());
    if (info.isFile()) d->out.compareWith(target);
    d->note = note;
    if (!note.isEmpty()) {
        d->out.put("(", 1);
        d->out.put(note.constData(), note.size());
        d->out.put(")%", 2);
    }
    d_ = std::move(d);
    return {};
}

// Every line end becomes CR LF: a CR is put before each LF that has none,
// also when the CR ended the previous piece.
bool ProgramFileWriter::write(const char* data, qsizetype n) {
    if (!d_ || d_->finished) return false;
    if (n <= 0) return d_->out.number() == 0;
    const char* const end = data + n;
    const char* from = data;
    const char* scan = data;
    const auto put = [this](const char* bytes, qsizetype count) {
        d_->out.put(bytes, count);
        hash_->add(QByteArrayView(bytes, count));
        textBytes_ += count;
    };
    while (scan < end) {
        const auto* lf = static_cast<const char*>(std::memchr(scan, '\n', static_cast<size_t>(end - scan)));
        if (!lf) break;
        const bool crBefore = lf == data ? d_->lastWasCr : lf[-1] == '\r';
        if (!crBefore) {
            put(from, lf - from);
            put("\r", 1);
            from = lf;
        }
        scan = lf + 1;
    }
    put(from, end - from);
    d_->lastWasCr = end[-1] == '\r';
    return d_->out.number() == 0;
}

FileResult ProgramFileWriter::error() const {
    return d_ && d_->out.number() ? Failure(d_->out.number()) : FileResult{};
}

FileResult ProgramFileWriter::finish() {
    if (!d_) return Failure(Err::BadFileName);
    if (!d_->finished && !d_->note.isEmpty()) d_->out.put("%", 1);
    d_->finished = true;
    d_->out.flush();
    return error();
}

bool ProgramFileWriter::sameAsTarget() const {
    return d_ && d_->finished && d_->out.number() == 0 && d_->out.sameAsOld();
}

FileResult ProgramFileWriter::commit() {
    if (!d_) return Failure(Err::BadFileName);
    finish();
    const std::unique_ptr<Impl> d = std::move(d_);
    if (d->out.number()) {
        const int number = d->out.number();
        d->file.cancelWriting();
        return Failure(number);
    }
    const bool same = d->out.sameAsOld();
    d->out.stopComparing();
    // The very same bytes: the file stays as it is, date and all.
    if (same) {
        d->file.cancelWriting();
        return {};
    }
    ClearSystemError();
    if (!d->file.commit()) return Failure(LastSystemNumber());
    // The new name on disk before the machine is told "00" or the web 201.
    if (!SyncFolderOf(d->file.fileName())) return Failure(Err::DeviceIO);
    return {};
}

void ProgramFileWriter::cancel() {
    if (!d_) return;
    d_->file.cancelWriting();
    d_.reset();
}

QString ProgramFileWriter::target() const { return d_ ? d_->file.fileName() : QString(); }

QByteArray ProgramFileWriter::sha256Hex() const { return hash_ ? hash_->hex() : QByteArray(); }

FileResult WriteProgramFile(const QByteArray& text, const QString& path, const QString& comment) {
    ProgramFileWriter writer;
    if (FileResult r = writer.open(path, comment); !r.ok) return r;
    writer.write(text.constData(), text.size());
    return writer.commit();
}
