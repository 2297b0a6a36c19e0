// The ISO tape receiver on any bytes a machine could send, in pieces over the
// in-memory serial port; the first byte is the piece size. Afterwards the
// receive time-out ends any punch still open. A program is stored only as
// text, under a program number or a dated name, in the receive folder; what
// is kept aside ends in ".ofullständig"; nothing else is written.
#include "common/home.h"
#include "link/isotape.h"
#include "link/machinestore.h"
#include "link/memoryserialport.h"
#include "station/station.h"
#include "support/scriptedpanel.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <cstdio>
#include <cstdlib>

namespace {
[[noreturn]] void Fail(const char* what, const QString& detail = {}) {
    fprintf(stderr, "fuzz_isotape: %s %s\n", what, qPrintable(detail));
    abort();
}

void Pump(int ms) {
    QDeadlineTimer deadline(ms);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 1);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz_isotape";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* app = new QCoreApplication(argc, argv);
    (void)app;
    if (size < 1) return 0;
    const QByteArray bytes(reinterpret_cast<const char*>(data) + 1, qsizetype(size - 1));

    // The pure reader: starts and ends alternate, text never holds a flow code.
    iso::TapeReader reader;
    int open = 0;
    iso::TapeReader::Events on;
    on.start = [&] { if (open++) Fail("start inside a program"); };
    on.end = [&] { if (!open--) Fail("end outside a program"); };
    // A cut (DC2, or a re-punch's leader) ends the program under way too.
    on.cut = [&] { if (!open--) Fail("cut outside a program"); };
    on.text = [&](QByteArrayView t) {
        if (!open) Fail("text outside a program");
        for (const char c : t)
            if (c == iso::DC1 || c == iso::DC3 || c == '%' || c == 0) Fail("flow code in text");
    };
    reader.feed(bytes, on);
    const QString number = iso::ProgramNumber(bytes);
    if (!number.isEmpty() && !QRegularExpression(QStringLiteral("^O[0-9]{1,7}$")).match(number).hasMatch())
        Fail("program number", number);
    iso::ParseRequest(bytes, QStringLiteral("SÄND"), QStringLiteral("LISTA"));

    QTemporaryDir home;
    SetProgramFolder(home.path());
    const QString rec = home.path() + QStringLiteral("/mottaget");
    QDir().mkpath(rec);
    auto* pc = new MemorySerialPort;
    MemorySerialPort machine;
    pc->setInstant(true);
    machine.setInstant(true);
    ConnectBackToBack(*pc, machine);
    ScriptedPanel panel;
    {
        Station station(panel, pc);
        MachineSettings m;
        m.Typ = 3;
        m.RecPath = rec;
        m.SendPath = rec;
        m.Extension = QStringLiteral("NC");
        station.SetMachine(m);
        GeneralSettings g;
        g.RecTimeout = 2;
        g.MaxProgramMB = 1;
        station.ApplyGeneralSettings(g);
        if (!pc->open() || !machine.open()) Fail("ports");
        const int piece = 1 + static_cast<unsigned char>(data[0]) % 64;
        for (qsizetype at = 0; at < bytes.size(); at += piece) {
            machine.write(bytes.mid(at, piece));
            Pump(0);
        }
        Pump(10);
        station.cmdAbort_Click();
        Pump(5);
        // A store on its worker holds its lock until it ends: that end is
        // waited for and handled before the folder is looked at.
        WaitForStores();
        Pump(5);
        if (station.Busy()) Fail("still busy");
        // A punch's store ends on a worker: the check below must not find it
        // half done (its lock), nor may it outlive the sandbox.
        WaitForStores();
    }
    QDirIterator it(home.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(home.path()).relativeFilePath(path);
        if (relative.startsWith(QLatin1String("historik/")) || relative.endsWith(QLatin1String(".log"))) continue;
        if (!relative.startsWith(QLatin1String("mottaget/"))) Fail("file outside the receive folder", relative);
        if (relative.endsWith(QStringLiteral(".ofullständig"))) continue;
        if (!relative.endsWith(QLatin1String(".NC"))) Fail("stray file", relative);
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) Fail("unreadable", relative);
        for (const char c : f.readAll())
            if (!iso::IsText(c)) Fail("stored program holds a byte that is not text", relative);
    }
    return 0;
}
