#pragma once
// Program lists exchanged with a machine: runs of fixed-width entries, name
// then size in 128-byte blocks, with no separator between entries.
#include "common/panelentries.h"
#include <QByteArray>
#include <QList>
#include <QString>

// Entry width: Wide (name 8, size left-aligned) for protocol 2 and the
// protocol-1 short form; Narrow (name 6, size right-aligned) for the colon form.
enum class ListWidth { Wide = 11, Narrow = 9 };

// The PC's list of the files in folder matching pattern, in directory order.
QByteArray BuildProgramList(const QString& folder, const QString& pattern, ListWidth width);

// The pattern that selects a machine's programs: "*." and the extension.
QString PcListPattern(const QString& extension);

// The entries of a list received from the machine; protocol is 1 or 2.
QList<RemoteEntry> ReadReceivedList(const QByteArray& message, int protocol);
