#include "machine-sim/simincoming.h"

#include "link/frames.h"

#include <QFile>
#include <algorithm>
#include <cstdio>

namespace sim {

IncomingProgram::IncomingProgram(const QString& folder, qsizetype bodyStart)
    : file_(folder + QLatin1Char('/') + QLatin1String(kTemporaryPrefix) + QStringLiteral("XXXXXX")),
      bodyStart_(bodyStart) {
    if (bodyStart_ != kFrame2) begin_ = bodyStart_;
    if (!file_.open()) fail(file_.errorString());
}

void IncomingProgram::fail(const QString& why) {
    if (!ok_) return;
    ok_ = false;
    error_ = why;
}

bool IncomingProgram::append(const char* data, qsizetype n) {
    if (n <= 0 || !ok_) return ok_;
    if (file_.write(data, n) != n) fail(file_.errorString());
    written_ += n;
    return ok_;
}

void IncomingProgram::write(const char* data, qsizetype n) {
    if (n <= 0) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const qsizetype first = size_ == 0 && data[0] == '%' ? 1 : 0;
    quint32 sum = 0;
    for (qsizetype i = first; i < n; ++i) sum += bytes[i];
    sum_ += sum;
    if (head_.size() < kWhole) head_.append(data, std::min<qsizetype>(n, kWhole - head_.size()));

    const qint64 oldSize = size_;
    size_ += n;
    // After the header's line end: a LF there belongs to the frame.
    if (begin_ < 0 && head_.size() > 20) begin_ = head_.at(20) == '\n' ? 21 : 20;
    if (begin_ >= 0) {
        // Everything but the last kHold bytes is surely body (or header).
        const qint64 flushEnd = size_ - kHold;
        qint64 from = begin_ + written_;
        const qint64 tailStart = oldSize - tail_.size();
        if (from < oldSize && from < flushEnd) {
            const qint64 to = std::min(oldSize, flushEnd);
            append(tail_.constData() + (from - tailStart), to - from);
            from = to;
        }
        if (from >= oldSize && from < flushEnd) append(data + (from - oldSize), flushEnd - from);
    }
    if (n >= kHold) {
        tail_ = QByteArray(data + n - kHold, kHold);
    } else {
        tail_.append(data, n);
        if (tail_.size() > kHold) tail_.remove(0, tail_.size() - kHold);
    }
}

void IncomingProgram::finish() {
    auto at = [this](qsizetype i) -> char {
        if (i < head_.size()) return head_.at(i);
        const qint64 t = i - (size_ - tail_.size());
        return t >= 0 && t < tail_.size() ? tail_.at(t) : '\0';
    };
    qint64 begin = 0;
    qint64 end = 0;
    if (bodyStart_ == kFrame2) {
        std::tie(begin, end) = FrameBody(size_, at);
    } else {
        begin = bodyStart_;
        end = size_ - 1;
    }
    if (end <= begin || begin_ < 0) {
        if (ok_ && !file_.resize(0)) fail(file_.errorString());
        written_ = 0;
    } else if (begin != begin_) {
        fail(QStringLiteral("body out of place"));
    } else if (end > begin_ + written_) {
        const qint64 from = begin_ + written_;
        for (qint64 i = from; i < end; ++i) {
            const char c = at(i);
            append(&c, 1);
        }
    } else if (end < begin_ + written_) {
        written_ = end - begin_;
        if (ok_ && !(file_.flush() && file_.resize(written_))) fail(file_.errorString());
    }
    if (ok_ && !file_.flush()) fail(file_.errorString());

    checksumOk_ = false;
    if (size_ >= 4 && tail_.size() >= 3 && tail_.endsWith('%')) {
        quint32 sum = sum_;
        for (qsizetype i = tail_.size() - 3; i < tail_.size(); ++i) sum -= static_cast<unsigned char>(tail_.at(i));
        checksumOk_ = ChecksumDigits(sum) == tail_.mid(tail_.size() - 3, 2);
    }
}

QByteArray IncomingProgram::text() const {
    if (size_ <= kWhole) return head_;
    return head_.left(std::max<qint64>(begin_, 0)) + "... (" + QByteArray::number(size_) + " bytes)";
}

bool IncomingProgram::commit(const QString& path) {
    if (!ok_) return false;
    // Asking the name gives an unnamed temporary file one.
    const QString temporary = file_.fileName();
    file_.close();
    // Replaced in one step but not synced: a simulated memory needs no
    // durability, and a sync per program would make the machine the slow side.
    if (::rename(QFile::encodeName(temporary).constData(), QFile::encodeName(path).constData()) != 0) {
        fail(QStringLiteral("rename failed"));
        return false;
    }
    file_.setAutoRemove(false);
    return true;
}

}  // namespace sim
