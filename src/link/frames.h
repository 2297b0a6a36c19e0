#pragma once
// Message frames of both wire protocols: the fixed-width headers, the
// two-digit checksum of protocol 2, and the routines that close and strip
// messages. Everything here is bytes exactly as they go on the wire, but the
// name a protocol-1 header carries.
#include <QByteArray>
#include <QString>
#include <functional>
#include <utility>

// Protocol-2 header, 19 characters: "%", type (1), command (3), selector (4),
// name (6), two blanks, status (2). Short fields are blank-padded, long ones cut.
QByteArray BuildFrame(const QByteArray& type, const QByteArray& command,
                      const QByteArray& selector, const QByteArray& name,
                      const QByteArray& status);

// Protocol-1 short header, 11 characters: "%", letter, blank, name (8).
QByteArray BuildShortFrame(const QByteArray& letter, const QByteArray& name);

// Protocol-1 colon header, 10 characters: "%", first, then either name (6),
// blank, letter, or - when letter is empty - name (8).
QByteArray BuildColonFrame(const QByteArray& first, const QByteArray& name,
                           const QByteArray& letter);

// Two decimal digits "00".."15": the low four bits of the sum of the byte
// values, a leading "%" not counted.
QByteArray CalcChecksum(QByteArrayView text);
// The two digits for a byte sum already taken (the same rule).
QByteArray ChecksumDigits(quint32 sum);

// The line end that eob selects: 0 CR LF, 1 LF, anything else none.
QByteArray EobLineEnd(int eob);

// Closes a protocol-2 message: text, line end, checksum of both, "%".
// text itself keeps the appended line end.
QByteArray AddChecksum(QByteArray& text, int eob);

// The receiving side's check: the two characters before a final "%" against
// the checksum of everything but the last four characters. received is left
// empty when the message does not end with "%".
bool ChecksumMatches(const QByteArray& message, QByteArray* received = nullptr,
                     QByteArray* computed = nullptr);

// Closes a protocol-1 message with LF and "%".
QByteArray AddEndMarker(const QByteArray& text);

// The body of a received protocol-2 message (header, line end and closing
// line end, checksum and "%" removed).
QByteArray StripFrame(const QByteArray& message);
// The same, reusing the message's own memory.
QByteArray StripFrame(QByteArray&& message);
// The body's bounds [begin, end) in a protocol-2 message of size bytes, for a
// message that is not held whole: at(i) is asked only for byte 20 and the
// last six bytes.
std::pair<qsizetype, qsizetype> FrameBody(qsizetype size, const std::function<char(qsizetype)>& at);

// The body of protocol-1 data behind a short header and LF (from the 13th
// character up to the closing "%").
QByteArray StripShortHeader(const QByteArray& message);

// The body of protocol-1 data behind a colon header (from the 11th character).
QByteArray StripColonHeader(const QByteArray& message);

// The program name in a protocol-1 header of either form, blanks trimmed.
QString P1Name(const QByteArray& message);

// Blanks (only blanks) taken off both ends of a header or list field.
QByteArray TrimBlanks(const QByteArray& field);

// text without NUL characters.
QByteArray StripNulls(const QByteArray& text);
