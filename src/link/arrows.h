#pragma once
// The activity indicator's patterns: five frames of 29 symbols each.
#include <QStringList>

QStringList RecArrows();
QStringList SendArrows();
QStringList DeleteArrows();
