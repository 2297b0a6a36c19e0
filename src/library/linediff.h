#pragma once
// Line-by-line differences between two texts (Myers' shortest edit script),
// for showing one version of a program beside another.
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
// those of before, added lines those of after. Time and memory are bounded
// whatever the texts: beyond the bound the answer is tooLarge.
LineDiff DiffLines(const QByteArray& before, const QByteArray& after);

// One row of a side-by-side view. Removed and added lines between two common
// ones are paired row by row (Changed); the rest of the longer run stands
// against an empty side.
struct DiffRow {
    enum Kind { Same, Changed, Removed, Added };
    Kind kind = Same;
    int beforeLine = 0, afterLine = 0;  // from 1; 0 where that side has none
    QByteArray before, after;
};

QList<DiffRow> SideBySide(const LineDiff& diff);
// Rows that are not Same.
int DifferingRows(const QList<DiffRow>& rows);
