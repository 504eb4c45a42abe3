// The folder tree on the left: the directories of the object tree, in the
// tree's order. It keeps its own outline of the folders (node, name,
// children), so painting never reads the object tree while a job changes it.
#pragma once

#include "model/node.h"

#include <QAbstractItemModel>
#include <QIcon>
#include <unordered_map>
#include <vector>

namespace korvane::ui {

class FolderTreeModel : public QAbstractItemModel {
    Q_OBJECT
public:
    explicit FolderTreeModel(QIcon folderIcon, QObject* parent = nullptr);

    // Outlines the folders below root (nullptr: none).
    void setRoot(Node* root);

    Node* nodeAt(const QModelIndex& index) const;
    QModelIndex indexOf(const Node* node) const;

    // After a folder's name changed in the tree.
    void nodeRenamed(const Node* node);
    // Around the removal of node's subtree from the object tree.
    void beginRemoveNode(const Node* node);
    void endRemoveNode();

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    bool hasChildren(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    struct Folder {
        Node* node = nullptr;
        QString name;
        int parent = -1;
        int row = 0;
        std::vector<int> children;
    };

    QModelIndex indexFor(int folder) const;
    void forget(int folder);

    QIcon icon_;
    std::vector<Folder> folders_; // [0] is the root when there is one
    std::unordered_map<const Node*, int> byNode_;
    int removing_ = -1;
};

} // namespace korvane::ui
