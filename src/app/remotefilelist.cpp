#include "app/remotefilelist.h"

#include "common/ansi.h"
#include "operations/comparison.h"

// The machine counts a program in 128-byte blocks ("009"): "9 block".
QString BlockText(const QString& size) {
    bool number = false;
    const qlonglong n = size.trimmed().toLongLong(&number);
    return number && n >= 0 ? QString::number(n) + QStringLiteral(" block") : size;
}

RemoteFileModel::RemoteFileModel(QObject* parent)
    : ReportModel({QStringLiteral("Filnamn"), QStringLiteral("Storlek"), QStringLiteral("Jämförelse")}, parent) {}

void RemoteFileModel::setEntries(const QList<RemoteEntry>& entries) {
    beginRefill();
    rows_.clear();
    rows_.reserve(static_cast<size_t>(entries.size()));
    for (const RemoteEntry& e : entries) rows_.push_back(Row{FromAnsi(e.name), BlockText(FromAnsi(e.size)), {}});
    endRefill();
}

bool RemoteFileModel::removeName(const QString& name) {
    for (size_t i = 0; i < rows_.size(); ++i) {
        if (rows_[i].name != name) continue;
        removeStored(static_cast<int>(i));
        return true;
    }
    return false;
}

void RemoteFileModel::setComparison(const QString& name, const QString& text) {
    for (size_t i = 0; i < rows_.size(); ++i)
        if (rows_[i].name == name) rows_[i].comparison = text;
    if (!rows_.empty()) Q_EMIT dataChanged(index(0, 2), index(rowCount() - 1, 2));
}

QString RemoteFileModel::cellText(int stored, int column) const {
    const Row& r = rows_[static_cast<size_t>(stored)];
    return column == 0 ? r.name : column == 1 ? r.size : column == 2 ? r.comparison : QString();
}

QVariant RemoteFileModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::ToolTipRole && index.column() == 2 &&
        text(index.row(), 2) == ComparisonText(ProgramComparison::Result::Different))
        return QStringLiteral("Dubbelklicka för att se skillnaden mot biblioteket.");
    return ReportModel::data(index, role);
}
