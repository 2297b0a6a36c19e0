#pragma once
// A list view in report view: columns of text, a small picture per row,
// several rows selectable, and the classic text sort of a clicked column
// (columns of numbers sort by value).
// Rows live in a model that produces their texts on demand, so that a list of
// thousands of files costs no more than the rows on screen.
#include <QAbstractTableModel>
#include <QIcon>
#include <QTreeView>
#include <vector>

class ReportModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit ReportModel(QStringList headers, QObject* parent = nullptr);

    // Rows in the order they were added; the shown order may differ (sorting).
    virtual int storedCount() const = 0;
    virtual QString cellText(int stored, int column) const = 0;
    virtual int iconIndex(int /*stored*/) const { return 0; }
    // What a column sorts by, when not its text ("4 kB" after "1023 B").
    virtual QString sortText(int stored, int column) const { return cellText(stored, column); }

    // Pictures by number; 0 and missing numbers show none.
    void setIcons(const QList<QIcon>& icons) { icons_ = icons; }

    // The stored row shown at a position.
    int storedRow(int shown) const { return order_[static_cast<size_t>(shown)]; }
    QString text(int shown, int column) const { return cellText(storedRow(shown), column); }

    // The column holds numbers (sizes): its digit runs compare by value, so
    // that "1000" follows "999"; other text still compares as text.
    void setValueSorted(int column) { valueColumns_.append(column); }

    bool sorted() const { return sorted_; }
    int sortKey() const { return sortKey_; }
    Qt::SortOrder sortOrder() const { return sortOrder_; }
    // Switches sorting on with this key and order and sorts now.
    void sortBy(int column, Qt::SortOrder order);

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

protected:
    // Subclasses change their rows between these two calls.
    void beginRefill() { beginResetModel(); }
    void endRefill();
    // Takes stored row i out of the view and out of the subclass's rows
    // (eraseStored); later stored rows move up by one.
    void removeStored(int stored);
    virtual void eraseStored(int /*stored*/) {}

private:
    void applySort();

    QStringList headers_;
    QList<QIcon> icons_;
    QList<int> valueColumns_;
    std::vector<int> order_;
    bool sorted_ = false;
    int sortKey_ = 0;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
};

class ReportList : public QTreeView {
    Q_OBJECT
public:
    explicit ReportList(QWidget* parent = nullptr);

    void setReportModel(ReportModel* model);
    ReportModel* reportModel() const { return model_; }

    // Texts of column 0 of the selected rows, top to bottom.
    QStringList selectedTexts() const;
    // Selects the rows whose column 0 is one of texts (a refreshed list keeps
    // what the operator had chosen).
    void selectTexts(const QStringList& texts);
    // Column 0 of the focused row when it is selected, else of the first
    // selected row; empty when nothing is selected.
    QString selectedItemText() const;
    bool hasSelection() const;
    int count() const { return model_ ? model_->rowCount() : 0; }

Q_SIGNALS:
    void itemClicked();
    void itemDoubleClicked();
    void columnClicked(int column);
    void keyDown(int key, Qt::KeyboardModifiers modifiers);
    void focusGained();

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    ReportModel* model_ = nullptr;
};

// Sorts list by column (0 is the item text): a second click on the sorted
// column reverses the order, another column sorts ascending.
void LV_ColumnSort(ReportList& list, int column);
