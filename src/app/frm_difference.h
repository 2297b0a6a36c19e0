#pragma once
// "Olika" opened: a library program beside the machine's copy of it, line
// by line, the differing lines marked, with a way from one difference to
// the next.
#include <QDialog>

class DiffView;
class QLabel;
class QPushButton;

class frm_difference : public QDialog {
    Q_OBJECT
public:
    // libraryFile: the library's program file; machineText: the program
    // text of the machine's copy.
    frm_difference(const QString& name, const QString& libraryFile, const QString& machine, const QByteArray& machineText,
                   QWidget* parent = nullptr);

private:
    void step(bool forward);

    DiffView* grdDiff = nullptr;
    QLabel* lblDiff = nullptr;
    QPushButton* cmdPrevious = nullptr;
    QPushButton* cmdNext = nullptr;
};
