#include "library/ui/foldertree.h"

#include "common/paths.h"
#include "library/history.h"
#include "library/programfile.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHeaderView>
#include <QStyle>
#include <QFile>
#include <algorithm>

#ifdef Q_OS_UNIX
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace {
constexpr int kPathRole = Qt::UserRole;
constexpr int kFilledRole = Qt::UserRole + 1;

// The history store is no library folder, even where a library holds the
// program folder.
bool IsStore(const QString& path, const QString& name) {
    if (name == QLatin1String(kLockFolderName)) return true;
    static const QString storeName = QFileInfo(HistoryFolder()).fileName();
    return name.compare(storeName, Qt::CaseInsensitive) == 0 && IsHistoryFolder(JoinPath(path, name));
}

// Subfolder names of path; with firstOnly, at most one. A program folder
// holds thousands of files and few folders: the entry types come from the
// directory itself, without a look at each file.
QStringList ListSubFolders(const QString& path, bool firstOnly) {
    QStringList names;
#ifdef Q_OS_UNIX
    DIR* d = ::opendir(QFile::encodeName(path).constData());
    if (!d) return names;
    const int fd = ::dirfd(d);
    while (const dirent* e = ::readdir(d)) {
        const char* n = e->d_name;
        if (n[0] == '.' && (n[1] == 0 || (n[1] == '.' && n[2] == 0))) continue;
        bool dir = e->d_type == DT_DIR;
        if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
            struct stat st;
            dir = ::fstatat(fd, n, &st, 0) == 0 && S_ISDIR(st.st_mode);
        }
        if (!dir) continue;
        const QString name = QFile::decodeName(n);
        if (IsStore(path, name)) continue;
        names << name;
        if (firstOnly) break;
    }
    ::closedir(d);
#else
    QDirIterator it(path, QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    while (it.hasNext()) {
        it.next();
        if (IsStore(path, it.fileName())) continue;
        names << it.fileName();
        if (firstOnly) break;
    }
#endif
    return names;
}

QStringList SubFolders(const QString& path) {
    QStringList names = ListSubFolders(path, false);
    std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
        const int c = a.compare(b, Qt::CaseInsensitive);
        return c != 0 ? c < 0 : a < b;
    });
    return names;
}

bool HasSubFolder(const QString& path) { return !ListSubFolders(path, true).isEmpty(); }

// The style's folder picture, looked up once: the lookup costs more than a
// whole level of folders.
const QIcon& FolderIcon(const QStyle* style) {
    static const QIcon icon = style->standardIcon(QStyle::SP_DirIcon);
    return icon;
}

QString Clean(const QString& path) { return QDir::cleanPath(QDir::fromNativeSeparators(path)); }
}  // namespace

FolderTree::FolderTree(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    header()->setStretchLastSection(false);
    header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) { fillChildren(item); });
    connect(this, &QTreeWidget::itemClicked, this, [this](QTreeWidgetItem* item) {
        selected_ = pathOf(item);
        Q_EMIT folderClick();
    });
    // Moving with the keys chooses a folder too.
    connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (settingSelection_ || !item || pathOf(item) == selected_) return;
        selected_ = pathOf(item);
        Q_EMIT folderClick();
    });
}

QString FolderTree::pathOf(const QTreeWidgetItem* item) {
    return item ? item->data(0, kPathRole).toString() : QString();
}

void FolderTree::setRootFolder(const QString& path) {
    settingSelection_ = true;
    clear();
    root_ = path;
    const QString dir = path.isEmpty() ? QString() : ResolveCase(path);
    if (!dir.isEmpty() && QFileInfo(dir).isDir()) {
        auto* top = new QTreeWidgetItem(this);
        const QString clean = Clean(dir);
        const QString name = QFileInfo(clean).fileName();
        top->setText(0, name.isEmpty() ? QDir::toNativeSeparators(clean) : name);
        top->setData(0, kPathRole, clean);
        top->setIcon(0, FolderIcon(style()));
        top->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        fillChildren(top);
        top->setExpanded(true);
    }
    settingSelection_ = false;
}

void FolderTree::fillChildren(QTreeWidgetItem* item) {
    if (item->data(0, kFilledRole).toBool()) return;
    item->setData(0, kFilledRole, true);
    const QString path = pathOf(item);
    const QIcon& icon = FolderIcon(style());
    QList<QTreeWidgetItem*> children;
    for (const QString& name : SubFolders(path)) {
        auto* child = new QTreeWidgetItem;
        const QString full = JoinPath(path, name);
        child->setText(0, name);
        child->setData(0, kPathRole, full);
        child->setIcon(0, icon);
        child->setChildIndicatorPolicy(HasSubFolder(full) ? QTreeWidgetItem::ShowIndicator
                                                          : QTreeWidgetItem::DontShowIndicator);
        children << child;
    }
    item->addChildren(children);
    if (children.isEmpty()) item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
}

QTreeWidgetItem* FolderTree::itemFor(const QString& path) const {
    if (topLevelItemCount() == 0 || path.isEmpty()) return nullptr;
    QTreeWidgetItem* item = topLevelItem(0);
    const QString top = pathOf(item);
    const QString target = Clean(ResolveCase(path));
    if (target.compare(top, Qt::CaseInsensitive) == 0) return item;
    QString rel = QDir(top).relativeFilePath(target);
    if (rel.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(rel)) return nullptr;
    for (const QString& part : rel.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        QTreeWidgetItem* next = nullptr;
        for (int i = 0; i < item->childCount() && !next; ++i)
            if (item->child(i)->text(0) == part) next = item->child(i);
        for (int i = 0; i < item->childCount() && !next; ++i)
            if (item->child(i)->text(0).compare(part, Qt::CaseInsensitive) == 0) next = item->child(i);
        if (!next) return nullptr;
        item = next;
    }
    return item;
}

QTreeWidgetItem* FolderTree::revealPath(const QString& path) {
    if (topLevelItemCount() == 0 || path.isEmpty()) return nullptr;
    const QString top = pathOf(topLevelItem(0));
    const QString target = Clean(ResolveCase(path));
    if (target.compare(top, Qt::CaseInsensitive) == 0) return topLevelItem(0);
    const QString rel = QDir(top).relativeFilePath(target);
    if (rel.startsWith(QLatin1String("..")) || QDir::isAbsolutePath(rel)) return nullptr;
    // Open each level on the way so that its children exist.
    QTreeWidgetItem* item = topLevelItem(0);
    QString walked = top;
    for (const QString& part : rel.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        fillChildren(item);
        item->setExpanded(true);
        walked = JoinPath(walked, part);
        item = itemFor(walked);
        if (!item) return nullptr;
    }
    return item;
}

void FolderTree::setSelectedFolder(const QString& path) {
    settingSelection_ = true;
    selected_ = path;
    clearSelection();
    if (QTreeWidgetItem* item = revealPath(path)) {
        // Its subfolders are one click away.
        item->setExpanded(true);
        setCurrentItem(item);
        item->setSelected(true);
        scrollToItem(item);
    }
    settingSelection_ = false;
}

void FolderTree::refresh() {
    const QString selected = selected_;
    QStringList open;
    QTreeWidgetItemIterator it(this);
    for (; *it; ++it)
        if ((*it)->isExpanded()) open << pathOf(*it);
    setRootFolder(root_);
    for (const QString& p : open)
        if (QTreeWidgetItem* item = revealPath(p)) item->setExpanded(true);
    setSelectedFolder(selected);
}
