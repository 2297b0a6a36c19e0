#pragma once
// The simulated machine as a process of its own: listening on a loopback
// port the system picks, or on a serial device.
#include "support/testhome.h"
#include "support/wait.h"
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class SimProcess {
public:
    explicit SimProcess(const QStringList& extra = {}, const QString& serial = {}) {
        p_.setProcessEnvironment(Environment());
        const QStringList link =
            serial.isEmpty() ? QStringList{"--tcp-listen", "127.0.0.1:0"} : QStringList{"--serial", serial};
        p_.start(Binary("machine-sim"), QStringList{"--memory", memory_.path()} + link + extra);
        if (!serial.isEmpty()) {
            EXPECT_EQ(AwaitLine(p_, "SERIAL"), serial) << p_.readAllStandardError().toStdString();
            return;
        }
        port = AwaitLine(p_, "LISTENING").toUShort();
        EXPECT_NE(port, 0) << p_.readAllStandardError().toStdString();
    }
    ~SimProcess() {
        p_.terminate();
        if (!p_.waitForFinished(kProcessMs)) p_.kill();
    }
    void store(const QString& name, const QByteArray& body) const {
        QFile f(memory_.path() + '/' + name);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(body);
    }
    QByteArray program(const QString& name) const { return ReadFile(memory_.path() + '/' + name); }
    bool has(const QString& name) const { return QFileInfo::exists(memory_.path() + '/' + name); }

    int programs() const { return int(QDir(memory_.path()).entryList(QDir::Files).size()); }
    quint16 port = 0;

private:
    QTemporaryDir memory_;
    QProcess p_;
};
