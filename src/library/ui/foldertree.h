#pragma once
// The folder tree of the local library: a root folder and the folders below
// it, read as they are opened, and one selected folder. The selected folder
// is kept as a path even when the tree cannot show it.
#include <QTreeWidget>

class FolderTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit FolderTree(QWidget* parent = nullptr);

    // Replaces the shown tree. An empty or missing root shows an empty tree.
    void setRootFolder(const QString& path);
    QString rootFolder() const { return root_; }
    // Opens the tree down to path and marks it; no folder click follows.
    void setSelectedFolder(const QString& path);
    QString selectedFolder() const { return selected_; }
    // Reads the tree again from the disk, keeping root and selection.
    void refresh();

    // The item showing path, or null.
    QTreeWidgetItem* itemFor(const QString& path) const;
    static QString pathOf(const QTreeWidgetItem* item);

Q_SIGNALS:
    // The operator chose a folder.
    void folderClick();

private:
    void fillChildren(QTreeWidgetItem* item);
    QTreeWidgetItem* revealPath(const QString& path);

    QString root_;
    QString selected_;
    bool settingSelection_ = false;
};
