#pragma once
// The bytes of the simulated TC machine, in both protocols.
//
// Protocol 2 (19-character header, see link/frames.h):
//
//   What the PC sends            What the machine answers
//   %CLOD    name  00 <close>    %RLOD    name  00 <le> program <close>
//                                (missing: %RLOD    name  08 <close>)
//   %CSAV    name  00 CRLF       %RSAV    name  00 <close>
//     program <close>            (body = StripFrame of the request, stored as is)
//   %CDEL    name  00 <close>    %RDEL    name  00 <close>  (missing: 08)
//   %CDRQALL         00 <close>  %RDRQALL         00 <le> list <close>
//                                (list: 11-wide entries, name 8, size 3 left)
//   %CDRQSEL name  00 <close>    the same with only that program, or 08
//
// Both sides close a message with a line end, two checksum digits and "%",
// but they count differently. The PC sums its closing line end too, so a
// request is checked against the first length-3 characters. The machine sums
// everything before the final LF (the first length-4 characters: a CR before
// the LF is counted), which is what the PC checks on its side. A request that
// fails the check is answered with its command, selector and name and "04".
// <le> is the machine's line end, CR LF or LF.
//
// The machine's own requests are the same frames with type "C" and status
// "00"; the PC answers with type "R". For "LOD" its answer carries the
// program (stored as StripFrame of the answer); "SAV" carries the machine's
// program after <le>.
//
// Protocol 1, short form ("%", letter, blank, name in 8). The PC closes its
// messages either with "%" alone or with LF and "%"; both are read.
//
//   %L name      -> %S name LF program %     (nothing when missing)
//   %S name LF program (LF) %                stored: everything from the 13th
//                                            character up to the closing "%"
//   %E name      -> %R name LF %             (nothing when missing)
//   %D + blanks  -> %D + blanks LF list %    9-wide entries (name 6, size 3
//                   (under 16 characters)    right); the PC tells a list from a
//                                            request by length, so a short list
//                                            is padded with CR LF to 16
//
// Protocol 1, colon form ("%", ":", name in 6, blank, letter):
//
//   %:name  L    -> %:name  S program %
//   %:name  S program (LF) %                 stored: from the 11th character
//   %:name  E    -> erased, no answer (the colon form has no acknowledgement)
//   %:D     L    -> %:D     S list %         the list right after the header:
//                                            the PC reads it from the 11th
//                                            character
//
// The machine's own protocol-1 requests: L (the PC answers with S and the
// program), S (the program goes out; the PC does not answer), D (the PC
// answers with its list: "%D" LF list "%", or "%:D     S" list LF "%"),
// E (the PC answers "%R name" LF "%"; short form only). Requests without a
// body are closed by LF and "%".
#include <QByteArray>

namespace sim {

enum class Protocol { Two, OneShort, OneColon };

// The machine's line end: CR LF (default) or LF.
enum class LineEnd { CrLf, Lf };
QByteArray LineEndBytes(LineEnd eob);

// Closes a protocol-2 message by the machine's rule: text, line end, the
// checksum of everything before the final LF, "%".
QByteArray CloseMachineMessage(const QByteArray& text, LineEnd eob);

// The PC's rule: the two digits before the final "%" against the checksum of
// everything before them.
bool PcChecksumOk(const QByteArray& message);

// The same message with its checksum digits replaced by other valid ones.
QByteArray CorruptChecksum(const QByteArray& message);

// A copy of a protocol-2 message (header and its closing) with another status.
QByteArray WithStatus(const QByteArray& message, const QByteArray& status);

struct Frame2 {
    char type = 0;  // 'C', 'R', or 0 when the message has no "%" in front
    QByteArray command;
    QByteArray selector;  // trimmed
    QByteArray name;      // trimmed
    QByteArray status;
};
Frame2 ReadFrame2(const QByteArray& message);

// What a protocol-1 message asks or carries.
struct Message1 {
    enum Kind { Unknown, Load, Store, Erase, DirRequest, DirList, Ack };
    Kind kind = Unknown;
    bool colon = false;
    QByteArray name;
    QByteArray body;  // Store: the program; DirList: the list
};
Message1 ReadMessage1(const QByteArray& message);

// Machine messages of protocol 1.
QByteArray Program1(const QByteArray& name, const QByteArray& program, bool colon);
QByteArray List1(const QByteArray& list, bool colon);
QByteArray Request1(Message1::Kind kind, const QByteArray& name, bool colon);
QByteArray Ack1(const QByteArray& name);

// A name that can be a file in the machine's memory: not empty, no path
// separator, no NUL, not "." or "..".
bool IsSafeProgramName(const QByteArray& name);

// Text for a log line: control characters as \r, \n or \xNN.
QByteArray Printable(const QByteArray& bytes);

}  // namespace sim
