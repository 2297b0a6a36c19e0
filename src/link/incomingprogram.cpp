#include "link/incomingprogram.h"
#include "link/frames.h"

namespace {
// Enough for the closing line end, checksum and "%" and the line end the
// body may end with, which decide where the body ends.
constexpr qsizetype kHeld = 6;
// The first body byte of a protocol-2 message; an LF there belongs to the
// header's line end.
constexpr qint64 kBodyStart = 20;

qint64 BodyStart(IncomingProgram::Frame frame) {
    switch (frame) {
    case IncomingProgram::Frame::Checksummed: return kBodyStart;
    case IncomingProgram::Frame::Short: return 12;
    case IncomingProgram::Frame::Colon: return 10;
    }
    return 0;
}
}  // namespace

IncomingProgram::IncomingProgram(Frame frame, QByteArrayView start, std::unique_ptr<ProgramFileWriter> writer,
                                 FileResult failure, qsizetype batch)
    : frame_(frame), writer_(std::move(writer)), failure_(std::move(failure)), batch_(batch) {
    append(start);
}

void IncomingProgram::append(QByteArrayView bytes) {
    size_ += bytes.size();
    if (window_.size() + bytes.size() <= kHeld + batch_) {
        window_.append(bytes.data(), bytes.size());
        return;
    }
    // Large pieces go to the file straight from where they arrived; only the
    // last few bytes are held.
    const qsizetype total = window_.size() + bytes.size() - kHeld;
    const qsizetype fromWindow = std::min(window_.size(), total);
    release(window_.constData(), fromWindow);
    window_.remove(0, fromWindow);
    const qsizetype direct = total - fromWindow;
    release(bytes.data(), direct);
    window_.append(bytes.data() + direct, bytes.size() - direct);
}

// Sums and writes the next count bytes of the message.
void IncomingProgram::release(const char* data, qsizetype count) {
    if (count <= 0) return;
    const auto* bytes = reinterpret_cast<const unsigned char*>(data);
    const qint64 bodyStart = BodyStart(frame_);
    qsizetype i = 0;
    qsizetype from = 0;  // first byte that goes to the file
    for (; i < count && released_ + i <= bodyStart; ++i) {
        const qint64 at = released_ + i;
        if (at >= 1) sum_ += bytes[i];
        if (at < bodyStart) from = i + 1;
        if (at == bodyStart) {
            firstBodyByte_ = char(bytes[i]);
            if (frame_ == Frame::Checksummed && bytes[i] == '\n') from = i + 1;
        }
    }
    quint32 sum = 0;
    for (; i < count; ++i) sum += bytes[i];
    sum_ += sum;
    if (writer_ && count > from) writer_->write(data + from, count - from);
    released_ += count;
}

void IncomingProgram::dropFinalDc4() {
    if (!window_.isEmpty() && window_.back() == char(20)) {
        window_.chop(1);
        --size_;
    }
}

bool IncomingProgram::endsWithPercent() const { return size_ >= 2 && !window_.isEmpty() && window_.back() == '%'; }

QByteArray IncomingProgram::receivedChecksum() const {
    if (!endsWithPercent() || window_.size() < 3) return {};
    return window_.sliced(window_.size() - 3, 2);
}

QByteArray IncomingProgram::computedChecksum() const {
    quint32 sum = sum_;
    const auto* bytes = reinterpret_cast<const unsigned char*>(window_.constData());
    for (qint64 at = released_; at < size_ - 4; ++at)
        if (at >= 1) sum += bytes[at - released_];
    return ChecksumDigits(sum);
}

FileResult IncomingProgram::finish() {
    if (!failure_.ok) return failure_;
    if (!writer_) return {};
    if (finished_) return writer_->error();
    finished_ = true;
    qint64 begin = BodyStart(frame_);
    qint64 end = size_ - 1;
    if (frame_ == Frame::Checksummed) {
        const auto at = [this](qsizetype i) -> char {
            return i >= released_ ? window_.at(i - released_) : firstBodyByte_;
        };
        std::tie(begin, end) = FrameBody(size_, at);
    }
    // The bytes of the body still held, after those already written.
    const qint64 from = std::max(begin, released_);
    if (end > from) writer_->write(window_.constData() + (from - released_), end - from);
    const FileResult r = writer_->finish();
    sha256_ = writer_->sha256Hex();
    textBytes_ = writer_->textBytes();
    return r;
}

FileResult IncomingProgram::commit() {
    if (FileResult r = finish(); !r.ok) return r;
    if (!writer_) return {};
    const std::unique_ptr<ProgramFileWriter> writer = std::move(writer_);
    return writer->commit();
}
