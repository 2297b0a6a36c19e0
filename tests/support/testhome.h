#pragma once
// A throw-away program folder for one test, with helpers to write files and
// settings in it and to run the built Fenmo32 on it.
#include "common/home.h"
#include <QByteArray>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// Only so that a hang fails the test instead of stalling the run.
constexpr int kProcessMs = 60000;

// A program of this build, and an environment without a display.
inline QString Binary(const char* name) { return QCoreApplication::applicationDirPath() + '/' + QLatin1String(name); }
inline QProcessEnvironment Environment() {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    env.remove("DISPLAY");
    env.remove("WAYLAND_DISPLAY");
    return env;
}

// Reads lines of p's standard output until one starts with prefix; returns the rest of it.
inline QString AwaitLine(QProcess& p, const QByteArray& prefix) {
    QDeadlineTimer deadline(kProcessMs);
    while (!deadline.hasExpired()) {
        while (p.canReadLine()) {
            const QByteArray line = p.readLine().trimmed();
            if (line.startsWith(prefix)) return QString::fromUtf8(line.mid(prefix.size())).trimmed();
        }
        if (p.state() == QProcess::NotRunning) break;
        p.waitForReadyRead(200);
    }
    return {};
}

// A folder's entries by name, hidden ones too, so that left-over temporary files show.
inline QStringList Entries(const QString& folder, QDir::Filters kind = QDir::AllEntries) {
    return QDir(folder).entryList(kind | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

// A file's bytes; empty when it cannot be read.
inline QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

struct Result {
    int code = -1;
    bool finished = false;
    QString out, err;
};

class TestHome {
public:
    // In the system's temporary folder, or where pattern ("…/XXXXXX") says.
    explicit TestHome(const QString& pattern = {}) : dir_(pattern.isEmpty() ? QDir::tempPath() + QStringLiteral("/fenmo-test-XXXXXX") : pattern) {
        EXPECT_TRUE(dir_.isValid());
        SetProgramFolder(dir_.path());
    }
    QString path() const { return dir_.path(); }
    QString file(const QString& name) const { return dir_.path() + QLatin1Char('/') + name; }

    // Writes bytes to a file below the folder, creating folders on the way.
    QString write(const QString& name, const QByteArray& bytes) const {
        const QString p = file(name);
        QDir().mkpath(QFileInfo(p).path());
        QFile f(p);
        EXPECT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate)) << p.toStdString();
        f.write(bytes);
        return p;
    }
    QByteArray read(const QString& name) const { return ReadFile(file(name)); }
    bool exists(const QString& name) const { return QFileInfo::exists(file(name)); }

    // The general settings file, listening on loopback on a port the system picks unless told.
    void ini(const QByteArray& text, bool freePort = true) const {
        write(QStringLiteral("Fenmo32.INI"),
              (freePort ? QByteArray("[Program]\r\nListenPort=0\r\nListenAddress=127.0.0.1\r\n") : QByteArray()) + text);
    }
    // A network machine in slot n with its folders in ncprog (made here); the
    // keys of more come first and so win over the defaults here.
    QByteArray machine(int slot, const QString& name, const QByteArray& more = {}) const {
        const QString send = file(QStringLiteral("ncprog"));
        QDir().mkpath(send);
        return "[Maskin " + QByteArray::number(slot) + "]\r\nNamn=" + name.toUtf8() + "\r\n" + more +
               "Typ=0\r\nIP=127.0.0.1\r\nPort=1\r\nGetDir=False\r\nExtension=NC\r\nRootPath=" + path().toUtf8() +
               "\r\nSendPath=" + send.toUtf8() + "\r\nRecPath=" + send.toUtf8() + "\r\n";
    }

    // Fenmo32 on this folder, with standard input that is not a terminal.
    Result run(const QStringList& args) const {
        QProcess p;
        p.setProcessEnvironment(Environment());
        p.setStandardInputFile(QProcess::nullDevice());
        p.start(Binary("Fenmo32"), QStringList{"--home", path()} + args);
        Result r;
        EXPECT_TRUE(p.waitForStarted(kProcessMs));
        r.finished = p.waitForFinished(kProcessMs);
        if (!r.finished) p.kill();
        r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        r.out = QString::fromUtf8(p.readAllStandardOutput());
        r.err = QString::fromUtf8(p.readAllStandardError());
        return r;
    }
    // The same, and its exit status checked.
    Result run(int code, const QStringList& args) const {
        const Result r = run(args);
        EXPECT_EQ(r.code, code) << args.join(' ').toStdString() << ": " << r.err.toStdString();
        return r;
    }
    // Starts Fenmo32 serve (with args) on this folder; returns its listening port (0 when none).
    quint16 serve(QProcess& p, const QStringList& args = {}) const {
        p.setProcessEnvironment(Environment());
        p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        p.start(Binary("Fenmo32"), QStringList{"--home", path(), "serve"} + args);
        const quint16 port = AwaitLine(p, "LISTENING").toUShort();
        EXPECT_NE(port, 0);
        return port;
    }

private:
    QTemporaryDir dir_;
};
