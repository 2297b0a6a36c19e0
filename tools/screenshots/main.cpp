// The pictures the README shows, taken from the real window and dialogs on a
// demo shop whose simulated machines already run (scripts/screenshot starts
// them, under Xvfb): the main window, the three setup tabs, the history of a
// program, the machine's list after "Jämför med maskin" and a program that
// compared "Olika" beside the machine's copy.
//
//   fenmo-screenshots --home SHOP --out DIR
//
// It keeps two versions of a library program in SHOP's history, so give it
// a shop made for the pictures, never one in use.
#include "app/frm_difference.h"
#include "app/frm_main.h"
#include "app/startup.h"
#include "common/home.h"
#include "config/ui/frm_setup.h"
#include "controls/messagebox.h"
#include "library/history.h"
#include "library/programfile.h"
#include "library/ui/frm_history.h"
#include "link/qtserialport.h"
#include "station/station.h"

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTabWidget>
#include <cstdio>
#include <functional>

namespace {

bool Fail(const QString& why) {
    std::fprintf(stderr, "fenmo-screenshots: %s\n", qPrintable(why));
    return false;
}

bool WaitUntil(const std::function<bool()>& done, int ms = 30000) {
    const QDeadlineTimer deadline(ms);
    while (!done()) {
        if (deadline.hasExpired()) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return true;
}

QByteArray ReadFile(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Lets layouts and repaints settle before a picture.
void Settle() {
    const QDeadlineTimer deadline(300);
    while (!deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
}

bool Save(QWidget& w, const QString& file) {
    Settle();
    return w.grab().save(file) || Fail(QStringLiteral("kan inte skriva %1").arg(file));
}

// Two earlier versions of the first program of the send folder, so that the
// history has something to show beside the present file.
QString ProgramWithHistory(const QString& folder) {
    const QStringList programs = QDir(folder).entryList(QDir::Files, QDir::Name);
    if (programs.isEmpty()) return QString();
    const QString path = folder + QLatin1Char('/') + programs.first();
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return QString();
    QByteArray text = f.readAll();
    f.close();
    for (const char* origin : {"Före hämtning från Fräs 1", "Före ändring i NC-editorn"}) {
        if (!KeepVersion(path, QString::fromUtf8(origin)).ok) return QString();
        text.replace("G0 ", "G00 ").replace("F1", "F2");
        text.insert(text.indexOf('\n') + 1, "(ANDRAD)\r\n");
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(text) != text.size()) return QString();
        f.close();
    }
    return path;
}

bool Run(const QString& out) {
    // Questions get their first answer; nothing waits for a person.
    Hooks().message = [](const QString&, const QString&, MsgIcon, OperatorPanel::Buttons b) {
        return b == OperatorPanel::Buttons::Ok ? OperatorPanel::Answer::Ok : OperatorPanel::Answer::Yes;
    };
    StartupOptions options;
    options.splash = false;
    options.port = new QtSerialPort;
    frm_main* w = RunStartup(options);
    w->resize(800, 576);
    if (!WaitUntil([&] { return !w->remoteNames().isEmpty(); }))
        return Fail(QStringLiteral("maskinens programlista kom aldrig"));
    if (!Save(*w, out + QStringLiteral("/screenshot.png"))) return false;

    bool tabs = true;
    Hooks().dialog = [&](QDialog& d) {
        auto* tab = d.findChild<QTabWidget*>(QStringLiteral("SSTab"));
        if (!tab) return;
        d.resize(560, 440);
        d.show();
        const char* files[] = {"setup-kommunikation.png", "setup-sokvagar.png", "setup-avancerat.png"};
        for (int i = 0; i < 3; ++i) {
            tab->setCurrentIndex(i);
            tabs &= Save(d, out + QLatin1Char('/') + QLatin1String(files[i]));
        }
        d.hide();
    };
    w->mnuArkivSetup_Click();
    if (!tabs) return false;

    const QString program = ProgramWithHistory(w->station().machine().SendPath);
    if (program.isEmpty()) return Fail(QStringLiteral("inget program att visa historiken för"));
    {
        frm_history history(program, w);
        history.resize(760, 460);
        history.show();
        history.showVersion(0);
        if (!Save(history, out + QStringLiteral("/historik.png"))) return false;
    }

    // The machine's copy of O1000 is the library's with a few lines changed,
    // so that "Olika" has a difference to show.
    const QString library = w->station().machine().SendPath + QStringLiteral("/O1000.TC");
    const QString memory = ProgramFolder() + QStringLiteral("/maskinminne/fras1/O1000");
    QList<QByteArray> lines = ReadProgramFile(library).split('\n');
    if (lines.size() < 30) return Fail(QStringLiteral("%1 är för kort").arg(library));
    lines[8] = lines[8].replace('0', '5');
    lines.removeAt(15);
    lines.insert(22, "M08");
    QFile copy(memory);
    if (!copy.open(QIODevice::WriteOnly | QIODevice::Truncate)) return Fail(memory);
    copy.write(lines.join('\n'));
    copy.close();

    // The comparison as the window shows it, then "Olika" opened beside it.
    w->mnuCompare_Click();
    auto* machines = w->findChild<QComboBox*>(QStringLiteral("cmbMaskiner"));
    if (!WaitUntil([&] { return machines->isEnabled(); })) return Fail(QStringLiteral("jämförelsen tog aldrig slut"));
    if (!Save(*w, out + QStringLiteral("/jamfor.png"))) return false;
    frm_difference difference(QStringLiteral("O1000"), library, w->station().machineName(), ReadFile(memory), w);
    difference.resize(760, 460);
    difference.show();
    if (!Save(difference, out + QStringLiteral("/skillnad.png"))) return false;
    w->close();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int home = args.indexOf(QStringLiteral("--home")), out = args.indexOf(QStringLiteral("--out"));
    if (home < 0 || out < 0 || home + 1 >= args.size() || out + 1 >= args.size()) {
        std::fputs("Användning: fenmo-screenshots --home DEMOVERKSTAD --out MAPP\n", stderr);
        return 2;
    }
    SetProgramFolder(args[home + 1]);
    return Run(args[out + 1]) ? 0 : 1;
}
