#pragma once
#include "support/wait.h"
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>

// A pseudo-terminal pair made by socat; the test fails without socat.
class PtyPair {
public:
    bool start(QString* why) {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (socat.isEmpty()) {
            *why = QStringLiteral("socat is not installed; scripts/setup installs it");
            return false;
        }
        a = dir_.path() + QStringLiteral("/a");
        b = dir_.path() + QStringLiteral("/b");
        // Started again after a hang-up: the same names come back.
        QFile::remove(a);
        QFile::remove(b);
        process_.start(socat, {QStringLiteral("-d"), QStringLiteral("-d"),
                               QStringLiteral("pty,raw,echo=0,link=") + a,
                               QStringLiteral("pty,raw,echo=0,link=") + b});
        if (!process_.waitForStarted()) {
            *why = QStringLiteral("socat did not start: ") + process_.errorString();
            return false;
        }
        const bool ready = WaitUntil([&] {
            return (QFileInfo::exists(a) && QFileInfo::exists(b)) || process_.state() == QProcess::NotRunning;
        });
        if (!ready || process_.state() == QProcess::NotRunning) {
            *why = QStringLiteral("socat made no pseudo-terminals: ") + QString::fromLocal8Bit(process_.readAllStandardError());
            return false;
        }
        return true;
    }
    // The far ends vanish, as when a cable is pulled.
    void hangUp() {
        process_.kill();
        process_.waitForFinished();
    }
    ~PtyPair() { hangUp(); }

    QString a, b;

private:
    QTemporaryDir dir_;
    QProcess process_;
};
