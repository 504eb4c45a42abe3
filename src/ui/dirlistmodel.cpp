#include "dirlistmodel.h"

#include "iconprovider.h"
#include "language.h"
#include "model/texts.h"
#include "uitexts.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Hard links to hard links are followed this far at most.
constexpr int kMaxLinkHops = 64;

} // namespace

int naturalCompare(std::string_view a, std::string_view b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the runs by value: skip leading zeros, then the longer
            // run is larger, then digit by digit.
            size_t ai = i, bj = j;
            while (ai < a.size() && a[ai] == '0')
                ++ai;
            while (bj < b.size() && b[bj] == '0')
                ++bj;
            size_t ae = ai, be = bj;
            while (ae < a.size() && isDigit(a[ae]))
                ++ae;
            while (be < b.size() && isDigit(b[be]))
                ++be;
            if (ae - ai != be - bj)
                return ae - ai < be - bj ? -1 : 1;
            if (int c = a.substr(ai, ae - ai).compare(b.substr(bj, be - bj)); c != 0)
                return c < 0 ? -1 : 1;
            // Equal values: fewer leading zeros first.
            if (ai - i != bj - j)
                return ai - i < bj - j ? -1 : 1;
            i = ae;
            j = be;
            continue;
        }
        const int ca = std::tolower(static_cast<unsigned char>(a[i]));
        const int cb = std::tolower(static_cast<unsigned char>(b[j]));
        if (ca != cb)
            return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size() || j < b.size())
        return i < a.size() ? 1 : -1;
    return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}

std::string securityLabel(const TImgEntry& e) {
    for (const Xattr& x : e.xattrs)
        if (x.name == "security.selinux") {
            std::string v = x.value;
            while (!v.empty() && v.back() == '\0')
                v.pop_back();
            return v;
        }
    return {};
}

DirListModel::DirListModel(IconProvider& icons, QObject* parent)
    : QAbstractTableModel(parent), icons_(icons) {}

ListRow DirListModel::makeRow(const Node& node, const Timg& img) {
    ListRow r;
    r.text = node.text;
    r.entry = node.entry;
    r.childCount = node.children.size();
    if (node.entry.objType == kTypeHardlink) {
        const Node* target = img.nodeFor(node.entry.linkInfo);
        if (target)
            r.linkName = target->text;
        for (int hops = 0; target && target->entry.objType == kTypeHardlink && hops < kMaxLinkHops;
             ++hops)
            target = img.nodeFor(target->entry.linkInfo);
        if (target && target->entry.objType != kTypeHardlink)
            r.target = target->entry;
    }
    return r;
}

void DirListModel::fill(const Node& dir, const Timg& img) {
    beginResetModel();
    ++generation_;
    thumbnails_.clear();
    rows_.clear();
    rows_.reserve(dir.children.size());
    for (const auto& child : dir.children) {
        rows_.push_back(makeRow(*child, img));
        rows_.back().entry.picIndex = -1;
    }
    sortRows();
    reindex();
    endResetModel();
}

void DirListModel::clear() {
    beginResetModel();
    ++generation_;
    thumbnails_.clear();
    rows_.clear();
    byId_.clear();
    endResetModel();
}

void DirListModel::refreshRow(int row, const Node& node, const Timg& img) {
    if (row < 0 || row >= rows())
        return;
    ListRow& r = rows_[static_cast<size_t>(row)];
    const int32_t pic = r.entry.picIndex;
    const size_t children = r.childCount;
    r = makeRow(node, img);
    r.childCount = children;
    r.entry.picIndex = pic;
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
        reindex();
        endResetModel();
        return;
    }
    for (const auto& [first, last] : runs) {
        beginRemoveRows({}, first, last);
        rows_.erase(rows_.begin() + first, rows_.begin() + last + 1);
        endRemoveRows();
    }
    reindex();
}

int DirListModel::rowOf(uint32_t id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? -1 : it->second;
}

void DirListModel::reindex() {
    byId_.clear();
    byId_.reserve(rows_.size());
    for (size_t i = 0; i < rows_.size(); ++i)
        byId_.emplace(rows_[i].entry.objId, static_cast<int>(i));
}

bool DirListModel::hasLabels() const {
    return std::any_of(rows_.begin(), rows_.end(),
                       [](const ListRow& r) { return !securityLabel(r.shown()).empty(); });
}

void DirListModel::sort(int column, Qt::SortOrder order) {
    sortColumn_ = column >= 0 && column < kColumnCount ? column : -1;
    sortOrder_ = order;
    if (sortColumn_ < 0)
        return;
    emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
    const QModelIndexList before = persistentIndexList();
    std::vector<uint32_t> ids;
    ids.reserve(static_cast<size_t>(before.size()));
    for (const QModelIndex& i : before)
        ids.push_back(rows_[static_cast<size_t>(i.row())].entry.objId);
    sortRows();
    reindex();
    QModelIndexList after;
    after.reserve(before.size());
    for (qsizetype k = 0; k < before.size(); ++k)
        after << index(rowOf(ids[static_cast<size_t>(k)]), before[k].column());
    changePersistentIndexList(before, after);
    emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void DirListModel::sortRows() {
    if (sortColumn_ < 0)
        return;
    const int column = sortColumn_;
    // Keys made once per row: the type texts need the catalogue.
    std::vector<std::string> texts;
    if (column == kType || column == kLabel) {
        texts.reserve(rows_.size());
        for (const ListRow& r : rows_)
            texts.push_back(
                column == kLabel
                    ? securityLabel(r.shown())
                    : coreText(listtypetext(r.entry, r.childCount, r.linkName)).toStdString());
    }
    std::vector<size_t> order(rows_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto compare = [&](size_t x, size_t y) {
        const ListRow& a = rows_[x];
        const ListRow& b = rows_[y];
        switch (column) {
        case kUid:
            return a.shown().uid < b.shown().uid ? -1 : a.shown().uid > b.shown().uid;
        case kGid:
            return a.shown().gid < b.shown().gid ? -1 : a.shown().gid > b.shown().gid;
        case kPermissions: {
            const uint32_t ma = a.shown().mode & 07777, mb = b.shown().mode & 07777;
            return ma < mb ? -1 : ma > mb;
        }
        case kSize: {
            const uint64_t sa = a.shown().objType == kTypeFile ? a.shown().size : 0;
            const uint64_t sb = b.shown().objType == kTypeFile ? b.shown().size : 0;
            return sa < sb ? -1 : sa > sb;
        }
        case kType:
        case kLabel:
            return naturalCompare(texts[x], texts[y]);
        default:
            return 0;
        }
    };
    const bool descending = sortOrder_ == Qt::DescendingOrder;
    std::stable_sort(order.begin(), order.end(), [&](size_t x, size_t y) {
        const bool fx = rows_[x].entry.objType == kTypeDirectory;
        const bool fy = rows_[y].entry.objType == kTypeDirectory;
        if (fx != fy)
            return fx; // folders first, in either order
        int c = compare(x, y);
        if (c == 0)
            c = naturalCompare(rows_[x].text, rows_[y].text);
        return descending ? c > 0 : c < 0;
    });
    std::vector<ListRow> sorted;
    sorted.reserve(rows_.size());
    for (size_t i : order)
        sorted.push_back(std::move(rows_[i]));
    rows_ = std::move(sorted);
}

bool DirListModel::addThumbnail(uint32_t generation, uint32_t id, const QImage& image, Timg* img) {
    const int r = rowOf(id);
    if (generation != generation_ || r < 0 || image.isNull() ||
        rows_[static_cast<size_t>(r)].entry.picIndex >= 0)
        return false;
    const auto pic = static_cast<int32_t>(thumbnails_.size());
    thumbnails_.push_back(image);
    rows_[static_cast<size_t>(r)].entry.picIndex = pic;
    if (img)
        if (Node* n = img->nodeFor(id))
            n->entry.picIndex = pic;
    emit dataChanged(index(r, kName), index(r, kName), {ThumbnailRole, Qt::DecorationRole});
    return true;
}

QString DirListModel::cellText(int row, int column) const {
    const ListRow& r = rows_[static_cast<size_t>(row)];
    switch (column) {
    case kName:
        return utf8(r.text);
    case kUid:
        return QString::number(r.shown().uid);
    case kGid:
        return QString::number(r.shown().gid);
    case kPermissions:
        return utf8(permissiontext(r.shown().mode));
    case kType:
        return coreText(listtypetext(r.entry, r.childCount, r.linkName));
    case kSize:
        return utf8(listsizetext(r.shown()));
    case kLabel:
        return utf8(securityLabel(r.shown()));
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
        return index.column() == kName || index.column() == kType || index.column() == kLabel
                   ? cellText(index.row(), index.column())
                   : QVariant();
    case Qt::DecorationRole:
        if (index.column() == kName)
            return r.entry.objType == kTypeSymlink
                       ? icons_.linkIconFor(r.text)
                       : icons_.iconFor(r.text, r.entry.objType == kTypeDirectory);
        return {};
    case Qt::TextAlignmentRole:
        if (index.column() == kUid || index.column() == kGid || index.column() == kSize)
            return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
        return {};
    case ObjIdRole:
        return static_cast<uint>(r.entry.objId);
    case ThumbnailRole:
        if (r.entry.picIndex >= 0 && static_cast<size_t>(r.entry.picIndex) < thumbnails_.size())
            return thumbnails_[static_cast<size_t>(r.entry.picIndex)];
        return {};
    case FolderRole:
        return r.entry.objType == kTypeDirectory;
    case SymlinkRole:
        return r.entry.objType == kTypeSymlink;
    default:
        return {};
    }
}

QVariant DirListModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= kColumnCount)
        return {};
    switch (section) {
    case kName:
        return tx(kColumnName);
    case kUid:
        return QStringLiteral("UID");
    case kGid:
        return QStringLiteral("GID");
    case kPermissions:
        return tx(kColumnPermissions);
    case kType:
        return tx(kColumnType);
    case kSize:
        return tx(kColumnSize);
    default:
        return tx(kColumnLabel);
    }
}

Qt::ItemFlags DirListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

} // namespace korvane::ui
