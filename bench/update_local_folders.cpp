// UpdateLocalFolders on a folder of 10,000 programs, against a plain C++ scan
// of the same folder that reads each file's first line.
//
//   bench_update_local_folders [programs]
#include "app/frm_main.h"
#include "benchutil.h"
#include "programs.h"
#include "library/localfilescan.h"
#include "common/home.h"
#include "link/memoryserialport.h"
#include "station/station.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

// The baseline: every matching file's first line, with nothing but the
// standard library.
size_t PlainScan(const std::string& folder) {
    size_t total = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        if (!entry.is_regular_file() || entry.path().extension() != ".NC") continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::string line;
        std::getline(in, line, '\r');
        total += line.size();
    }
    return total;
}
}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    QTemporaryDir home;
    SetProgramFolder(home.path());
    const QString folder = home.path() + QStringLiteral("/ncprog");
    QDir().mkpath(folder);
    bench::WritePrograms(folder, count);

    frm_main window(new MemorySerialPort);
    MachineSettings m = window.station().machine();
    m.Extension = QStringLiteral("NC");
    window.station().SetMachine(m);
    window.setTreeFolders(folder, folder);
    window.show();
    QCoreApplication::processEvents();
    auto* list = window.findChild<QAbstractItemView*>(QStringLiteral("FileListView"));

    const std::string plainFolder = folder.toStdString();
    size_t sink = PlainScan(plainFolder);  // both once, so the folder is in the cache
    window.UpdateLocalFolders();
    double plain = 1e100, refresh = 1e100, everything = 1e100;
    for (int round = 0; round < 5; ++round) {
        plain = std::min(plain, bench::BestOf(1, [&] { sink += PlainScan(plainFolder); }));
        refresh = std::min(refresh, bench::BestOf(1, [&] {
            window.UpdateLocalFolders();
            QCoreApplication::processEvents();  // the list shows the new rows
        }));
        // The list reads sizes, dates and comments of the rows it shows; a
        // sort by a comment column reads them all, as this does.
        everything = std::min(everything, bench::BestOf(1, [&] {
            sink += ScanProgramFolder(folder, QStringLiteral("*.NC"), true).size();
        }));
    }
    if (list->model()->rowCount() != count || sink == 0) {
        std::fprintf(stderr, "listed %d of %d files\n", list->model()->rowCount(), count);
        return 1;
    }
    std::printf("%d programs\n", count);
    bench::Report("UpdateLocalFolders vs plain first-line scan", refresh, plain, 2.0);
    bench::Report("every row's size, date and comments vs the same scan", everything, plain, 2.0);
    return 0;
}
