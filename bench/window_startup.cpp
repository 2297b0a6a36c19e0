// From the main window's load to the window painted, with 1,000 programs in
// the send folder, against a bare QMainWindow with one list of 1,000 rows.
// The splash's three seconds are left out.
//
//   bench_window_startup [programs]
#include "app/frm_main.h"
#include "benchutil.h"
#include "common/home.h"
#include "link/memoryserialport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QMainWindow>
#include <QTemporaryDir>
#include <QTreeWidget>

namespace {
// Processes events until the list's rows have been painted once.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget* viewport) { viewport->installEventFilter(this); }
    bool painted = false;
    void wait() {
        while (!painted) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }

protected:
    bool eventFilter(QObject*, QEvent* e) override {
        if (e->type() == QEvent::Paint) painted = true;
        return false;
    }
};

void WritePrograms(const QString& folder, int count) {
    for (int i = 0; i < count; ++i) {
        QFile f(folder + QStringLiteral("/O%1.NC").arg(i, 4, 10, QLatin1Char('0')));
        f.open(QIODevice::WriteOnly);
        f.write("(KUND)%O" + QByteArray::number(i) + "(DETALJ)\r\nG0 X0\r\nM30\r\n%");
    }
}

double MainWindowStart() {
    const auto t0 = std::chrono::steady_clock::now();
    frm_main window(new MemorySerialPort);
    window.Form_Load();
    auto* list = window.findChild<QAbstractItemView*>(QStringLiteral("FileListView"));
    PaintWatch watch(list->viewport());
    window.show();
    watch.wait();
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    if (list->model()->rowCount() == 0) std::fprintf(stderr, "the list stayed empty\n");
    return s;
}

double BareWindowStart(int rows) {
    const auto t0 = std::chrono::steady_clock::now();
    QMainWindow window;
    auto* list = new QTreeWidget(&window);
    list->setColumnCount(5);
    list->setHeaderLabels({"Filnamn", "Storlek", "Kommentar", "Filkommentar", "Datum"});
    QList<QTreeWidgetItem*> items;
    for (int i = 0; i < rows; ++i)
        items << new QTreeWidgetItem(QStringList{QStringLiteral("O%1.NC").arg(i), QStringLiteral("001"),
                                                 QStringLiteral("DETALJ"), QStringLiteral("KUND"),
                                                 QStringLiteral("2024-01-01 12:00:00")});
    list->addTopLevelItems(items);
    window.setCentralWidget(list);
    window.resize(800, 600);
    PaintWatch watch(list->viewport());
    window.show();
    watch.wait();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    QTemporaryDir home;
    SetProgramFolder(home.path());
    const QString send = home.path() + QStringLiteral("/ncprog");
    QDir().mkpath(send);
    WritePrograms(send, count);
    QFile ini(home.path() + QStringLiteral("/Fenmo32.INI"));
    ini.open(QIODevice::WriteOnly);
    ini.write("[Program]\r\nListenPort=0\r\n\r\n[Maskin 1]\r\nNamn=Fras\r\nTyp=0\r\nGetDir=False\r\nExtension=NC\r\n"
              "SendPath=" + send.toUtf8() + "\r\nRootPath=" + home.path().toUtf8() + "\r\n");
    ini.close();

    // Fonts, styles and caches warm up once for both.
    MainWindowStart();
    BareWindowStart(count);
    double mine = 1e100, bare = 1e100;
    for (int round = 0; round < 5; ++round) {
        bare = std::min(bare, BareWindowStart(count));
        mine = std::min(mine, MainWindowStart());
    }
    std::printf("%d programs\n", count);
    bench::Report("Form_Load to painted vs bare window with one list", mine, bare, 3.0);
    return 0;
}
