// "Skriv ut fillista...": the print dialog, then the list of the folder
// selected in the tree.
#include "app/frm_main.h"

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
        if (!ShowPrintDialog(this, chosen->printer)) return;
        PrintFileList(chosen->printer, treeFolder(), 20, 20, 20, 20);
    });
}
