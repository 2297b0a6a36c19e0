// print-list: the printed file list of a folder, into a PDF file.
#include "app/verb_session.h"
#include "common/apperror.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "print/filelistprint.h"

#include <QDir>
#include <QPageSize>

int RunPrintList(const VerbOptions& options) {
    const QString given = options.args.value(0);
    if (!FolderExists(given)) {
        VerbError(QStringLiteral("mappen \"%1\" finns inte.").arg(given));
        return VerbUsage;
    }
    const QString folder = QDir::cleanPath(QDir(ResolveCase(given)).absolutePath());
    try {
        PrintFileListToPdf(folder, options.pdf, QPageSize());
    } catch (const AppError& e) {
        VerbError(QStringLiteral("kunde inte skriva ut till \"%1\": %2 (fel %3).")
                      .arg(options.pdf, e.description())
                      .arg(e.number()));
        return VerbFailed;
    }
    return VerbOk;
}
