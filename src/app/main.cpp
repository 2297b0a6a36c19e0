#include "app/startup.h"
#include "app/verbs.h"
#include "common/home.h"
#include "link/qtserialport.h"

#include <QApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char** argv) {
    // Command-line verbs run without a display, so before any window exists.
    if (const int status = RunVerbs(argc, argv); status >= 0) return status;
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fenmo32"));
    const QStringList args = app.arguments();
    const int h = args.indexOf(QStringLiteral("--home"));
    if (h > 0) {
        if (h + 1 >= args.size()) {
            std::fprintf(stderr, "Fenmo32: --home behöver en mapp.\n");
            return 2;
        }
        if (!QDir(args[h + 1]).exists()) {
            std::fprintf(stderr, "Fenmo32: mappen \"%s\" finns inte.\n", qPrintable(args[h + 1]));
            return 2;
        }
        SetProgramFolder(args[h + 1]);
    }
    StartupOptions options;
    options.splash = !args.contains(QStringLiteral("--no-splash"));
    options.port = new QtSerialPort;
    RunStartup(options);
    return app.exec();
}
