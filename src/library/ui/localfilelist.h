#pragma once
// The local file list: name, size in blocks, program comment, file comment
// and date of each program of one folder.
#include "controls/reportlist.h"
#include "library/localfilescan.h"

class LocalFileModel : public ReportModel {
    Q_OBJECT
public:
    explicit LocalFileModel(QObject* parent = nullptr);

    // Rows for the files of folder; sizes, times and comments are read when
    // a row is first shown or sorted by.
    void setFiles(const QString& folder, std::vector<LocalFile> files);
    const LocalFile& file(int stored) const { return files_[static_cast<size_t>(stored)]; }

    int storedCount() const override { return static_cast<int>(files_.size()); }
    QString cellText(int stored, int column) const override;
    QString sortText(int stored, int column) const override;
    int iconIndex(int stored) const override { return file(stored).kind; }

private:
    QString folder_;
    mutable std::vector<LocalFile> files_;
    mutable std::vector<QString> dates_;  // formatted when first shown
};

class LocalFileList : public ReportList {
    Q_OBJECT
public:
    explicit LocalFileList(QWidget* parent = nullptr);

    // Replaces the rows with the files of folder that match pattern.
    void FillFileList(const QString& folder, const QString& pattern);
    QString folder() const { return folder_; }
    LocalFileModel* files() const { return model_; }

private:
    LocalFileModel* model_;
    QString folder_;
};

// The "Datum" text of a file time (milliseconds since the epoch).
QString FileDateText(qint64 modifiedMs);
