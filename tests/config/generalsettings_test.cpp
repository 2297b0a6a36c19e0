#include "common/apperror.h"
#include "config/generalsettings.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

namespace {

// Every number up to VerifyAfterSend, then the texts, each in read order.
QString Dump(const GeneralSettings& g) {
    QStringList f;
    for (qint64 v : {qint64(g.HideBreak), qint64(g.SuppressErrors), qint64(g.GeneralTimeout), qint64(g.SvarTimeout),
                     qint64(g.RecTimeout), qint64(g.SendTimeout), qint64(g.CtsTimeout), qint64(g.StartupView),
                     qint64(g.Debug), qint64(g.IgnoreCts), qint64(g.ListenPort), g.MaxMessage, qint64(g.HistoryKeep),
                     qint64(g.HistoryMaxMB), qint64(g.VerifyAfterSend)})
        f << QString::number(v);
    return f.join('|') + '|' + g.Editor + '|' + g.AllowedHosts + '|' + g.ListenAddress;
}

int Read(GeneralSettings& g) {
    try {
        ReadGeneralSettings(g);
    } catch (const AppError& e) {
        return e.number();
    }
    return 0;
}

const QString kDefaults = "0|0|5000|4000|5000|5000|8000|0|0|0|10000|67108864|20|2048|0|||";

}  // namespace

TEST(GeneralSettingsTest, ConversionsWhereABadValueStopsTheReadAndComPorts) {
    TestHome home;
    GeneralSettings g{true, true, 1, 2, 3, 4, 5, 6, true, true, 7, 8, "old", "::1", "::1"};
    ASSERT_EQ(Read(g), 0);  // no settings file: every default
    EXPECT_EQ(Dump(g), kDefaults);

    // Keys before a bad one are in force, the rest keep what they held. The
    // keys added since fall back to their defaults instead, each with a log line.
    struct Case {
        QByteArray keys;
        int error;
        QString dump;
        QStringList logged;  // key and value
    };
    const Case cases[] = {
        {"HideBreak=True\r\nSuppressErrors=false\r\nDebug=-1\r\nIgnoreCts=1\r\nGeneralTimeout=1e3\r\n"
         "SvarTimeout= 20 \r\nRecTimeout=0\r\nSendTimeout=65535\r\nCtsTimeout=30\r\nStartupView=255\r\n"
         "ListenPort=0\r\nMaxMessage=1024\r\nEditor=/usr/bin/nc edit\r\nAllowedHosts=10.0.0.0/8, ::1\r\n"
         "ListenAddress=127.0.0.1\r\nHistoryKeep=0\r\nHistoryMaxMB=5\r\nVerifyAfterSend=True\r\n",
         0, "1|0|1000|20|0|65535|30|255|1|1|0|1024|0|5|1|/usr/bin/nc edit|10.0.0.0/8, ::1|127.0.0.1"},
        {"HideBreak=True\r\nSuppressErrors=1\r\nGeneralTimeout=fem\r\nSvarTimeout=10\r\nDebug=True\r\n",
         Err::TypeMismatch, "1|1|5000|4000|5000|5000|8000|0|0|0|10000|67108864|20|2048|0|||"},
        // Intervals outside the window timer's range.
        {"SvarTimeout=10\r\nRecTimeout=65536\r\nSendTimeout=10\r\n", Err::Overflow,
         "0|0|5000|10|5000|5000|8000|0|0|0|10000|67108864|20|2048|0|||"},
        {"CtsTimeout=-1\r\n", Err::Overflow, kDefaults},
        // StartupView comes after the timers and before Debug.
        {"CtsTimeout=40\r\nStartupView=256\r\nDebug=True\r\n", Err::Overflow,
         "0|0|5000|4000|5000|5000|40|0|0|0|10000|67108864|20|2048|0|||"},
        {"StartupView=start\r\n", Err::TypeMismatch, kDefaults},
        {"Debug=kanske\r\n", Err::TypeMismatch, kDefaults},
        {"Debug=True\r\nListenPort=70000\r\nEditor=x\r\n", 0,
         "0|0|5000|4000|5000|5000|8000|0|1|0|10000|67108864|20|2048|0|x||", {"ListenPort ('70000')"}},
        {"IgnoreCts=kanske\r\nMaxMessage=0\r\n", 0, kDefaults, {"IgnoreCts ('kanske')", "MaxMessage ('0')"}},
        {"MaxMessage=-5\r\n", 0, kDefaults, {"MaxMessage ('-5')"}},
        {"HistoryKeep=20st\r\nHistoryMaxMB=-1\r\nVerifyAfterSend=kanske\r\n", 0, kDefaults,
         {"HistoryKeep ('20st')", "HistoryMaxMB ('-1')", "VerifyAfterSend ('kanske')"}}};
    for (const Case& c : cases) {
        QFile::remove(home.file("fenmo32.log"));
        home.write("Fenmo32.INI", "[Program]\r\n" + c.keys);
        g = GeneralSettings();
        EXPECT_EQ(Read(g), c.error) << c.keys.constData();
        EXPECT_EQ(Dump(g), c.dump) << c.keys.constData();
        const QStringList log = QString::fromUtf8(home.read("fenmo32.log")).split("\r\n", Qt::SkipEmptyParts);
        ASSERT_EQ(log.size(), c.logged.size()) << c.keys.constData();
        for (qsizetype i = 0; i < log.size(); ++i)
            EXPECT_TRUE(log[i].contains("för " + c.logged[i])) << log[i].toStdString();
    }

    // A COM port's device: its [ComPorts] entry, else the platform's own name.
#ifdef Q_OS_WIN
    EXPECT_EQ(ComPortDevice(3), "COM3");
#else
    EXPECT_EQ(ComPortDevice(1), "/dev/ttyS0");
    home.write("Fenmo32.INI", "[ComPorts]\r\nCOM3=/dev/ttyUSB0\r\ncom4=/tmp/pty4\r\nCOM5=\r\n");
    EXPECT_EQ(ComPortDevice(3), "/dev/ttyUSB0");
    EXPECT_EQ(ComPortDevice(4), "/tmp/pty4");
    EXPECT_EQ(ComPortDevice(5), "/dev/ttyS4");
    EXPECT_EQ(ComPortDevice(16), "/dev/ttyS15");
#endif
}
