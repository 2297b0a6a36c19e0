#include "common/home.h"
#include <QCoreApplication>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int h = args.indexOf(QStringLiteral("--home"));
    if (h > 0 && h + 1 < args.size()) SetProgramFolder(args[h + 1]);
    std::printf("Fenmo32 %s\n", qPrintable(ProgramFolder()));
    return 0;
}
