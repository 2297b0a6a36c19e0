#pragma once
// Whether two program files hold the same program text (what would go to a
// machine), read in pieces so that programs of any size are compared without
// being held in memory.
#include "library/programfile.h"

#include <QByteArray>

struct FileDifference {
    bool same = true;
    qint64 line = 0;          // the first line that differs, from 1
    QByteArray first, second;  // the start of that line in each file, without its line end
    FileResult error;          // a file missing or unreadable
};

// Lines end at LF; a CR right before an LF belongs to the line end, so CR LF
// and LF compare equal. Lines are those of the program text.
FileDifference CompareProgramFiles(const QString& first, const QString& second);

// "rad N: 'first' / 'second'" for a log line.
QString DifferenceText(const FileDifference& d);
