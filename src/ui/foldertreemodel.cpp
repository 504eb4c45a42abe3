#include "foldertreemodel.h"

namespace korvane::ui {

FolderTreeModel::FolderTreeModel(QIcon folderIcon, QObject* parent)
    : QAbstractItemModel(parent), icon_(std::move(folderIcon)) {}

void FolderTreeModel::setRoot(Node* root) {
    beginResetModel();
    folders_.clear();
    byNode_.clear();
    if (root) {
        // Iterative pre-order walk over directories only.
        struct Pending {
            Node* node;
            int parent;
        };
        std::vector<Pending> stack{{root, -1}};
        while (!stack.empty()) {
            Pending p = stack.back();
            stack.pop_back();
            int id = static_cast<int>(folders_.size());
            Folder f;
            f.node = p.node;
            f.name =
                QString::fromUtf8(p.node->text.data(), static_cast<qsizetype>(p.node->text.size()));
            f.parent = p.parent;
            if (p.parent >= 0) {
                Folder& parent = folders_[static_cast<size_t>(p.parent)];
                f.row = static_cast<int>(parent.children.size());
                parent.children.push_back(id);
            }
            folders_.push_back(std::move(f));
            byNode_.emplace(p.node, id);
            for (auto it = p.node->children.rbegin(); it != p.node->children.rend(); ++it)
                if ((*it)->isDirectory())
                    stack.push_back({it->get(), id});
        }
    }
    endResetModel();
}

Node* FolderTreeModel::nodeAt(const QModelIndex& index) const {
    if (!index.isValid())
        return nullptr;
    auto id = static_cast<size_t>(index.internalId());
    return id < folders_.size() ? folders_[id].node : nullptr;
}

QModelIndex FolderTreeModel::indexFor(int folder) const {
    if (folder < 0 || static_cast<size_t>(folder) >= folders_.size() ||
        !folders_[static_cast<size_t>(folder)].node)
        return {};
    return createIndex(folders_[static_cast<size_t>(folder)].row, 0, static_cast<quintptr>(folder));
}

QModelIndex FolderTreeModel::indexOf(const Node* node) const {
    auto it = byNode_.find(node);
    return it == byNode_.end() ? QModelIndex() : indexFor(it->second);
}

void FolderTreeModel::nodeRenamed(const Node* node) {
    auto it = byNode_.find(node);
    if (it == byNode_.end())
        return;
    Folder& f = folders_[static_cast<size_t>(it->second)];
    f.name = QString::fromUtf8(node->text.data(), static_cast<qsizetype>(node->text.size()));
    QModelIndex i = indexFor(it->second);
    emit dataChanged(i, i);
}

void FolderTreeModel::beginRemoveNode(const Node* node) {
    removing_ = -1;
    auto it = byNode_.find(node);
    if (it == byNode_.end())
        return;
    const Folder& f = folders_[static_cast<size_t>(it->second)];
    if (f.parent < 0)
        return;
    removing_ = it->second;
    beginRemoveRows(indexFor(f.parent), f.row, f.row);
}

void FolderTreeModel::forget(int folder) {
    std::vector<int> stack{folder};
    while (!stack.empty()) {
        Folder& f = folders_[static_cast<size_t>(stack.back())];
        stack.pop_back();
        byNode_.erase(f.node);
        f.node = nullptr;
        stack.insert(stack.end(), f.children.begin(), f.children.end());
    }
}

void FolderTreeModel::endRemoveNode() {
    if (removing_ < 0)
        return;
    Folder& parent = folders_[static_cast<size_t>(folders_[static_cast<size_t>(removing_)].parent)];
    parent.children.erase(parent.children.begin() + folders_[static_cast<size_t>(removing_)].row);
    for (size_t r = 0; r < parent.children.size(); ++r)
        folders_[static_cast<size_t>(parent.children[r])].row = static_cast<int>(r);
    forget(removing_);
    removing_ = -1;
    endRemoveRows();
}

QModelIndex FolderTreeModel::index(int row, int column, const QModelIndex& parent) const {
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row == 0 && !folders_.empty() ? indexFor(0) : QModelIndex();
    const Folder& p = folders_[static_cast<size_t>(parent.internalId())];
    if (static_cast<size_t>(row) >= p.children.size())
        return {};
    return indexFor(p.children[static_cast<size_t>(row)]);
}

QModelIndex FolderTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid())
        return {};
    return indexFor(folders_[static_cast<size_t>(child.internalId())].parent);
}

int FolderTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0)
        return 0;
    if (!parent.isValid())
        return folders_.empty() ? 0 : 1;
    return static_cast<int>(folders_[static_cast<size_t>(parent.internalId())].children.size());
}

int FolderTreeModel::columnCount(const QModelIndex&) const {
    return 1;
}

bool FolderTreeModel::hasChildren(const QModelIndex& parent) const {
    return rowCount(parent) > 0;
}

QVariant FolderTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const Folder& f = folders_[static_cast<size_t>(index.internalId())];
    switch (role) {
    case Qt::DisplayRole:
    case Qt::ToolTipRole:
        return f.name;
    case Qt::DecorationRole:
        return icon_;
    default:
        return {};
    }
}

Qt::ItemFlags FolderTreeModel::flags(const QModelIndex& index) const {
    return index.isValid() ? Qt::ItemIsEnabled | Qt::ItemIsSelectable : Qt::NoItemFlags;
}

} // namespace korvane::ui
