#include "app/qtswedish.h"
#include "app/startup.h"
#include "app/verbs.h"
#include "common/home.h"
#include "link/qtserialport.h"

#include <QApplication>
#include <QDir>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
    // Command-line verbs run without a display, so before any window exists.
    if (const int status = RunVerbs(argc, argv); status >= 0) return status;
#if defined(Q_OS_UNIX) && !defined(Q_OS_MACOS)
    // Qt would abort without a display; say what to do instead.
    bool platformGiven = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i) platformGiven |= std::strcmp(argv[i], "-platform") == 0;
    if (!platformGiven && qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")) {
        std::fputs(QStringLiteral("Fenmo32: skrivbordsprogrammet behöver en skärm (X eller Wayland), och här finns "
                                  "ingen.\nStarta det under en virtuell X-server:\n"
                                  "  xvfb-run -a -s \"-screen 0 1280x800x24\" Fenmo32\n"
                                  "Utan skärm fungerar kommandoraden: Fenmo32 --help visar verben.\n")
                       .toLocal8Bit()
                       .constData(),
                   stderr);
        return 2;
    }
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Fenmo32"));
    InstallQtSwedish(app);
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
