#include "library/ui/frm_history.h"

#include "controls/messagebox.h"
#include "common/ansi.h"
#include "common/paths.h"
#include "library/linediff.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTableWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {

const char kDateFormat[] = "yyyy-MM-dd HH:mm:ss";

void SetCell(QTableWidget* grid, int row, int column, const QByteArray* text, const QColor& marked) {
    auto* item = new QTableWidgetItem(text ? FromAnsi(*text) : QString());
    if (marked.isValid()) item->setBackground(marked);
    grid->setItem(row, column, item);
}

}  // namespace

frm_history::frm_history(const QString& programPath, QWidget* parent) : QDialog(parent), path_(programPath) {
    setObjectName(QStringLiteral("frm_history"));
    setWindowTitle(QStringLiteral("Historik - ") + QFileInfo(programPath).fileName());
    auto* root = new QVBoxLayout(this);

    lstVersions = new QTreeWidget(this);
    lstVersions->setObjectName(QStringLiteral("lstVersions"));
    // A kept version is the text that a later change replaced: when, and by what.
    lstVersions->setHeaderLabels({QStringLiteral("Ersatt"), QStringLiteral("Storlek"), QStringLiteral("Ersatt av")});
    lstVersions->setRootIsDecorated(false);
    lstVersions->setMaximumHeight(160);
    root->addWidget(lstVersions);

    lblDiff = new QLabel(this);
    lblDiff->setObjectName(QStringLiteral("lblDiff"));
    root->addWidget(lblDiff);

    grdDiff = new QTableWidget(0, 2, this);
    grdDiff->setObjectName(QStringLiteral("grdDiff"));
    grdDiff->setHorizontalHeaderLabels({QStringLiteral("Version"), QStringLiteral("Nuvarande")});
    grdDiff->horizontalHeader()->setSectionResizeMode(QHeaderView::Stretch);
    grdDiff->setEditTriggers(QAbstractItemView::NoEditTriggers);
    grdDiff->setWordWrap(false);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    grdDiff->setFont(mono);
    root->addWidget(grdDiff, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    cmdRestore = new QPushButton(QStringLiteral("Återställ"), this);
    cmdRestore->setObjectName(QStringLiteral("cmdRestore"));
    cmdRestore->setEnabled(false);
    auto* cmdClose = new QPushButton(QStringLiteral("Stäng"), this);
    cmdClose->setObjectName(QStringLiteral("cmdClose"));
    buttons->addWidget(cmdRestore);
    buttons->addWidget(cmdClose);
    root->addLayout(buttons);

    connect(lstVersions, &QTreeWidget::currentItemChanged, this,
            [this] { showVersion(lstVersions->indexOfTopLevelItem(lstVersions->currentItem())); });
    connect(cmdRestore, &QPushButton::clicked, this, &frm_history::cmdRestore_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QDialog::accept);
    resize(860, 600);
    fillVersions();
}

void frm_history::fillVersions() {
    versions_ = ListVersions(path_);
    lstVersions->clear();
    for (const HistoryVersion& v : versions_)
        lstVersions->addTopLevelItem(new QTreeWidgetItem(
            {v.date.toString(QLatin1String(kDateFormat)), SizeText(v.size), v.origin}));
    lblDiff->setText(versions_.isEmpty() ? QStringLiteral("Inga sparade versioner.") : QString());
    if (!versions_.isEmpty()) lstVersions->setCurrentItem(lstVersions->topLevelItem(0));
}

void frm_history::showVersion(int row) {
    grdDiff->setRowCount(0);
    cmdRestore->setEnabled(row >= 0 && row < versions_.size());
    if (!cmdRestore->isEnabled()) return;
    const HistoryVersion& v = versions_[row];
    QFile current(ResolveCase(path_));
    if (v.size > kDiffMaxBytes || (current.exists() && current.size() > kDiffMaxBytes)) {
        lblDiff->setText(QStringLiteral("Versionen är för stor för jämförelse."));
        return;
    }
    QBuffer old;
    old.open(QIODevice::WriteOnly);
    const FileResult r = ReadVersion(v, old);
    if (!r.ok) {
        lblDiff->setText(r.message());
        return;
    }
    const QByteArray now = current.open(QIODevice::ReadOnly) ? current.readAll() : QByteArray();
    const LineDiff diff = DiffLines(old.data(), now);
    if (diff.tooLarge) {
        lblDiff->setText(QStringLiteral("Versionen är för stor för jämförelse."));
        return;
    }

    // Removed and added lines between two common ones are paired row by row.
    const QColor removed(255, 215, 215), added(215, 245, 215), changed(255, 240, 190);
    int differences = 0;
    QList<const QByteArray*> left, right;
    auto flush = [&] {
        const qsizetype rows = std::max(left.size(), right.size());
        for (qsizetype i = 0; i < rows; ++i) {
            const int row = grdDiff->rowCount();
            grdDiff->insertRow(row);
            const bool both = i < left.size() && i < right.size();
            SetCell(grdDiff, row, 0, i < left.size() ? left[i] : nullptr, both ? changed : removed);
            SetCell(grdDiff, row, 1, i < right.size() ? right[i] : nullptr, both ? changed : added);
        }
        differences += int(rows);
        left.clear();
        right.clear();
    };
    for (const DiffLine& line : diff.lines) {
        if (line.kind == DiffLine::Removed) {
            left << &line.text;
        } else if (line.kind == DiffLine::Added) {
            right << &line.text;
        } else {
            flush();
            const int row = grdDiff->rowCount();
            grdDiff->insertRow(row);
            SetCell(grdDiff, row, 0, &line.text, QColor());
            SetCell(grdDiff, row, 1, &line.text, QColor());
        }
    }
    flush();
    lblDiff->setText(differences == 0 ? QStringLiteral("Versionen är lika med den nuvarande filen.")
                                      : QStringLiteral("%1 rader skiljer sig.").arg(differences));
}

void frm_history::cmdRestore_Click() {
    const int row = lstVersions->indexOfTopLevelItem(lstVersions->currentItem());
    if (row < 0 || row >= versions_.size()) return;
    const HistoryVersion v = versions_[row];
    const QString question = QStringLiteral("Återställa versionen från %1? Det nuvarande innehållet sparas som en version.")
                                 .arg(v.date.toString(QLatin1String(kDateFormat)));
    if (ShowMessageBox(this, question, windowTitle(), MsgIcon::Question, OperatorPanel::Buttons::YesNo) !=
        OperatorPanel::Answer::Yes)
        return;
    const FileResult r = RestoreVersion(path_, v.id);
    if (!r.ok) {
        ShowMessageBox(this, r.message(), windowTitle(), MsgIcon::None, OperatorPanel::Buttons::Ok);
        return;
    }
    restored_ = true;
    fillVersions();
}
