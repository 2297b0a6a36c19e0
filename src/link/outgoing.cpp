#include "link/outgoing.h"
#include "library/programfile.h"
#include "link/frames.h"
#include <utility>

Outgoing::Outgoing(QByteArray head, Close close, int eob) : head_(head), pending_(std::move(head)), close_(close), eob_(eob) {
    // The checksum leaves out a leading "%".
    const qsizetype skip = pending_.startsWith('%') ? 1 : 0;
    add(pending_.constData() + skip, pending_.size() - skip);
}

Outgoing::~Outgoing() {
    if (!sent_) return;
    sent_->sha256 = closed_ ? sha256Hex() : QByteArray();
    sent_->bytes = textBytes_;
    sent_->whole = closed_ && pos_ >= pending_.size();
    if (sent_->ended) std::exchange(sent_->ended, nullptr)(*sent_);
}
Outgoing::Outgoing(Outgoing&&) noexcept = default;
Outgoing& Outgoing::operator=(Outgoing&&) noexcept = default;

void Outgoing::setProgram(std::unique_ptr<ProgramTextReader> program) {
    program_ = std::move(program);
    textHash_ = program_ ? std::make_unique<Sha256>() : nullptr;
    textBytes_ = 0;
}

qint64 Outgoing::size() const {
    const qint64 closing = close_ == Close::Checksum ? EobLineEnd(eob_).size() + 3
                           : close_ == Close::Percent ? 1
                           : close_ == Close::LfPercent ? 2
                                                        : 0;
    return head_.size() + (program_ ? std::max<qint64>(program_->fileSize(), 0) : 0) + closing;
}

void Outgoing::add(const char* bytes, qsizetype n) {
    const auto* b = reinterpret_cast<const unsigned char*>(bytes);
    for (qsizetype i = 0; i < n; ++i) sum_ += b[i];
}

QByteArray Outgoing::next(qsizetype max) {
    QByteArray out;
    while (out.size() < max) {
        const qsizetype room = max - out.size();
        if (pos_ < pending_.size()) {
            const qsizetype n = std::min(room, pending_.size() - pos_);
            out.append(pending_.constData() + pos_, n);
            pos_ += n;
            continue;
        }
        if (program_) {
            const qsizetype used = out.size();
            out.resize(used + room);
            const qsizetype got = program_->read(out.data() + used, room);
            out.truncate(used + got);
            if (got > 0) {
                add(out.constData() + used, got);
                textHash_->add(QByteArrayView(out.constData() + used, got));
                textBytes_ += got;
                continue;
            }
            const QString changed = program_->changedName();
            program_.reset();
            if (!changed.isEmpty()) throw FileChangedError(changed);
        }
        if (closed_) break;
        closed_ = true;
        pos_ = 0;
        switch (close_) {
        case Close::Checksum: {
            pending_ = EobLineEnd(eob_);
            add(pending_.constData(), pending_.size());
            pending_ += ChecksumDigits(sum_);
            pending_ += '%';
            break;
        }
        case Close::Percent: pending_ = QByteArrayLiteral("%"); break;
        case Close::LfPercent: pending_ = QByteArrayLiteral("\n%"); break;
        case Close::Nothing: pending_.clear(); break;
        }
    }
    return out;
}

FileChangedError::FileChangedError(const QString& name)
    : AppError(Err::PathFileAccess, QStringLiteral("Filen ändrades under sändningen: ") + name) {}

QString SendFailureText(const AppError& e) {
    if (dynamic_cast<const FileChangedError*>(&e)) return e.description();
    return FileResult{false, e.number(), e.description()}.message();
}
