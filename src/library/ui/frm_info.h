#pragma once
// File information: name, size in blocks and bytes, dates and file comment.
#include <QDialog>

class QLineEdit;

class frm_info : public QDialog {
    Q_OBJECT
public:
    // Fills the fields for the file at path. A file that exists but cannot be
    // read raises AppError from the comment.
    explicit frm_info(const QString& path, QWidget* parent = nullptr);

    QString field(const char* objectName) const;

private:
    QLineEdit* addField(const char* objectName, const QString& label, int row);
};
