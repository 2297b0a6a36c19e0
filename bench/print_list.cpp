// PrintFileList of a folder of programs into a PDF, against reading every
// row's name, size, date and both comments as the window's list does when
// sorted by a comment column. Peak memory is taken right after printing, so
// that runs with different counts show whether it grows with the pages.
//
//   bench_print_list [programs]
#include "benchutil.h"
#include "programs.h"
#include "library/localfilescan.h"
#include "print/filelistprint.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QPdfWriter>
#include <QTemporaryDir>

namespace {

void Print(const QString& folder, const QString& pdfPath) {
    QPdfWriter pdf(pdfPath);
    PreparePdf(pdf, folder);
    PrintFileList(pdf, folder, 20, 20, 20, 20);
}
}  // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const int count = argc > 1 ? std::atoi(argv[1]) : 10000;
    QTemporaryDir home;
    const QString folder = home.path() + QStringLiteral("/ncprog");
    const QString pdf = home.path() + QStringLiteral("/lista.pdf");
    QDir().mkpath(folder);
    bench::WritePrograms(folder, count, " AXEL MED SPÅR OCH GÄNGA");
    const long long beforeRss = bench::PeakRss();

    Print(folder, pdf);  // once, so that fonts are loaded and the folder is in the cache
    double print = bench::BestOf(3, [&] { Print(folder, pdf); });
    const long long printRss = bench::PeakRss();

    size_t sink = 0;
    double everything = bench::BestOf(3, [&] { sink += ScanProgramFolder(folder, QStringLiteral("*.NC"), true).size(); });
    if (sink == 0 || QFileInfo(pdf).size() == 0) return 1;

    QPdfWriter measure(home.path() + QStringLiteral("/measure.pdf"));
    PreparePdf(measure, folder);
    const FileListLayout g = MeasureFileList(measure, 20, 20, 20, 20);
    std::printf("%d programs, %d pages of %d rows, PDF %lld bytes\n", count, g.pages(count), g.rowsPerPage,
                (long long)QFileInfo(pdf).size());
    std::printf("peak RSS before printing %.1f MB, after printing %.1f MB\n", beforeRss / 1e6, printRss / 1e6);
    bench::Report("PrintFileList to PDF vs every row's details", print, everything, 3.0);
    return 0;
}
