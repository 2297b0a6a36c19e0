#pragma once
// "Historik": the kept versions of one program, one of them beside the
// present file line by line, and the way back to it.
#include "library/history.h"

#include <QDialog>

class DiffView;
class QLabel;
class QPushButton;
class QTreeWidget;

class frm_history : public QDialog {
    Q_OBJECT
public:
    explicit frm_history(const QString& programPath, QWidget* parent = nullptr);

    // Shows the version of row (newest first) beside the present file.
    void showVersion(int row);
    // Asks, then puts the selected version back.
    void cmdRestore_Click();
    // True once a version was put back: the file list needs a refresh.
    bool restored() const { return restored_; }

private:
    void fillVersions();

    QString path_;
    QList<HistoryVersion> versions_;
    QTreeWidget* lstVersions = nullptr;
    DiffView* grdDiff = nullptr;
    QLabel* lblDiff = nullptr;
    QPushButton* cmdRestore = nullptr;
    bool restored_ = false;
};
