#include "library/ui/frm_history.h"

#include "controls/diffview.h"
#include "controls/messagebox.h"
#include "common/paths.h"
#include "library/linediff.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace {
const char kDateFormat[] = "yyyy-MM-dd HH:mm:ss";
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

    grdDiff = new DiffView(this);
    grdDiff->setObjectName(QStringLiteral("grdDiff"));
    grdDiff->setSides(QStringLiteral("Version"), QStringLiteral("Nuvarande"));
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
    for (int column = 0; column < lstVersions->columnCount(); ++column) lstVersions->resizeColumnToContents(column);
    lblDiff->setText(versions_.isEmpty() ? QStringLiteral("Inga sparade versioner.") : QString());
    if (!versions_.isEmpty()) lstVersions->setCurrentItem(lstVersions->topLevelItem(0));
}

void frm_history::showVersion(int row) {
    grdDiff->setRows({});
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

    QList<DiffRow> rows = SideBySide(diff);
    const int differences = DifferingRows(rows);
    grdDiff->setRows(std::move(rows));
    lblDiff->setText(differences == 0   ? QStringLiteral("Versionen är lika med den nuvarande filen.")
                     : differences == 1 ? QStringLiteral("1 rad skiljer sig.")
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
