#pragma once
// Line-by-line differences between two texts (Myers' shortest edit script),
// for showing an earlier version of a program beside the present one.
#include <QByteArray>
#include <QList>

struct DiffLine {
    enum Kind { Same, Removed, Added };
    Kind kind = Same;
    QByteArray text;  // without its line end
};

struct LineDiff {
    // The texts are too large, or differ too much, to compare sensibly.
    bool tooLarge = false;
    QList<DiffLine> lines;
};

// Texts longer than this are not compared.
constexpr qsizetype kDiffMaxBytes = 16 * 1024 * 1024;

// Lines end at LF; a CR before it is not part of the line. Removed lines are
// those of before, added lines those of after.
LineDiff DiffLines(const QByteArray& before, const QByteArray& after);
