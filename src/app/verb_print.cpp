// print-list: the printed file list of a folder, into a PDF file.
#include "app/verb_session.h"
#include "common/apperror.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "print/filelistprint.h"

#include <QDir>
#include <QFile>
#include <QPdfWriter>

int RunPrintList(const VerbOptions& options) {
    const QString given = options.args.value(0);
    if (!FolderExists(given)) {
        VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(given));
        return VerbUsage;
    }
    const QString folder = QDir::cleanPath(QDir(ResolveCase(given)).absolutePath());
    QFile file(options.pdf);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
        VerbError(QStringLiteral("kan inte skriva \"%1\": %2.").arg(options.pdf, file.errorString()));
        return VerbFailed;
    }
    QPdfWriter pdf(&file);
    PreparePdf(pdf, folder);
    try {
        PrintFileList(pdf, folder, 20, 20, 20, 20);
    } catch (const AppError& e) {
        VerbError(QStringLiteral("%1 (fel %2).").arg(e.description()).arg(e.number()));
        return VerbFailed;
    }
    return VerbOk;
}
