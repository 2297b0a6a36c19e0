#include "controls/reportlist.h"

#include <QHeaderView>
#include <QKeyEvent>
#include <algorithm>
#include <numeric>

ReportModel::ReportModel(QStringList headers, QObject* parent)
    : QAbstractTableModel(parent), headers_(std::move(headers)) {}

int ReportModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(order_.size());
}

int ReportModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : headers_.size(); }

QVariant ReportModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(order_.size())) return {};
    const int stored = storedRow(index.row());
    if (role == Qt::DisplayRole) return cellText(stored, index.column());
    // Rows are as tall as the small pictures, in lists with and without them.
    if (role == Qt::SizeHintRole && index.column() == 0) return QSize(0, 18);
    if (role == Qt::DecorationRole && index.column() == 0) {
        const int k = iconIndex(stored);
        if (k > 0 && k < icons_.size()) return icons_[k];
    }
    return {};
}

QVariant ReportModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section >= 0 && section < headers_.size())
        return headers_[section];
    return {};
}

void ReportModel::endRefill() {
    order_.resize(static_cast<size_t>(storedCount()));
    std::iota(order_.begin(), order_.end(), 0);
    if (sorted_) applySort();
    endResetModel();
}

void ReportModel::removeStored(int stored) {
    const auto it = std::find(order_.begin(), order_.end(), stored);
    if (it == order_.end()) return;
    const int shown = static_cast<int>(it - order_.begin());
    beginRemoveRows({}, shown, shown);
    order_.erase(it);
    for (int& s : order_)
        if (s > stored) --s;
    eraseStored(stored);
    endRemoveRows();
}

void ReportModel::sortBy(int column, Qt::SortOrder order) {
    Q_EMIT layoutAboutToBeChanged();
    sorted_ = true;
    sortKey_ = column;
    sortOrder_ = order;
    applySort();
    Q_EMIT layoutChanged();
}

namespace {
// Text order, except that runs of digits compare by their value. Comparing
// the runs inside the text (rather than whole numbers against text) keeps the
// order consistent when numbers and other text are mixed.
bool Digit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

int CompareByValue(const QString& a, const QString& b) {
    qsizetype i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (Digit(a[i]) && Digit(b[j])) {
            while (i < a.size() && a[i] == QLatin1Char('0')) ++i;
            while (j < b.size() && b[j] == QLatin1Char('0')) ++j;
            qsizetype ei = i, ej = j;
            while (ei < a.size() && Digit(a[ei])) ++ei;
            while (ej < b.size() && Digit(b[ej])) ++ej;
            if (ei - i != ej - j) return ei - i < ej - j ? -1 : 1;
            if (const int c = QStringView(a).mid(i, ei - i).compare(QStringView(b).mid(j, ej - j)); c != 0) return c;
            i = ei;
            j = ej;
            continue;
        }
        const char32_t ca = a[i].toCaseFolded().unicode(), cb = b[j].toCaseFolded().unicode();
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
    // Same value ("003" and "3"): the text decides.
    return QString::compare(a, b, Qt::CaseInsensitive);
}
}  // namespace

void ReportModel::applySort() {
    if (sortKey_ < 0 || sortKey_ >= headers_.size()) return;
    // Each text once, then a stable sort of the positions.
    std::vector<QString> keys(static_cast<size_t>(storedCount()));
    for (size_t i = 0; i < keys.size(); ++i) keys[i] = sortText(static_cast<int>(i), sortKey_);
    const bool down = sortOrder_ == Qt::DescendingOrder;
    const bool byValue = valueColumns_.contains(sortKey_);
    std::stable_sort(order_.begin(), order_.end(), [&](int a, int b) {
        const QString& ka = keys[static_cast<size_t>(a)];
        const QString& kb = keys[static_cast<size_t>(b)];
        const int c = byValue ? CompareByValue(ka, kb) : QString::compare(ka, kb, Qt::CaseInsensitive);
        return down ? c > 0 : c < 0;
    });
}

ReportList::ReportList(QWidget* parent) : QTreeView(parent) {
    setRootIsDecorated(false);
    setItemsExpandable(false);
    setUniformRowHeights(true);
    setAllColumnsShowFocus(true);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setIconSize(QSize(16, 16));
    header()->setSectionsClickable(true);
    header()->setSortIndicatorShown(false);
    header()->setStretchLastSection(false);
    connect(header(), &QHeaderView::sectionClicked, this, &ReportList::columnClicked);
}

void ReportList::setReportModel(ReportModel* model) {
    model_ = model;
    setModel(model);
}

QStringList ReportList::selectedTexts() const {
    QStringList out;
    if (!model_ || !selectionModel()) return out;
    QModelIndexList rows = selectionModel()->selectedRows(0);
    std::sort(rows.begin(), rows.end(), [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    out.reserve(rows.size());
    for (const QModelIndex& i : rows) out << model_->text(i.row(), 0);
    return out;
}

void ReportList::selectTexts(const QStringList& texts) {
    if (!model_ || !selectionModel() || texts.isEmpty()) return;
    for (int row = 0; row < model_->rowCount(); ++row)
        if (texts.contains(model_->text(row, 0)))
            selectionModel()->select(model_->index(row, 0),
                                     QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

QString ReportList::selectedItemText() const {
    if (!model_ || !selectionModel()) return {};
    const QModelIndex cur = currentIndex();
    if (cur.isValid() && selectionModel()->isRowSelected(cur.row(), {})) return model_->text(cur.row(), 0);
    const QStringList all = selectedTexts();
    return all.isEmpty() ? QString() : all.first();
}

bool ReportList::hasSelection() const { return selectionModel() && selectionModel()->hasSelection(); }

void ReportList::keyPressEvent(QKeyEvent* event) {
    Q_EMIT keyDown(event->key(), event->modifiers());
    // Ctrl+A is the owner's (it also enables buttons); any other Ctrl+A
    // combination does nothing.
    if (event->key() == Qt::Key_A && (event->modifiers() & Qt::ControlModifier)) {
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

void ReportList::focusInEvent(QFocusEvent* event) {
    QTreeView::focusInEvent(event);
    Q_EMIT focusGained();
}

void ReportList::mouseReleaseEvent(QMouseEvent* event) {
    QTreeView::mouseReleaseEvent(event);
    Q_EMIT itemClicked();
}

void ReportList::mouseDoubleClickEvent(QMouseEvent* event) {
    QTreeView::mouseDoubleClickEvent(event);
    if (indexAt(event->position().toPoint()).isValid()) Q_EMIT itemDoubleClicked();
}

void LV_ColumnSort(ReportList& list, int column) {
    ReportModel* m = list.reportModel();
    if (!m) return;
    if (m->sorted() && m->sortKey() == column)
        m->sortBy(column, m->sortOrder() == Qt::AscendingOrder ? Qt::DescendingOrder : Qt::AscendingOrder);
    else
        m->sortBy(column, Qt::AscendingOrder);
}
