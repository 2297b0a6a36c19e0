// The simulated machine as a program of its own over a real serial port (a
// pseudo-terminal pair) opened through QSerialPort; over TCP the verbs' tests run it.
#include "common/ini.h"
#include "link/qtserialport.h"
#include "support/ptypair.h"
#include "../link/stationfixture.h"
#include <QProcess>

namespace {
class SimProcess {
public:
    explicit SimProcess(QStringList args) {
        proc.setProgram(QCoreApplication::applicationDirPath() + "/machine-sim");
        proc.setArguments(args);
        proc.start();
    }
    ~SimProcess() {
        proc.terminate();
        if (!proc.waitForFinished(5000)) proc.kill();
    }
    // Waits for a line on standard output that starts with prefix; returns its rest.
    QString waitLine(const QString& prefix) {
        QString found;
        WaitUntil([&] {
            out += QString::fromLocal8Bit(proc.readAllStandardOutput());
            for (const QString& line : out.split(QLatin1Char('\n')))
                if (line.startsWith(prefix)) {
                    found = line.mid(prefix.size()).trimmed();
                    return true;
                }
            return proc.state() == QProcess::NotRunning;
        });
        return found;
    }
    QProcess proc;
    QString out;
};
}  // namespace

TEST(MachineSimProcess, BothWaysOverARealSerialPort) {
    PtyPair pty;
    QString why;
    ASSERT_TRUE(pty.start(&why)) << why.toStdString();
    Shop shop(new QtSerialPort, 1);
    Station& st = shop.station;
    // The PC's COM7 is one end of the pair; a pseudo-terminal has no modem lines.
    WriteIni("ComPorts", "COM7", pty.a);
    GeneralSettings g = st.General;
    g.IgnoreCts = true;
    g.SuppressErrors = true;
    g.RecTimeout = 3000;
    st.ApplyGeneralSettings(g);
    st.TimeoutTimer.setInterval(5000);
    st.Comm->setCommPort(7);
    ASSERT_TRUE(st.Comm->setSettings("9600,e,7,1"));
    ASSERT_TRUE(st.Comm->open()) << st.Comm->errorString().toStdString();

    shop.home.write("ncprog/O10.NC", "(PC)%\r\nG10\r\nM30\r\n%");
    QTemporaryDir memory;
    QFile f(memory.path() + "/O20");
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("G20\r\nM30");
    f.close();
    // The machine asks first, then the PC fetches.
    SimProcess sim({"--memory", memory.path(), "--serial", pty.b, "--settings", "9600,e,7,1", "--request", "LOD O10"});
    EXPECT_EQ(sim.waitLine("DONE "), "OK LOD O10") << sim.proc.readAllStandardError().toStdString();
    QFile loaded(memory.path() + "/O10");
    ASSERT_TRUE(loaded.open(QIODevice::ReadOnly));
    EXPECT_TRUE(loaded.readAll().contains("G10\r\nM30"));

    shop.panel.selectedRemote = {"O20"};
    st.cmdRec_Click();
    EXPECT_TRUE(st.TransferDone) << shop.panel.status().toStdString();
    EXPECT_EQ(shop.file("O20.NC"), QByteArray("G20\r\nM30"));
}
