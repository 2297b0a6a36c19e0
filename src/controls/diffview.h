#pragma once
// Two texts side by side, line numbers beside each, the differing rows
// marked: removed red, added green, changed yellow. Rows are drawn on
// demand, so a program of a hundred thousand lines opens at once.
#include "library/linediff.h"

#include <QTableView>

class DiffModel;

class DiffView : public QTableView {
    Q_OBJECT
public:
    explicit DiffView(QWidget* parent = nullptr);

    // The headers above the two texts ("Version", "Nuvarande").
    void setSides(const QString& before, const QString& after);
    void setRows(QList<DiffRow> rows);
    const QList<DiffRow>& rows() const;
    // Moves to the next (or previous) differing row after (before) the
    // current one; false when there is none.
    bool showDifference(bool forward);

private:
    DiffModel* model_;
};
