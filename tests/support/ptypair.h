#pragma once
#include "support/wait.h"
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A pseudo-terminal pair made by socat; the test fails without socat.
class PtyPair {
public:
    // ASSERT_TRUE(pty.start()): fails with the reason when there is no pair.
    ::testing::AssertionResult start() {
        const QString socat = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (socat.isEmpty()) return ::testing::AssertionFailure() << "socat is not installed; scripts/setup installs it";
        a = dir_.path() + QStringLiteral("/a");
        b = dir_.path() + QStringLiteral("/b");
        // Started again after a hang-up: the same names come back.
        QFile::remove(a);
        QFile::remove(b);
        process_.start(socat, {QStringLiteral("-d"), QStringLiteral("-d"),
                               QStringLiteral("pty,raw,echo=0,link=") + a,
                               QStringLiteral("pty,raw,echo=0,link=") + b});
        if (!process_.waitForStarted())
            return ::testing::AssertionFailure() << "socat did not start: " << process_.errorString().toStdString();
        const bool ready = WaitUntil([&] {
            return (QFileInfo::exists(a) && QFileInfo::exists(b)) || process_.state() == QProcess::NotRunning;
        });
        if (!ready || process_.state() == QProcess::NotRunning)
            return ::testing::AssertionFailure() << "socat made no pseudo-terminals: "
                                                 << process_.readAllStandardError().toStdString();
        return ::testing::AssertionSuccess();
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
