// The command line: which verb, its words and flags, the usage text, and
// the one verb that needs no station (machines).
#include "app/verbs.h"

#include "app/verb_session.h"
#include "app/version.h"
#include "common/apperror.h"
#include "common/home.h"
#include "config/generalsettings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <cstdio>
#include <cstring>
#include <memory>
#ifdef Q_OS_UNIX
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char kUsage[] =
    "Användning:\n"
    "  Fenmo32 [--home MAPP]                          skrivbordsprogrammet\n"
    "  Fenmo32 --version                              programmets version\n"
    "  Fenmo32 [--home MAPP] machines                 maskinerna: plats, namn, förbindelse, modell\n"
    "  Fenmo32 [--home MAPP] dir MASKIN               maskinens program: namn, tabb, storlek\n"
    "  Fenmo32 [--home MAPP] send MASKIN FIL...       sänd programfiler, var och en efter svaret på den förra\n"
    "  Fenmo32 [--home MAPP] fetch MASKIN PROGRAM... [--to MAPP]\n"
    "                                                 hämta program (utan --to: maskinens sändmapp)\n"
    "  Fenmo32 [--home MAPP] delete MASKIN PROGRAM... radera program i maskinen: frågar på terminalen,\n"
    "                                                 utan terminal bara med --yes\n"
    "  Fenmo32 [--home MAPP] drip MASKIN FIL [--from N120|L120] [--from-tool-change]\n"
    "                                                 droppmata en ISO-remsmaskin medan den kör programmet;\n"
    "                                                 --from N: från blocket N (annars rad N), uppstarten först\n"
    "  Fenmo32 [--home MAPP] clear MASKIN             bekräfta att maskinen är klar efter en avbruten\n"
    "                                                 sändning (protokoll 1); --yes gör inte det\n"
    "  Fenmo32 [--home MAPP] serve [MASKIN]           svara på maskinens begäran tills SIGINT eller SIGTERM\n"
    "  Fenmo32 [--home MAPP] serve --all | MASKIN...  verkstadsservern: alla maskinerna på en gång (de nämnda\n"
    "                                                 bara för prov); vid SIGTERM får pågående överföringar\n"
    "                                                 10 s på sig, SIGHUP läser om inställningarna\n"
    "  Fenmo32 [--home MAPP] status                   serverns maskiner: förbindelse, senaste begäran och\n"
    "                                                 överföring, dagens antal; slutstatus 3 när ingen server kör\n"
    "  Fenmo32 [--home MAPP] monitor [MASKIN]         serverns trafik, ett meddelande per rad (genom WebPort)\n"
    "  Fenmo32 [--home MAPP] print-list MAPP --pdf FIL\n"
    "                                                 skriv ut mappens fillista till en PDF-fil\n"
    "  Fenmo32 [--home MAPP] history FIL [--json]     programmet nu och dess sparade versioner, nyast först:\n"
    "                                                 nummer (nu: filen som den är), datum då den ersattes,\n"
    "                                                 storlek, vad som ersatte den, textens SHA-256\n"
    "  Fenmo32 [--home MAPP] restore FIL NUMMER       återställ en version (det nuvarande sparas först)\n"
    "  Fenmo32 [--home MAPP] jobs [MASKIN] [--since DATUM] [--json]\n"
    "                                                 journalen, nyast först: tid, maskin, slag, läge, av vem,\n"
    "                                                 program (byte, SHA-256) och text; --json en rad per jobb\n"
    "  Fenmo32 [--home MAPP] compare MASKIN [--folder MAPP]\n"
    "                                                 jämför maskinens program med mappens (utan --folder:\n"
    "                                                 maskinens sändmapp): namn, tabb, Lika, Olika,\n"
    "                                                 Bara i maskinen, Bara i biblioteket eller Ej jämförd\n"
    "          --yes | --no                           svaret på frågan om att skriva över eller radera; utan\n"
    "                                                 dem frågar Fenmo32 på terminalen, annars är svaret Nej\n"
    "MASKIN är maskinens namn eller platsnummer. serve skriver \"LISTENING <port>\" på standard ut\n"
    "när den lyssnar. Slutstatus: 0 allt utfört, 1 något misslyckades, 2 felaktigt kommando,\n"
    "okänd maskin eller mapp som inte finns; compare: 0 allt lika, 1 något olika eller bara i maskinen,\n"
    "3 något kunde inte jämföras. En tidsgräns som är 0 i inställningarna (ingen gräns i fönstret) är 60 sekunder\n"
    "för verben: de väntar aldrig utan gräns.\n";

bool Is(const char* a, const char* b) { return std::strcmp(a, b) == 0; }
bool Starts(const char* a, const char* b) { return std::strncmp(a, b, std::strlen(b)) == 0; }

// A verb is the first word that is not one of the verbs' own flags. A first
// argument that is some other flag belongs to the desktop program (and Qt).
// Returns the verb ("" for help), or null when there is none.
const char* NamedVerb(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const char* a = argv[i];
        if (Is(a, "--home") || Is(a, "--to") || Is(a, "--pdf") || Is(a, "--folder") || Is(a, "--since") || Is(a, "--from")) {
            ++i;
        } else if (Starts(a, "--home=") || Starts(a, "--to=") || Starts(a, "--pdf=") || Starts(a, "--folder=") ||
                   Starts(a, "--since=") || Starts(a, "--from=") || Is(a, "--yes") || Is(a, "--no") || Is(a, "--all") ||
                   Is(a, "--json")) {
            continue;
        } else if (Is(a, "--help") || Is(a, "-h") || Is(a, "--version")) {
            return "";
        } else {
            return a[0] != '-' ? a : nullptr;
        }
    }
    return nullptr;
}

int UsageError(const QString& text) {
    VerbError(text);
    VerbConsole().err(QString::fromUtf8(kUsage));
    return VerbUsage;
}

QString LinkText(const MachineSettings& ms) {
    if (ms.Typ == 0) return QStringLiteral("TCP %1:%2").arg(ms.IP, ms.Port);
    if (ms.Typ >= 1 && ms.Typ <= 3) {
        QString port = QStringLiteral("COM%1").arg(ms.ComPort);
        const QString device = ComPortDevice(ms.ComPort);
        if (device != port) port += QStringLiteral(" (%1)").arg(device);
        if (ms.Typ == 3) return QStringLiteral("%1 %2%3 ISO-remsa %4").arg(port, ms.BaudRate, ms.Settings, ms.Handskakning);
        return QStringLiteral("%1 %2%3 protokoll %4").arg(port, ms.BaudRate, ms.Settings).arg(ms.Typ == 1 ? 2 : 1);
    }
    return QStringLiteral("Typ %1").arg(ms.Typ);
}

int RunMachines() {
    if (MachineList().isEmpty()) {
        VerbError(NoMachinesText());
        return VerbFailed;
    }
    int status = VerbOk;
    for (const MachineEntry& m : MachineList()) {
        MachineSettings ms;
        QString link, model;
        try {
            LoadMachineSettings(ms, m.slot);
            link = LinkText(ms);
            model = ms.Modell;
        } catch (const AppError& e) {
            VerbError(QStringLiteral("maskin %1: %2 (fel %3).").arg(m.slot).arg(e.description()).arg(e.number()));
            link = model = QStringLiteral("?");
            status = VerbFailed;
        }
        VerbOutFields({QString::number(m.slot), m.name, link, model});
    }
    return status;
}

// root on a folder that belongs to someone else (the service's) would leave
// root-owned settings, programs and history there, which the server then
// cannot write: such verbs refuse. Verbs that only read may run.
bool RootMayRun(const QString& verb) {
#ifdef Q_OS_UNIX
    static const QStringList kReading{QStringLiteral("status"), QStringLiteral("machines"), QStringLiteral("history"),
                                      QStringLiteral("monitor"), QStringLiteral("jobs")};
    if (::geteuid() != 0 || kReading.contains(verb)) return true;
    struct stat st{};
    const QByteArray folder = QFile::encodeName(ProgramFolder());
    if (::stat(folder.constData(), &st) != 0 || st.st_uid == 0) return true;
    const passwd* owner = ::getpwuid(st.st_uid);
    const QString user = owner ? QString::fromLocal8Bit(owner->pw_name) : QString::number(st.st_uid);
    VerbError(QStringLiteral("kör inte %1 som root på programmappen %2: den tillhör användaren %3, och filer som root "
                             "skapar där kan servern inte skriva. Kör kommandot som %3 (sudo -u %3 Fenmo32 ...) eller "
                             "som medlem i mappens grupp, så går det genom servern när den håller maskinen.")
                  .arg(verb, QDir::toNativeSeparators(ProgramFolder()), user));
    return false;
#else
    Q_UNUSED(verb);
    return true;
#endif
}

// A deletion cannot be undone: on a terminal each program is asked for, with
// the window's question, before anything reaches the machine or its server.
// Returns false when a program was declined; o keeps the others, with --yes.
bool AskBeforeDeleting(VerbOptions& o) {
    QStringList kept{o.args.value(0)};
    bool all = true;
    for (const QString& n : o.args.mid(1)) {
        const QString a = VerbConsole()
                              .ask(QStringLiteral("Är du säker på att du vill radera filen \"%1\"? [j]a, [n]ej: ").arg(n))
                              .value_or(QString())
                              .trimmed()
                              .toLower();
        if (a == QLatin1String("j") || a == QLatin1String("ja") || a == QLatin1String("y") || a == QLatin1String("yes")) {
            kept << n;
        } else {
            all = false;
            VerbError(QStringLiteral("\"%1\" raderades inte.").arg(n));
        }
    }
    o.args = kept;
    o.overwrite = ConsolePanel::Policy::Yes;
    return all;
}

QCoro::Task<int> Dispatch(VerbOptions o) {
    const qsizetype n = o.args.size();
    static const QStringList kServed{QStringLiteral("dir"),    QStringLiteral("send"),    QStringLiteral("fetch"),
                                     QStringLiteral("delete"), QStringLiteral("compare"), QStringLiteral("drip"),
                                     QStringLiteral("clear")};
    if (InShopServer() && !kServed.contains(o.verb))
        co_return UsageError(QStringLiteral("servern kör inte \"%1\" åt andra.").arg(o.verb));
    bool declined = false;
    if (o.verb == QLatin1String("delete") && n >= 2 && !InShopServer() && o.overwrite == ConsolePanel::Policy::Ask &&
        VerbConsole().interactive()) {
        declined = !AskBeforeDeleting(o);
        if (o.args.size() < 2) co_return VerbFailed;
    }
    int status = VerbOk;
    if (n > 0 && kServed.contains(o.verb) && ThroughServer(o, &status))
        co_return declined && status == VerbOk ? VerbFailed : status;
    if (o.verb == QLatin1String("machines")) {
        if (n != 0) co_return UsageError(QStringLiteral("machines tar inga argument."));
        co_return RunMachines();
    }
    if (o.verb == QLatin1String("dir")) {
        if (n != 1) co_return UsageError(QStringLiteral("dir vill ha en maskin."));
        co_return co_await RunDir(o);
    }
    if (o.verb == QLatin1String("send")) {
        if (n < 2) co_return UsageError(QStringLiteral("send vill ha en maskin och minst en fil."));
        co_return co_await RunSend(o);
    }
    if (o.verb == QLatin1String("fetch")) {
        if (n < 2) co_return UsageError(QStringLiteral("fetch vill ha en maskin och minst ett program."));
        co_return co_await RunFetch(o);
    }
    if (o.verb == QLatin1String("delete")) {
        if (n < 2) co_return UsageError(QStringLiteral("delete vill ha en maskin och minst ett program."));
        status = co_await RunDelete(o);
        co_return declined && status == VerbOk ? VerbFailed : status;
    }
    if (o.verb == QLatin1String("clear")) {
        if (n != 1) co_return UsageError(QStringLiteral("clear vill ha en maskin."));
        co_return co_await RunClear(o);
    }
    if (o.verb == QLatin1String("serve")) {
        if (o.all && n > 0) co_return UsageError(QStringLiteral("serve --all tar inga maskiner."));
        if (o.all || n > 1) co_return RunShopServer(o);
        co_return RunServe(o);
    }
    if (o.verb == QLatin1String("status")) {
        if (n != 0) co_return UsageError(QStringLiteral("status tar inga argument."));
        co_return RunStatus(o);
    }
    if (o.verb == QLatin1String("monitor")) {
        if (n > 1) co_return UsageError(QStringLiteral("monitor tar högst en maskin."));
        co_return co_await RunMonitor(o);
    }
    if (o.verb == QLatin1String("print-list")) {
        if (n != 1 || o.pdf.isEmpty()) co_return UsageError(QStringLiteral("print-list vill ha en mapp och --pdf FIL."));
        co_return RunPrintList(o);
    }
    if (o.verb == QLatin1String("history")) {
        if (n != 1) co_return UsageError(QStringLiteral("history vill ha en fil."));
        co_return RunHistory(o);
    }
    if (o.verb == QLatin1String("restore")) {
        if (n != 2) co_return UsageError(QStringLiteral("restore vill ha en fil och ett versionsnummer."));
        co_return RunRestore(o);
    }
    if (o.verb == QLatin1String("jobs")) {
        if (n > 1) co_return UsageError(QStringLiteral("jobs tar högst en maskin."));
        co_return RunJobs(o);
    }
    if (o.verb == QLatin1String("compare")) {
        if (n != 1) co_return UsageError(QStringLiteral("compare vill ha en maskin."));
        co_return co_await RunCompare(o);
    }
    if (o.verb == QLatin1String("drip")) {
        if (n != 2) co_return UsageError(QStringLiteral("drip vill ha en maskin och en fil."));
        co_return co_await RunDrip(o);
    }
    co_return UsageError(QStringLiteral("okänt kommando \"%1\".").arg(o.verb));
}

}  // namespace

QString NoMachinesText() {
    const QString file = QDir::toNativeSeparators(GeneralSettingsFile());
    if (!QFileInfo::exists(GeneralSettingsFile()))
        return QStringLiteral("inga maskiner: inställningsfilen %1 finns inte (--home MAPP anger en annan programmapp).")
            .arg(file);
    return QStringLiteral("inga maskiner i %1.").arg(file);
}

QCoro::Task<int> RunParsed(QStringList args) {
    VerbOptions o;
    QString home;
    bool yes = false, no = false, help = false, version = false, toGiven = false, pdfGiven = false, folderGiven = false,
         endOfFlags = false, sinceGiven = false;
    QStringList words;
    for (qsizetype i = 1; i < args.size(); ++i) {
        const QString& a = args[i];
        if (endOfFlags || a == QLatin1String("-") || !a.startsWith(QLatin1Char('-'))) {
            words << a;
        } else if (a == QLatin1String("--")) {
            endOfFlags = true;
        } else if (a == QLatin1String("--home") || a == QLatin1String("--to")) {
            if (i + 1 >= args.size()) co_return UsageError(QStringLiteral("%1 behöver en mapp.").arg(a));
            (a == QLatin1String("--home") ? home : o.to) = args[++i];
            if (a == QLatin1String("--to")) toGiven = true;
        } else if (a == QLatin1String("--pdf")) {
            if (i + 1 >= args.size()) co_return UsageError(QStringLiteral("--pdf behöver en fil."));
            o.pdf = args[++i];
            pdfGiven = true;
        } else if (a == QLatin1String("--from-tool-change")) {
            o.fromToolChange = true;
        } else if (a == QLatin1String("--from") || a.startsWith(QLatin1String("--from="))) {
            if (a == QLatin1String("--from") && i + 1 >= args.size())
                co_return UsageError(QStringLiteral("--from behöver ett block- eller radnummer."));
            if (a == QLatin1String("--from")) o.from = args[++i];
            else o.from = a.mid(7);
            if (o.from.isEmpty()) co_return UsageError(QStringLiteral("--from behöver ett block- eller radnummer."));
        } else if (a == QLatin1String("--folder")) {
            if (i + 1 >= args.size()) co_return UsageError(QStringLiteral("--folder behöver en mapp."));
            o.folder = args[++i];
            folderGiven = true;
        } else if (a.startsWith(QLatin1String("--folder="))) {
            o.folder = a.mid(9);
            folderGiven = true;
        } else if (a.startsWith(QLatin1String("--pdf="))) {
            o.pdf = a.mid(6);
            pdfGiven = true;
        } else if (a.startsWith(QLatin1String("--home="))) {
            home = a.mid(7);
        } else if (a.startsWith(QLatin1String("--to="))) {
            o.to = a.mid(5);
            toGiven = true;
        } else if (a == QLatin1String("--since") || a.startsWith(QLatin1String("--since="))) {
            if (a.size() == 7 && i + 1 >= args.size()) co_return UsageError(QStringLiteral("--since behöver ett datum."));
            o.since = a.size() == 7 ? args[++i] : a.mid(8);
            sinceGiven = true;
        } else if (a == QLatin1String("--json")) {
            o.json = true;
        } else if (a == QLatin1String("--all")) {
            o.all = true;
        } else if (a == QLatin1String("--yes")) {
            yes = true;
        } else if (a == QLatin1String("--no")) {
            no = true;
        } else if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            help = true;
        } else if (a == QLatin1String("--version")) {
            version = true;
        } else {
            co_return UsageError(QStringLiteral("okänd flagga \"%1\".").arg(a));
        }
    }
    if (version) {
        VerbConsole().out(QStringLiteral("Fenmo32 %1\n").arg(VersionNumber()));
        co_return VerbOk;
    }
    if (help || words.value(0) == QLatin1String("help")) {
        VerbConsole().out(QString::fromUtf8(kUsage));
        co_return VerbOk;
    }
    if (words.isEmpty()) co_return UsageError(QStringLiteral("inget kommando."));
    o.verb = words.takeFirst();
    o.args = words;
    if (yes && no) co_return UsageError(QStringLiteral("--yes och --no kan inte ges tillsammans."));
    o.overwrite = yes ? ConsolePanel::Policy::Yes : no ? ConsolePanel::Policy::No : ConsolePanel::Policy::Ask;
    if (toGiven && o.verb != QLatin1String("fetch")) co_return UsageError(QStringLiteral("--to hör till fetch."));
    if (o.all && o.verb != QLatin1String("serve")) co_return UsageError(QStringLiteral("--all hör till serve."));
    if (sinceGiven && o.verb != QLatin1String("jobs")) co_return UsageError(QStringLiteral("--since hör till jobs."));
    if (o.json && o.verb != QLatin1String("jobs") && o.verb != QLatin1String("history"))
        co_return UsageError(QStringLiteral("--json hör till jobs och history."));
    if (toGiven && o.to.isEmpty()) co_return UsageError(QStringLiteral("--to behöver en mapp."));
    if (!o.from.isEmpty() && o.verb != QLatin1String("drip")) co_return UsageError(QStringLiteral("--from hör till drip."));
    if (o.fromToolChange && o.from.isEmpty())
        co_return UsageError(QStringLiteral("--from-tool-change behöver --from och ett block- eller radnummer."));
    if (folderGiven && o.verb != QLatin1String("compare"))
        co_return UsageError(QStringLiteral("--folder hör till compare."));
    if (folderGiven && o.folder.isEmpty()) co_return UsageError(QStringLiteral("--folder behöver en mapp."));
    if (pdfGiven && o.verb != QLatin1String("print-list")) co_return UsageError(QStringLiteral("--pdf hör till print-list."));
    if (!home.isNull() && InShopServer()) co_return UsageError(QStringLiteral("--home hör inte till servern."));
    if (!home.isNull()) {
        if (home.isEmpty()) co_return UsageError(QStringLiteral("--home behöver en mapp."));
        if (!QDir(home).exists()) {
            VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(home));
            co_return VerbUsage;
        }
        SetProgramFolder(home);
    }
    if (!InShopServer() && !RootMayRun(o.verb)) co_return VerbUsage;
    co_return co_await Dispatch(o);
}

int RunVerbs(int argc, char** argv) {
    const char* verb = NamedVerb(argc, argv);
    if (!verb) return -1;
    int qtArgc = argc;
    std::unique_ptr<QCoreApplication> app;
    if (Is(verb, "print-list")) {
        // Fonts need a GUI application; a verb never needs a display.
        qputenv("QT_QPA_PLATFORM", "offscreen");
        app = std::make_unique<QGuiApplication>(qtArgc, argv);
    } else {
        app = std::make_unique<QCoreApplication>(qtArgc, argv);
    }
    QCoreApplication::setApplicationName(QStringLiteral("Fenmo32"));
    // The verb waits in this event loop only, however many jobs it awaits.
    std::optional<int> status;
    bool looping = false;
    QCoro::connect(RunParsed(QCoreApplication::arguments()), app.get(), [&](int code) {
        status = code;
        if (looping) QCoreApplication::exit(code);
    });
    if (status) return *status;
    looping = true;
    QCoreApplication::exec();
    return status.value_or(VerbFailed);
}
