// Who may connect, what their refusals cost the log, and which names a
// machine may not store.
#include "library/history.h"
#include "link/hostfilter.h"
#include "link/programname.h"
#include "link/refusallog.h"

#include <gtest/gtest.h>

TEST(Access, AllowedHostsIsReadStrictlyAndAnythingButBlanksClosesTheDoor) {
    struct Case {
        const char* setting;
        QStringList bad;
        QStringList in, out;
    };
    const Case cases[] = {
        {"", {}, {"203.0.113.9", "::1"}, {}},
        {"  ", {}, {"203.0.113.9"}, {}},
        {" , ", {}, {}, {"203.0.113.9", "::1"}},
        {",,,", {}, {}, {"203.0.113.9"}},
        // Never octal, never a short form.
        {"192.168.010.021", {"192.168.010.021"}, {}, {"192.168.10.21", "192.168.8.17"}},
        {"10.1, 10.1/16, 0x0a.0.0.1, 1.2.3.4.5, 256.1.1.1, 10.0.0.0/08, 10.0.0.0/33, ::g",
         {"10.1", "10.1/16", "0x0a.0.0.1", "1.2.3.4.5", "256.1.1.1", "10.0.0.0/08", "10.0.0.0/33", "::g"},
         {},
         {"10.0.0.1", "10.1.0.0", "1.2.3.4"}},
        {"192.168.10.21, 10.1.0.0/16, ::1, fe80::/10, ::ffff:172.16.0.0/108, nej",
         {"nej"},
         {"192.168.10.21", "10.1.200.3", "::ffff:10.1.0.1", "::1", "fe80::2", "172.16.9.9"},
         {"192.168.10.22", "10.2.0.1", "::2", "172.32.0.1"}},
    };
    for (const Case& c : cases) {
        QStringList bad;
        const HostFilter filter(c.setting, &bad);
        EXPECT_EQ(bad, c.bad) << c.setting;
        for (const QString& peer : c.in) EXPECT_TRUE(filter.allows(QHostAddress(peer))) << c.setting << " " << peer.toStdString();
        for (const QString& peer : c.out) EXPECT_FALSE(filter.allows(QHostAddress(peer))) << c.setting << " " << peer.toStdString();
    }

    QHostAddress a;
    EXPECT_TRUE(ParseListenAddress(" 127.0.0.1 ", &a) && a == QHostAddress::LocalHost);
    EXPECT_TRUE(ParseListenAddress("", &a) && a == QHostAddress::Any);
    for (const char* text : {"127.1", "127.000.0.1", "alla"}) EXPECT_FALSE(ParseListenAddress(text, &a)) << text;
}

TEST(Access, RefusalsAreLoggedOncePerAddressAMinuteWithTheirCount) {
    qint64 now = 0;
    QStringList lines;
    RefusalLog log([&] { return now; }, [&](const QString& line) { lines << line; });
    const QHostAddress a("192.0.2.7"), b("2001:db8::5");
    const QString first = "Anslutning från 192.0.2.7 nekad (inte i AllowedHosts).";

    for (int i = 0; i < 100; ++i) log.refused(a);
    log.refused(b);
    EXPECT_EQ(lines, (QStringList{first, "Anslutning från 2001:db8::5 nekad (inte i AllowedHosts)."}));
    now = RefusalLog::kWindowMs - 1;
    log.flushDue();
    EXPECT_EQ(lines.size(), 2);
    now = RefusalLog::kWindowMs;
    log.flushDue();  // b had nothing more to tell
    EXPECT_EQ(lines.mid(2), QStringList{"Anslutning från 192.0.2.7 nekad 99 gånger den senaste minuten (inte i AllowedHosts)."});

    // A steady stream: still one line a minute.
    now += 1000;
    log.refused(a);
    EXPECT_EQ(lines.size(), 3);
    now += RefusalLog::kWindowMs;
    log.refused(a);
    EXPECT_EQ(lines.mid(3), QStringList{first});
    now += RefusalLog::kWindowMs + 1;
    log.flushDue();
    now += RefusalLog::kWindowMs + 1;
    log.flushDue();
    log.refused(a);  // quiet for a minute: told at once again
    EXPECT_EQ(lines.mid(4), (QStringList{first, first}));

    // More addresses than it remembers share one line.
    lines.clear();
    for (quint32 i = 0; i < RefusalLog::kMaxAddresses + 10; ++i) log.refused(QHostAddress(0x0A000000u + i));
    EXPECT_EQ(lines.size(), RefusalLog::kMaxAddresses);
    EXPECT_EQ(lines.last(), "Anslutning från andra adresser nekad (inte i AllowedHosts).");
}

TEST(Access, AMachineCannotStoreOverTheHistory) {
    for (const char* name : {"historik", "HISTORIK", "Historik"})
        EXPECT_FALSE(MachineNameProblem(name).isEmpty()) << name;
    for (const char* name : {"O1000", "historik1", "O1.historik"}) EXPECT_TRUE(MachineNameProblem(name).isEmpty()) << name;
}
