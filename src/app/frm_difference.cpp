#include "app/frm_difference.h"

#include "controls/diffview.h"
#include "library/programfile.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

frm_difference::frm_difference(const QString& name, const QString& libraryFile, const QString& machine,
                               const QByteArray& machineText, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QStringLiteral("frm_difference"));
    setWindowTitle(QStringLiteral("Skillnad - ") + name);
    auto* root = new QVBoxLayout(this);
    lblDiff = new QLabel(this);
    lblDiff->setObjectName(QStringLiteral("lblDiff"));
    lblDiff->setWordWrap(true);
    root->addWidget(lblDiff);
    grdDiff = new DiffView(this);
    grdDiff->setObjectName(QStringLiteral("grdDiff"));
    grdDiff->setSides(QStringLiteral("Biblioteket: ") + QFileInfo(libraryFile).fileName(),
                      QStringLiteral("Maskinen: ") + machine);
    root->addWidget(grdDiff, 1);

    auto* buttons = new QHBoxLayout;
    cmdPrevious = new QPushButton(QStringLiteral("Föregående skillnad"), this);
    cmdPrevious->setObjectName(QStringLiteral("cmdPrevious"));
    cmdNext = new QPushButton(QStringLiteral("Nästa skillnad"), this);
    cmdNext->setObjectName(QStringLiteral("cmdNext"));
    auto* cmdClose = new QPushButton(QStringLiteral("Stäng"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    buttons->addWidget(cmdPrevious);
    buttons->addWidget(cmdNext);
    buttons->addStretch(1);
    buttons->addWidget(cmdClose);
    root->addLayout(buttons);
    connect(cmdPrevious, &QPushButton::clicked, this, [this] { step(false); });
    connect(cmdNext, &QPushButton::clicked, this, [this] { step(true); });
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    resize(900, 600);

    // What a send would put on the line: the library file's comment is not
    // the machine's, so it is not a difference.
    const QByteArray library = ReadProgramFile(libraryFile);
    const LineDiff diff = DiffLines(library, machineText);
    QList<DiffRow> rows = diff.tooLarge ? QList<DiffRow>() : SideBySide(diff);
    const int differing = DifferingRows(rows);
    grdDiff->setRows(std::move(rows));
    if (diff.tooLarge)
        lblDiff->setText(QStringLiteral("Programmen är för stora, eller skiljer sig på för många rader, för att visas rad för rad."));
    else if (differing == 0)
        lblDiff->setText(QStringLiteral("Inga rader skiljer sig; programmen skiljer sig bara i radslut."));
    else
        lblDiff->setText(QStringLiteral("%1 %2 sig mellan biblioteket och %3.")
                             .arg(differing)
                             .arg(differing == 1 ? QStringLiteral("rad skiljer") : QStringLiteral("rader skiljer"), machine));
    step(true);
}

void frm_difference::step(bool forward) {
    grdDiff->showDifference(forward);
    const int row = grdDiff->currentIndex().isValid() ? grdDiff->currentIndex().row() : -1;
    const QList<DiffRow>& rows = grdDiff->rows();
    auto any = [&](int from, int to) {
        for (int r = std::max(from, 0); r < std::min(to, int(rows.size())); ++r)
            if (rows[r].kind != DiffRow::Same) return true;
        return false;
    };
    int end = row;
    while (end >= 0 && end < rows.size() && rows[end].kind != DiffRow::Same) ++end;
    cmdPrevious->setEnabled(row >= 0 && any(0, row));
    cmdNext->setEnabled(any(row < 0 ? 0 : end, int(rows.size())));
}
