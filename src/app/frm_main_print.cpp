// "Skriv ut fillista...": the print dialog, then the list of the folder
// selected in the tree.
#include "app/frm_main.h"

#include "common/apperror.h"
#include "common/errorreport.h"
#include "print/filelistprint.h"
#include "print/printdialog.h"

#include <QPrinter>

namespace {
// The printer and its settings stay chosen for the next print, as long as
// the window lives.
class ChosenPrinter : public QObject {
public:
    using QObject::QObject;
    QPrinter printer{QPrinter::HighResolution};
};
}  // namespace

void frm_main::mnuArkivPrintLista_Click() {
    Traced(QStringLiteral("mnuArkivPrintLista_Click()"), [&] {
        auto* chosen =
            dynamic_cast<ChosenPrinter*>(findChild<QObject*>(QStringLiteral("chosenPrinter"), Qt::FindDirectChildrenOnly));
        if (!chosen) {
            chosen = new ChosenPrinter(this);
            chosen->setObjectName(QStringLiteral("chosenPrinter"));
        }
        QPrinter& printer = chosen->printer;
        if (!ShowPrintDialog(this, printer)) return;
        // A PDF file is written where a failed write is seen; the printer's
        // own PDF output would end cut without a word.
        if (printer.outputFormat() == QPrinter::PdfFormat && !printer.outputFileName().isEmpty()) {
            PrintFileListToPdf(treeFolder(), printer.outputFileName(), printer.pageLayout().pageSize());
            return;
        }
        PrintFileList(printer, treeFolder(), 20, 20, 20, 20);
        if (printer.printerState() == QPrinter::Error) Raise(482, QStringLiteral("Skrivarfel: utskriften avbröts"));
    });
}
