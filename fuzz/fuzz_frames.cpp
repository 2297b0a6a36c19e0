// The frame strippers and the checksum on any bytes. Besides not crashing:
// both strippers agree, and a body wrapped in each kind of header comes back
// whole.
#include "link/frames.h"
#include <cstdlib>

namespace {
bool IsLineEnd(char c) { return c == '\r' || c == '\n'; }
void Check(bool ok) {
    if (!ok) abort();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));

    const QByteArray body = StripFrame(bytes);
    Check(StripFrame(QByteArray(bytes)) == body);
    Check(body.size() <= bytes.size());
    Check(StripShortHeader(bytes).size() <= bytes.size());
    Check(StripColonHeader(bytes).size() <= bytes.size());
    Check(!StripNulls(bytes).contains('\0'));
    const QByteArray trimmed = TrimBlanks(bytes);
    Check(!trimmed.startsWith(' ') && !trimmed.endsWith(' '));

    quint32 sum = 0;
    for (qsizetype i = bytes.startsWith('%') ? 1 : 0; i < bytes.size(); ++i) sum += static_cast<unsigned char>(bytes[i]);
    Check(CalcChecksum(bytes) == ChecksumDigits(sum));
    QByteArray received, computed;
    ChecksumMatches(bytes, &received, &computed);
    Check(computed.size() == 2 && received.size() <= 2);

    // The machine's close: line end, checksum of all before the LF, "%".
    const QByteArray closed = bytes + '\n' + CalcChecksum(bytes) + '%';
    Check(ChecksumMatches(closed));

    if (bytes.isEmpty() || IsLineEnd(bytes.front()) || IsLineEnd(bytes.back())) return 0;
    const QByteArray header = BuildFrame("C", "SAV", "", "O1", "00");
    for (const QByteArray eol : {QByteArray("\r\n"), QByteArray("\n")}) {
        const QByteArray text = header + eol + bytes + eol;
        Check(StripFrame(text + CalcChecksum(text) + '%') == bytes);
    }
    Check(StripShortHeader(BuildShortFrame("D", "O1") + '\n' + bytes + '%') == bytes);
    Check(StripColonHeader(BuildColonFrame("D", "O1", "") + bytes + '%') == bytes);
    return 0;
}
