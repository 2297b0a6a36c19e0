#include "print/printdialog.h"

#include "controls/messagebox.h"

#include <QPrintDialog>
#include <QPrinter>
#include <QPrinterInfo>

bool ShowPrintDialog(QWidget* owner, QPrinter& printer) {
    if (Hooks().printDialog) return Hooks().printDialog(printer);
    QPrintDialog dialog(&printer, owner);
    QAbstractPrintDialog::PrintDialogOptions options = QAbstractPrintDialog::PrintShowPageSize |
                                                       QAbstractPrintDialog::PrintCollateCopies;
    if (QPrinterInfo::availablePrinters().isEmpty()) options |= QAbstractPrintDialog::PrintToFile;
    dialog.setOptions(options);
    return dialog.exec() == QDialog::Accepted;
}
