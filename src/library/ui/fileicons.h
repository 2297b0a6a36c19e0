#pragma once
// The small pictures of the local list, by FileKind: 2 a program, 3 a "K"
// file, 4 a "T" file. Positions 0 and 1 are empty.
#include <QIcon>
#include <QList>

QList<QIcon> FileKindIcons();
