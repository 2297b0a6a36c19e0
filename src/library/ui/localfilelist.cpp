#include "library/ui/localfilelist.h"

#include "common/dates.h"
#include "common/log.h"
#include "common/paths.h"
#include "library/programfile.h"
#include "library/ui/fileicons.h"

#include <QHeaderView>

QString FileDateText(qint64 modifiedMs) {
    return GeneralDate(FileTimeToDate(QDateTime::fromMSecsSinceEpoch(modifiedMs, Qt::UTC)));
}

LocalFileModel::LocalFileModel(QObject* parent)
    : ReportModel({QStringLiteral("Filnamn"), QStringLiteral("Storlek"), QStringLiteral("Kommentar"),
                   QStringLiteral("Filkommentar"), QStringLiteral("Datum")},
                  parent) {
    setIcons(FileKindIcons());
}

void LocalFileModel::setFiles(const QString& folder, std::vector<LocalFile> files) {
    beginRefill();
    folder_ = folder;
    files_ = std::move(files);
    dates_.assign(files_.size(), QString());
    endRefill();
}

QString LocalFileModel::cellText(int stored, int column) const {
    LocalFile& f = files_[static_cast<size_t>(stored)];
    switch (column) {
    case 0: return f.name;
    case 1:
        ReadLocalStat(f, folder_);
        // Bytes or kB, as the page and the history show a file; the machine's list counts blocks.
        return SizeText(f.size);
    case 2:
        ReadLocalComments(f, folder_);
        return f.programComment;
    case 3:
        ReadLocalComments(f, folder_);
        return f.fileComment;
    case 4: {
        QString& d = dates_[static_cast<size_t>(stored)];
        if (d.isNull()) {
            ReadLocalStat(f, folder_);
            d = FileDateText(f.modified);
        }
        return d;
    }
    default: return {};
    }
}

QString LocalFileModel::sortText(int stored, int column) const {
    if (column != 1) return cellText(stored, column);
    LocalFile& f = files_[static_cast<size_t>(stored)];
    ReadLocalStat(f, folder_);
    return QString::number(f.size);
}

LocalFileList::LocalFileList(QWidget* parent) : ReportList(parent), model_(new LocalFileModel(this)) {
    setReportModel(model_);
    const int widths[] = {110, 65, 140, 140, 135};
    for (int c = 0; c < 5; ++c) header()->resizeSection(c, widths[c]);
}

void LocalFileList::FillFileList(const QString& folder, const QString& pattern) {
    folder_ = folder;
    model_->setFiles(ResolveCase(folder), ScanProgramFolder(folder, pattern, false));
}
