#include "machine-sim/simprotocol.h"

#include "link/frames.h"

#include <algorithm>

namespace sim {

namespace {

// A header field of a protocol-1 message: a short message ends inside the
// header, so its closing characters are no part of the name.
QByteArray HeaderField(const QByteArray& message, qsizetype pos, qsizetype width) {
    QByteArray field = message.mid(pos, width);
    for (qsizetype i = 0; i < field.size(); ++i) {
        const char c = field.at(i);
        if (c == '\r' || c == '\n' || c == '%') {
            field.truncate(i);
            break;
        }
    }
    return TrimBlanks(field);
}

}  // namespace

QByteArray LineEndBytes(LineEnd eob) {
    return eob == LineEnd::Lf ? QByteArrayLiteral("\n") : QByteArrayLiteral("\r\n");
}

QByteArray CloseMachineMessage(const QByteArray& text, LineEnd eob) {
    QByteArray message = text;
    if (eob == LineEnd::CrLf) message += '\r';
    const QByteArray sum = CalcChecksum(message);
    message += '\n';
    message += sum;
    message += '%';
    return message;
}

bool PcChecksumOk(const QByteArray& message) {
    if (message.size() < 3 || !message.endsWith('%')) return false;
    const QByteArray received = message.mid(message.size() - 3, 2);
    return received == CalcChecksum(message.left(message.size() - 3));
}

QByteArray CorruptChecksum(const QByteArray& message) {
    if (message.size() < 3 || !message.endsWith('%')) return message;
    QByteArray out = message;
    const qsizetype at = out.size() - 3;
    const int value = (out.at(at) - '0') * 10 + (out.at(at + 1) - '0');
    const int other = (value + 1) & 15;
    out[at] = char('0' + other / 10);
    out[at + 1] = char('0' + other % 10);
    return out;
}

QByteArray WithStatus(const QByteArray& message, const QByteArray& status) {
    if (message.size() < 19) return message;
    QByteArray out = message;
    const QByteArray code = (status + "  ").left(2);
    out[17] = code.at(0);
    out[18] = code.at(1);
    return out;
}

Frame2 ReadFrame2(const QByteArray& message) {
    Frame2 f;
    if (!message.startsWith('%')) return f;
    f.type = message.size() > 1 ? message.at(1) : ' ';
    f.command = message.mid(2, 3);
    f.selector = TrimBlanks(message.mid(5, 4));
    f.name = TrimBlanks(message.mid(9, 6));
    f.status = message.mid(17, 2);
    return f;
}

Message1 ReadMessage1(const QByteArray& message) {
    Message1 m;
    if (!message.startsWith('%') || message.size() < 2) return m;
    if (message.at(1) == ':') {
        m.colon = true;
        m.name = HeaderField(message, 2, 6);
        const char letter = message.size() > 9 ? message.at(9) : ' ';
        const bool dir = m.name == "D";
        switch (letter) {
        case 'L': m.kind = dir ? Message1::DirRequest : Message1::Load; break;
        case 'S': m.kind = dir ? Message1::DirList : Message1::Store; break;
        case 'E': m.kind = Message1::Erase; break;
        case 'R': m.kind = Message1::Ack; break;
        default: break;
        }
        if (m.kind == Message1::Store || m.kind == Message1::DirList) m.body = StripColonHeader(message);
        return m;
    }
    m.name = HeaderField(message, 3, 8);
    switch (message.at(1)) {
    case 'L': m.kind = Message1::Load; break;
    case 'S': m.kind = Message1::Store; break;
    case 'E': m.kind = Message1::Erase; break;
    case 'R': m.kind = Message1::Ack; break;
    // Only the length tells the PC's list from its request for the machine's.
    case 'D': m.kind = message.size() >= 16 ? Message1::DirList : Message1::DirRequest; break;
    default: break;
    }
    if (m.kind == Message1::Store || m.kind == Message1::DirList) m.body = StripShortHeader(message);
    return m;
}

QByteArray Program1(const QByteArray& name, const QByteArray& program, bool colon) {
    if (colon) return BuildColonFrame(":", name, "S") + program + '%';
    return BuildShortFrame("S", name) + '\n' + program + '%';
}

QByteArray List1(const QByteArray& list, bool colon) {
    if (colon) return BuildColonFrame(":", "D", "S") + list + '%';
    QByteArray message = BuildShortFrame("D", "") + '\n' + list;
    // Shorter than 16 the PC would take it for a request; a line end at an
    // entry's start ends its reading of the list.
    while (message.size() + 1 < 16) message += "\r\n";
    return message + '%';
}

QByteArray Request1(Message1::Kind kind, const QByteArray& name, bool colon) {
    QByteArray header;
    switch (kind) {
    case Message1::Load:
        header = colon ? BuildColonFrame(":", name, "L") : BuildShortFrame("L", name);
        break;
    case Message1::Erase:
        header = colon ? BuildColonFrame(":", name, "E") : BuildShortFrame("E", name);
        break;
    case Message1::DirRequest:
        header = colon ? BuildColonFrame(":", "D", "L") : BuildShortFrame("D", "");
        break;
    default:
        return {};
    }
    return AddEndMarker(header);
}

QByteArray Ack1(const QByteArray& name) {
    return AddEndMarker(BuildShortFrame("R", name));
}

bool IsSafeProgramName(const QByteArray& name) {
    if (name.isEmpty() || name == "." || name == "..") return false;
    return !name.contains('/') && !name.contains('\\') && !name.contains('\0');
}

QByteArray Printable(const QByteArray& bytes) {
    QByteArray out;
    out.reserve(bytes.size() + 16);
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '\r') out += "\\r";
        else if (c == '\n') out += "\\n";
        else if (c == '\\') out += "\\\\";
        else if (u < 32 || u == 127) {
            static const char hex[] = "0123456789ABCDEF";
            out += "\\x";
            out += hex[u >> 4];
            out += hex[u & 15];
        } else out += c;
    }
    return out;
}

}  // namespace sim
