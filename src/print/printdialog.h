#pragma once
// The system's print dialog for a printer the caller keeps between prints.
class QPrinter;
class QWidget;

// Shows the print dialog without page range and selection; a print-to-file
// choice only where no printer is installed (else nothing could be printed).
// On OK the chosen printer and settings are in printer and the result is
// true; on Cancel printer is unchanged.
bool ShowPrintDialog(QWidget* owner, QPrinter& printer);
