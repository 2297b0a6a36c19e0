#pragma once
// The main log, hex dumps and the padding helpers.
#include <QByteArray>
#include <QString>

// One line in "fenmo32.log": date and time, " - ", text, CR LF. Neither
// logger raises: a log that cannot be written is told to the operator once.
// Control characters in text are written escaped, so a line never splits.
void AddLog(const QString& text);
// Logs and hex dumps past bytes are moved to their ".1" file and start
// afresh (0, the default: no limit).
void SetLogLimit(qint64 bytes);
// Moves a log past the limit to its ".1" file (error.log rolls like the rest).
void RollLog(const QString& path);
// Every log line also on standard error, without its date, one line each
// (under a service manager the journal keeps them with its own time).
void SetLogToStderr(bool on);
// Control characters (C0, DEL, C1) as "<0D>", "<0A>", "<00>"...; for text
// that came from a machine or a peer.
QString EscapeControls(const QString& text);
// A dump of data into the named file of the program folder, mode 2 or 3.
void AddHexLog(const QByteArray& data, const QString& fileName, int mode);
// Mode 3: offset | 16 bytes in hex | characters; mode 2: plain hex, 31 a line.
QByteArray HexDump(const QByteArray& data, int mode);

// "0" (or blank) in front until text is width long; never shortened.
QString ZeroPad(const QString& text, int width);
QString BlankPad(const QString& text, int width);

// Appends bytes to a file in one write (open, write, close); raises on failure.
void AppendToFile(const QString& path, const QByteArray& bytes);
