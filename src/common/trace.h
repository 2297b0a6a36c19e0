#pragma once
// The call trace: the last eight traced procedures, newest first.
#include <QDateTime>
#include <QString>
#include <array>

struct TraceEntry {
    QString ProcName;
    QDateTime EnteredAt;  // UTC
};

constexpr int TraceSize = 8;

// A name entered twice in a row is recorded once, with its first time.
void TraceEnter(const QString& name);
// Positions 1 to 8 (position 0 unused), position 1 the newest.
const std::array<TraceEntry, TraceSize + 1>& CallTrace();
int TraceDepth();
void ClearCallTrace();  // for tests
