#pragma once
// The about box: fixed texts, the emblem, and one button that closes it.
#include <QDialog>

class frm_about : public QDialog {
    Q_OBJECT
public:
    explicit frm_about(QWidget* parent = nullptr);
};
