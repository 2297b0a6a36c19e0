#pragma once
// Rows of the machine's program list: name and size as the machine reports
// them, and how each compared with the library when a comparison ran.
#include "controls/reportlist.h"
#include "common/panelentries.h"

// A size of the machine's list as shown: "009" is "9 block".
QString BlockText(const QString& size);

class RemoteFileModel : public ReportModel {
    Q_OBJECT
public:
    explicit RemoteFileModel(QObject* parent = nullptr);

    void setEntries(const QList<RemoteEntry>& entries);
    // Removes the first row named name; false when there is none.
    bool removeName(const QString& name);
    // The comparison column's text for the rows named name.
    void setComparison(const QString& name, const QString& text);

    int storedCount() const override { return static_cast<int>(rows_.size()); }
    QString cellText(int stored, int column) const override;
    // "Olika" tells how to see the difference.
    QVariant data(const QModelIndex& index, int role) const override;

protected:
    void eraseStored(int stored) override { rows_.erase(rows_.begin() + stored); }

private:
    struct Row {
        QString name, size, comparison;
    };
    std::vector<Row> rows_;
};
