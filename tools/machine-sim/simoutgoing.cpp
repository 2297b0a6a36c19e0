#include "machine-sim/simoutgoing.h"

#include "machine-sim/simprotocol.h"

#include <algorithm>
#include <cstring>

namespace sim {

OutgoingMessage::OutgoingMessage(QByteArray bytes) : head_(std::move(bytes)), closed_(true) {
    size_ = head_.size();
}

OutgoingMessage::OutgoingMessage(QByteArray head, const QString& path, Closing closing)
    : head_(std::move(head)), file_(path), streamed_(true), closing_(std::move(closing)) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(head_.constData());
    for (qsizetype i = head_.startsWith('%') ? 1 : 0; i < head_.size(); ++i) sum_ += bytes[i];
}

bool OutgoingMessage::open() {
    if (!streamed_) return true;
    if (!file_.open(QIODevice::ReadOnly)) return false;
    // The closing's length does not depend on the sum.
    size_ = head_.size() + file_.size() + closing_(0).size();
    return true;
}

qsizetype OutgoingMessage::take(QByteArray& from, qsizetype& pos, char* into, qsizetype max) {
    const qsizetype n = std::min<qsizetype>(max, from.size() - pos);
    if (n <= 0) return 0;
    std::memcpy(into, from.constData() + pos, static_cast<size_t>(n));
    pos += n;
    return n;
}

qsizetype OutgoingMessage::read(char* into, qsizetype max) {
    qsizetype n = take(head_, headPos_, into, max);
    if (n > 0 || !streamed_) return n;
    if (!closed_) {
        n = file_.isOpen() ? file_.read(into, max) : -1;
        if (n > 0) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(into);
            quint32 sum = 0;
            for (qsizetype i = 0; i < n; ++i) sum += bytes[i];
            sum_ += sum;
            return n;
        }
        // A program that cannot be read to its end is cut off, never closed.
        if (n < 0 || file_.pos() < file_.size()) return 0;
        closed_ = true;
        close_ = closing_(sum_);
    }
    return take(close_, closePos_, into, max);
}

void OutgoingMessage::corruptChecksum() {
    if (!streamed_) {
        head_ = CorruptChecksum(head_);
        return;
    }
    closing_ = [inner = std::move(closing_)](quint32 sum) { return CorruptChecksum(inner(sum)); };
}

QByteArray OutgoingMessage::text() const {
    if (!streamed_) return head_;
    return head_ + "... (" + QByteArray::number(size_) + " bytes)";
}

}  // namespace sim
