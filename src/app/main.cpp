#include "common/home.h"
#include "config/machines.h"
#include <QCoreApplication>
#include <QDir>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
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
    std::printf("Fenmo32 - v1.2.2\nProgrammapp: %s\n", qPrintable(QDir::toNativeSeparators(ProgramFolder())));
    const auto machines = MachineList();
    if (machines.isEmpty()) std::printf("Inga maskiner.\n");
    for (const MachineEntry& m : machines) std::printf("%d\t%s\n", m.slot, m.name.toLocal8Bit().constData());
    return 0;
}
