#include "dirlistmodel.h"

#include "iconprovider.h"
#include "model/texts.h"

namespace korvane::ui {

namespace {

const char* const kHeaders[DirListModel::kColumnCount] = {"名称", "UID",  "GID",
                                                          "权限", "类型", "大小"};

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

DirListModel::DirListModel(IconProvider& icons, QObject* parent)
    : QAbstractTableModel(parent), icons_(icons) {}

ListRow DirListModel::makeRow(const Node& node, const Timg& img) {
    ListRow r;
    r.text = node.text;
    r.entry = node.entry;
    r.childCount = node.children.size();
    if (node.entry.objType == kTypeHardlink)
        if (const Node* target = img.nodeFor(node.entry.linkInfo))
            r.linkName = target->text;
    return r;
}

void DirListModel::fill(const Node& dir, const Timg& img) {
    beginResetModel();
    rows_.clear();
    rows_.reserve(dir.children.size());
    for (const auto& child : dir.children)
        rows_.push_back(makeRow(*child, img));
    endResetModel();
}

void DirListModel::clear() {
    beginResetModel();
    rows_.clear();
    endResetModel();
}

void DirListModel::refreshRow(int row, const Node& node) {
    if (row < 0 || row >= rows())
        return;
    ListRow& r = rows_[static_cast<size_t>(row)];
    r.entry = node.entry;
    r.text = node.text;
    emit dataChanged(index(row, 0), index(row, kColumnCount - 1));
}

void DirListModel::removeRows(const QList<int>& rows) {
    // Contiguous runs, from the last to the first.
    std::vector<std::pair<int, int>> runs;
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
        if (*it < 0 || *it >= this->rows())
            continue;
        if (!runs.empty() && runs.back().first == *it + 1)
            runs.back().first = *it;
        else
            runs.push_back({*it, *it});
    }
    constexpr size_t kManyRuns = 64;
    if (runs.size() > kManyRuns) {
        beginResetModel();
        std::vector<bool> gone(rows_.size(), false);
        for (const auto& [first, last] : runs)
            for (int r = first; r <= last; ++r)
                gone[static_cast<size_t>(r)] = true;
        size_t kept = 0;
        for (size_t i = 0; i < rows_.size(); ++i) {
            if (gone[i])
                continue;
            if (kept != i)
                rows_[kept] = std::move(rows_[i]);
            ++kept;
        }
        rows_.resize(kept);
        endResetModel();
        return;
    }
    for (const auto& [first, last] : runs) {
        beginRemoveRows({}, first, last);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        endRemoveRows();
    }
}

QString DirListModel::cellText(int row, int column) const {
    const ListRow& r = rows_[static_cast<size_t>(row)];
    switch (column) {
    case kName:
        return utf8(r.text);
    case kUid:
        return QString::number(r.entry.uid);
    case kGid:
        return QString::number(r.entry.gid);
    case kPermissions:
        return utf8(permissiontext(r.entry.mode));
    case kType:
        return utf8(listtypetext(r.entry, r.childCount, r.linkName));
    case kSize:
        return utf8(listsizetext(r.entry));
    default:
        return {};
    }
}

int DirListModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows();
}

int DirListModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant DirListModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows())
        return {};
    const ListRow& r = rows_[static_cast<size_t>(index.row())];
    switch (role) {
    case Qt::DisplayRole:
        return cellText(index.row(), index.column());
    case Qt::ToolTipRole:
        return index.column() == kName ? cellText(index.row(), kName) : QVariant();
    case Qt::DecorationRole:
        if (index.column() == kName)
            return icons_.iconFor(r.text, r.entry.objType == kTypeDirectory);
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == kUid || index.column() == kGid || index.column() == kSize)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case ObjIdRole:
        return static_cast<uint>(r.entry.objId);
    default:
        return {};
    }
}

QVariant DirListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumnCount)
        return {};
    return QString::fromUtf8(kHeaders[section]);
}

Qt::ItemFlags DirListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

} // namespace korvane::ui
