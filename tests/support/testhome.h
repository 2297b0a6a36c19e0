#pragma once
// A throw-away program folder for one test, with helpers to write files in it.
#include "common/home.h"
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

class TestHome {
public:
    TestHome() {
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
    QByteArray read(const QString& name) const {
        QFile f(file(name));
        if (!f.open(QIODevice::ReadOnly)) return {};
        return f.readAll();
    }
    bool exists(const QString& name) const { return QFileInfo::exists(file(name)); }

private:
    QTemporaryDir dir_;
};
