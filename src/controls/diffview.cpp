#include "controls/diffview.h"

#include "common/ansi.h"

#include <QAbstractTableModel>
#include <QColor>
#include <QFont>
#include <QHeaderView>

class DiffModel : public QAbstractTableModel {
public:
    using QAbstractTableModel::QAbstractTableModel;
    QList<DiffRow> rows;
    QString sides[2];

    int rowCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : int(rows.size()); }
    int columnCount(const QModelIndex& parent = {}) const override { return parent.isValid() ? 0 : 4; }

    QVariant data(const QModelIndex& index, int role) const override {
        const DiffRow& r = rows[index.row()];
        const bool after = index.column() >= 2, number = index.column() % 2 == 0;
        const int line = after ? r.afterLine : r.beforeLine;
        if (role == Qt::DisplayRole) {
            if (line == 0) return QString();
            return number ? QVariant(line) : QVariant(FromAnsi(after ? r.after : r.before));
        }
        if (role == Qt::TextAlignmentRole && number) return int(Qt::AlignRight | Qt::AlignVCenter);
        if (role == Qt::ForegroundRole && number) return QColor(Qt::darkGray);
        if (role == Qt::BackgroundRole) {
            switch (r.kind) {
            case DiffRow::Same: return {};
            case DiffRow::Changed: return QColor(255, 240, 190);
            case DiffRow::Removed: return after ? QColor(235, 235, 235) : QColor(255, 215, 215);
            case DiffRow::Added: return after ? QColor(215, 245, 215) : QColor(235, 235, 235);
            }
        }
        return {};
    }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
        return section % 2 == 0 ? QStringLiteral("Rad") : sides[section / 2];
    }

    void reset(QList<DiffRow> r) {
        beginResetModel();
        rows = std::move(r);
        endResetModel();
    }
};

DiffView::DiffView(QWidget* parent) : QTableView(parent), model_(new DiffModel(this)) {
    setModel(model_);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    // A selection's colour would hide the marking of the line it is on.
    setSelectionMode(QAbstractItemView::NoSelection);
    setWordWrap(false);
    setShowGrid(false);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    setFont(mono);
    verticalHeader()->hide();
    // One height for every row: the view never measures the rows it does not show.
    verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
    horizontalHeader()->setSectionResizeMode(0, QHeaderView::Fixed);
    horizontalHeader()->setSectionResizeMode(1, QHeaderView::Stretch);
    horizontalHeader()->setSectionResizeMode(2, QHeaderView::Fixed);
    horizontalHeader()->setSectionResizeMode(3, QHeaderView::Stretch);
}

void DiffView::setSides(const QString& before, const QString& after) {
    model_->sides[0] = before;
    model_->sides[1] = after;
    model_->headerDataChanged(Qt::Horizontal, 0, 3);
}

void DiffView::setRows(QList<DiffRow> rows) {
    // The numbers' columns as wide as the largest line number.
    const int digits = int(QString::number(rows.size()).size());
    const int numberWidth = fontMetrics().horizontalAdvance(QString(std::max(digits, 3), QLatin1Char('0'))) + 12;
    model_->reset(std::move(rows));
    setColumnWidth(0, numberWidth);
    setColumnWidth(2, numberWidth);
}

const QList<DiffRow>& DiffView::rows() const { return model_->rows; }

bool DiffView::showDifference(bool forward) {
    const QList<DiffRow>& rows = model_->rows;
    int row = currentIndex().isValid() ? currentIndex().row() : (forward ? -1 : int(rows.size()));
    // From inside a run of differing rows, past its end first.
    const auto differs = [&](int r) { return r >= 0 && r < rows.size() && rows[r].kind != DiffRow::Same; };
    while (differs(row)) row += forward ? 1 : -1;
    do row += forward ? 1 : -1;
    while (row >= 0 && row < rows.size() && !differs(row));
    if (!differs(row)) return false;
    // Backwards, to the start of that run.
    if (!forward)
        while (differs(row - 1)) --row;
    setCurrentIndex(model_->index(row, 1));
    scrollTo(currentIndex(), QAbstractItemView::PositionAtCenter);
    return true;
}
