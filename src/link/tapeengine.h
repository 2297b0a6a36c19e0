#pragma once
// The ISO tape state of a station, shared by its receiver and its sender.
#include "link/isotape.h"
#include "link/station.h"
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>

inline const QString kPartSuffix = QStringLiteral(".ofullständig");

struct Station::Iso {
    iso::TapeReader reader;
    bool held = false;     // the machine sent DC3 and no DC1 since
    bool sawXon = false;
    qint64 noise = 0;      // bytes other than flow codes and programs during a send
    bool feeding = false;
    QElapsedTimer strayLogged;
    qint64 strayBytes = 0;
    QTimer silence;        // a punch that stops without its closing "%"
    QTimer deadline;       // how long a send may wait for the machine
    // The punch under way.
    bool punching = false;
    QByteArray head;       // its first bytes, until it has a name
    QString name;
    QString damage;        // why it cannot replace a library program
    QFile part;
    qint64 size = 0;
    qint64 nextSpaceCheck = 0;
    bool leading = true;   // the line end right after "%" is not program text
    bool passOver = false; // too large, or the disk too full: the rest is dropped
    QByteArray first;      // for the traffic row
    bool echo = false;     // began while the PC's own send was on the line
    QString lineError;     // a parity or framing error before the punch's first byte was read
    QElapsedTimer lastData;
    // The last send, whole or cut: its characters on the line and their SHA-256.
    qint64 sentBytes = 0;
    QByteArray sentSha;

    // The punch goes to NAME.ofullständig until its closing "%" has come.
    bool openPart(const QString& folder) {
        if (name.isEmpty()) name = iso::ProgramNumber(head);
        if (name.isEmpty()) name = QStringLiteral("ISO-") + NowStamp();
        part.setFileName(QDir(folder).filePath(name + kPartSuffix));
        // A cut punch kept aside is not overwritten by the re-punch.
        if (part.exists()) part.setFileName(QDir(folder).filePath(name + QLatin1Char('-') + NowStamp() + kPartSuffix));
        if (part.open(QIODevice::WriteOnly | QIODevice::Truncate)) return true;
        if (damage.isEmpty()) damage = QStringLiteral("filen %1 kunde inte skrivas").arg(QDir::toNativeSeparators(part.fileName()));
        return false;
    }
};
