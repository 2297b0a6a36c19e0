#pragma once
// How a program file is laid out, as its readers and writer share it: the
// blanks that may follow the end marker, and the first line with its
// comments (see programfile.h).
#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace programlayout {

bool IsBlank(char c);

// The first line of the file: up to its first CR (a lone LF does not end it),
// and the position of its start "%" (-1 when it has none). A "%" with only
// blanks after it to the end of the file is the end marker, as for
// ReadProgramFile: the line then ends before it and has no start "%".
// False when the file does not exist.
bool FirstLine(const QString& path, QByteArray& line, qsizetype& start);

// The bytes of the file comment; empty when the line has no start "%".
QByteArray FileCommentBytes(QByteArrayView line, qsizetype start);

}  // namespace programlayout
