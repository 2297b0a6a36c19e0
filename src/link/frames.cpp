#include "link/frames.h"
#include "common/ansi.h"

#include <algorithm>

namespace {

// Writes field over frame at pos (0-based), never past width characters.
void Put(QByteArray& frame, qsizetype pos, const QByteArray& field, qsizetype width) {
    const qsizetype n = std::min(field.size(), width);
    std::copy_n(field.constData(), n, frame.data() + pos);
}

bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }

// Body of a protocol-1 message from the 1-based position start up to the
// character before the closing one.
QByteArray StripFrom(const QByteArray& message, qsizetype start) {
    if (!message.startsWith('%')) return message;
    if (message.size() < start) return {};
    return message.mid(start - 1, message.size() - start);
}

}  // namespace

QByteArray BuildFrame(const QByteArray& type, const QByteArray& command,
                      const QByteArray& selector, const QByteArray& name,
                      const QByteArray& status) {
    QByteArray frame = "%" + QByteArray(18, ' ');
    Put(frame, 1, type, 1);
    Put(frame, 2, command, 3);
    Put(frame, 5, selector, 4);
    Put(frame, 9, name, 6);
    Put(frame, 17, status, 2);
    return frame;
}

QByteArray BuildShortFrame(const QByteArray& letter, const QByteArray& name) {
    QByteArray frame = "%" + QByteArray(10, ' ');
    Put(frame, 1, letter, 1);
    Put(frame, 3, name, 8);
    return frame;
}

QByteArray BuildColonFrame(const QByteArray& first, const QByteArray& name,
                           const QByteArray& letter) {
    QByteArray frame = "%" + QByteArray(9, ' ');
    Put(frame, 1, first, 1);
    if (letter.isEmpty()) {
        Put(frame, 2, name, 8);
    } else {
        Put(frame, 2, name, 6);
        Put(frame, 9, letter, 1);
    }
    return frame;
}

QByteArray CalcChecksum(QByteArrayView text) {
    // Only the low four bits survive, so an unsigned sum gives the same digits
    // as a 32-bit one and cannot overflow on very long programs.
    quint32 sum = 0;
    const qsizetype start = text.startsWith('%') ? 1 : 0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.constData());
    for (qsizetype i = start; i < text.size(); ++i) sum += bytes[i];
    return ChecksumDigits(sum);
}

QByteArray ChecksumDigits(quint32 sum) {
    const unsigned value = sum & 15u;
    QByteArray digits(2, '0');
    digits[0] = char('0' + value / 10);
    digits[1] = char('0' + value % 10);
    return digits;
}

QByteArray EobLineEnd(int eob) {
    switch (eob) {
    case 0: return QByteArrayLiteral("\r\n");
    case 1: return QByteArrayLiteral("\n");
    default: return {};
    }
}

QByteArray AddChecksum(QByteArray& text, int eob) {
    text += EobLineEnd(eob);
    QByteArray message;
    message.reserve(text.size() + 3);
    message += text;
    message += CalcChecksum(text);
    message += '%';
    return message;
}

bool ChecksumMatches(const QByteArray& message, QByteArray* received, QByteArray* computed) {
    QByteArray got;
    if (message.endsWith('%')) {
        const qsizetype start = std::max<qsizetype>(0, message.size() - 3);
        got = message.mid(start, message.size() - 1 - start);
    }
    const QByteArray calc = CalcChecksum(QByteArrayView(message).first(std::max<qsizetype>(0, message.size() - 4)));
    if (received) *received = got;
    if (computed) *computed = calc;
    return got == calc;
}

QByteArray AddEndMarker(const QByteArray& text) {
    return text + "\n%";
}

std::pair<qsizetype, qsizetype> FrameBody(qsizetype size, const std::function<char(qsizetype)>& at) {
    qsizetype begin = 0;
    qsizetype end = size;
    if (end > 21) begin = 20;
    end = std::max(begin, end - 3);
    // The closing line end is at most CR LF. When the body itself ends with a
    // line end, only the closing one goes: cutting nothing would add a blank
    // line to the program at every transfer.
    bool cut = false;
    for (qsizetype back = 1; back <= 3 && end - back >= begin; ++back) {
        if (!IsLineEnd(at(end - back))) {
            end -= back - 1;
            cut = true;
            break;
        }
    }
    if (!cut && end - begin >= 3) end -= (at(end - 1) == '\n' && at(end - 2) == '\r') ? 2 : 1;
    if (begin < end && at(begin) == '\n') ++begin;
    return {begin, end};
}

namespace {
std::pair<qsizetype, qsizetype> BodyOf(const QByteArray& message) {
    return FrameBody(message.size(), [&](qsizetype i) { return message.at(i); });
}
}  // namespace

QByteArray StripFrame(const QByteArray& message) {
    if (!message.startsWith('%')) return message;
    const auto [begin, end] = BodyOf(message);
    return message.mid(begin, end - begin);
}

QByteArray StripFrame(QByteArray&& message) {
    if (!message.startsWith('%')) return std::move(message);
    const auto [begin, end] = BodyOf(message);
    // In place: a program of many megabytes is not copied again.
    message.truncate(end);
    message.remove(0, begin);
    return std::move(message);
}

QByteArray StripShortHeader(const QByteArray& message) {
    return StripFrom(message, 13);
}

QByteArray StripColonHeader(const QByteArray& message) {
    return StripFrom(message, 11);
}

QByteArray TrimBlanks(const QByteArray& field) {
    qsizetype begin = 0;
    qsizetype end = field.size();
    while (begin < end && field.at(begin) == ' ') ++begin;
    while (end > begin && field.at(end - 1) == ' ') --end;
    return field.mid(begin, end - begin);
}

QByteArray StripNulls(const QByteArray& text) {
    if (!text.contains('\0')) return text;
    QByteArray out;
    out.reserve(text.size());
    for (char c : text)
        if (c != '\0') out += c;
    return out;
}

QString P1Name(const QByteArray& message) {
    const QByteArray letter = message.mid(1, 1);
    // The short form carries an 8-character name at 4-11, the colon form
    // 6 characters at 3-8; a short message ends its field early.
    const bool shortForm = letter.size() == 1 && QByteArrayView("LSERD").contains(letter.at(0));
    QByteArray field = shortForm ? message.mid(3, 8) : message.mid(2, 7);
    for (qsizetype i = 0; i < field.size(); ++i)
        if (field.at(i) == '\r' || field.at(i) == '\n' || field.at(i) == '%') {
            field.truncate(i);
            break;
        }
    return FromAnsi(TrimBlanks(field));
}
