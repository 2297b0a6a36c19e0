#include "common/apperror.h"
#include "config/generalsettings.h"
#include "support/testhome.h"

#include <gtest/gtest.h>

namespace {

const char* kIni = "Fenmo32.INI";

int Read(GeneralSettings& g) {
    try {
        ReadGeneralSettings(g);
    } catch (const AppError& e) {
        return e.number();
    }
    return 0;
}

// Reads a settings file holding only the given Program lines into fresh settings.
int ReadWith(const TestHome& home, const QByteArray& lines, GeneralSettings& g) {
    home.write(kIni, "[Program]\r\n" + lines);
    g = GeneralSettings();
    return Read(g);
}

}  // namespace

TEST(GeneralSettingsTest, DefaultsAndConversions) {
    TestHome home;
    GeneralSettings g;
    g.GeneralTimeout = 1;
    g.Editor = "old";
    ASSERT_EQ(Read(g), 0);  // no settings file
    EXPECT_FALSE(g.HideBreak);
    EXPECT_FALSE(g.SuppressErrors);
    EXPECT_EQ(g.GeneralTimeout, 5000);
    EXPECT_EQ(g.SvarTimeout, 4000);
    EXPECT_EQ(g.RecTimeout, 5000);
    EXPECT_EQ(g.SendTimeout, 5000);
    EXPECT_EQ(g.CtsTimeout, 8000);
    EXPECT_EQ(g.StartupView, 0);
    EXPECT_FALSE(g.Debug);
    EXPECT_FALSE(g.IgnoreCts);
    EXPECT_EQ(g.ListenPort, 10000);
    EXPECT_EQ(g.MaxMessage, 67108864);
    EXPECT_EQ(g.Editor, "");

    ASSERT_EQ(ReadWith(home,
                       "HideBreak=True\r\nSuppressErrors=false\r\nDebug=-1\r\nIgnoreCts=1\r\n"
                       "GeneralTimeout=1e3\r\nSvarTimeout= 20 \r\nRecTimeout=0\r\n"
                       "SendTimeout=65535\r\nCtsTimeout=30\r\nStartupView=255\r\n"
                       "ListenPort=0\r\nMaxMessage=1024\r\nEditor=/usr/bin/nc edit\r\n",
                       g),
              0);
    EXPECT_TRUE(g.HideBreak);
    EXPECT_FALSE(g.SuppressErrors);
    EXPECT_TRUE(g.Debug);
    EXPECT_TRUE(g.IgnoreCts);
    EXPECT_EQ(g.GeneralTimeout, 1000);
    EXPECT_EQ(g.SvarTimeout, 20);
    EXPECT_EQ(g.RecTimeout, 0);
    EXPECT_EQ(g.SendTimeout, 65535);
    EXPECT_EQ(g.CtsTimeout, 30);
    EXPECT_EQ(g.StartupView, 255);
    EXPECT_EQ(g.ListenPort, 0);
    EXPECT_EQ(g.MaxMessage, 1024);
    EXPECT_EQ(g.Editor, "/usr/bin/nc edit");
}

TEST(GeneralSettingsTest, FirstBadValueStopsTheRead) {
    TestHome home;
    GeneralSettings g;

    // Keys before the bad one are in force, the rest keep their defaults.
    EXPECT_EQ(ReadWith(home,
                       "HideBreak=True\r\nSuppressErrors=1\r\nGeneralTimeout=fem\r\n"
                       "SvarTimeout=10\r\nDebug=True\r\n",
                       g),
              Err::TypeMismatch);
    EXPECT_TRUE(g.HideBreak);
    EXPECT_TRUE(g.SuppressErrors);
    EXPECT_EQ(g.GeneralTimeout, 5000);
    EXPECT_EQ(g.SvarTimeout, 4000);
    EXPECT_FALSE(g.Debug);

    // Intervals outside the window timer's range.
    EXPECT_EQ(ReadWith(home, "SvarTimeout=10\r\nRecTimeout=65536\r\nSendTimeout=10\r\n", g),
              Err::Overflow);
    EXPECT_EQ(g.SvarTimeout, 10);
    EXPECT_EQ(g.RecTimeout, 5000);
    EXPECT_EQ(g.SendTimeout, 5000);
    EXPECT_EQ(ReadWith(home, "CtsTimeout=-1\r\n", g), Err::Overflow);
    EXPECT_EQ(g.CtsTimeout, 8000);

    // StartupView comes after the timers and before Debug.
    EXPECT_EQ(ReadWith(home, "CtsTimeout=40\r\nStartupView=256\r\nDebug=True\r\n", g),
              Err::Overflow);
    EXPECT_EQ(g.CtsTimeout, 40);
    EXPECT_FALSE(g.Debug);
    EXPECT_EQ(ReadWith(home, "StartupView=start\r\n", g), Err::TypeMismatch);

    EXPECT_EQ(ReadWith(home, "Debug=kanske\r\n", g), Err::TypeMismatch);
    EXPECT_EQ(ReadWith(home, "Debug=True\r\nListenPort=70000\r\nEditor=x\r\n", g),
              Err::Overflow);
    EXPECT_TRUE(g.Debug);
    EXPECT_EQ(g.ListenPort, 10000);
    EXPECT_EQ(g.Editor, "");
    EXPECT_EQ(ReadWith(home, "MaxMessage=0\r\n", g), Err::Overflow);
    EXPECT_EQ(ReadWith(home, "MaxMessage=-5\r\n", g), Err::Overflow);
    EXPECT_EQ(g.MaxMessage, 67108864);
}

TEST(GeneralSettingsTest, ComPortDevices) {
    TestHome home;
#ifdef Q_OS_WIN
    EXPECT_EQ(ComPortDevice(3), "COM3");
#else
    EXPECT_EQ(ComPortDevice(1), "/dev/ttyS0");
    home.write(kIni, "[ComPorts]\r\nCOM3=/dev/ttyUSB0\r\ncom4=/tmp/pty4\r\nCOM5=\r\n");
    EXPECT_EQ(ComPortDevice(3), "/dev/ttyUSB0");
    EXPECT_EQ(ComPortDevice(4), "/tmp/pty4");
    EXPECT_EQ(ComPortDevice(5), "/dev/ttyS4");
    EXPECT_EQ(ComPortDevice(16), "/dev/ttyS15");
#endif
}
