#include "dirlistmodel.h"

#include "iconprovider.h"
#include "language.h"
#include "model/texts.h"
#include "uitexts.h"

#include <QDateTime>
#include <QLocale>
#include <QRegularExpression>
#include <algorithm>
#include <cctype>
#include <iterator>
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

QString unitSizeText(uint64_t bytes) {
    if (bytes < 1024)
        return QString::number(bytes) + " B";
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024.0;
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(kUnits)) {
        value /= 1024.0;
        ++unit;
    }
    // Three significant digits; 1023.9 KiB stays in KiB.
    const int decimals = value < 10 ? 2 : value < 100 ? 1 : 0;
    return QLocale::c().toString(value, 'f', decimals) + " " + kUnits[unit];
}

QString exactSizeText(uint64_t bytes) {
    return txn(kExactBytes, bytes == 1 ? 1 : 2)
        .arg(QLocale().toString(static_cast<qulonglong>(bytes)));
}

QString listTimeText(int64_t seconds) {
    return QDateTime::fromSecsSinceEpoch(seconds).toLocalTime().toString("yyyy-MM-dd HH:mm");
}

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
    all_.clear();
    keys_.clear();
    all_.reserve(dir.children.size());
    for (const auto& child : dir.children) {
        all_.push_back(makeRow(*child, img));
        all_.back().entry.picIndex = -1;
    }
    sortRows();
    applyFilter();
    endResetModel();
}

void DirListModel::clear() {
    beginResetModel();
    ++generation_;
    thumbnails_.clear();
    all_.clear();
    keys_.clear();
    shown_.clear();
    byId_.clear();
    endResetModel();
}

void DirListModel::setFilter(const QString& text) {
    if (text == filter_)
        return;
    // A longer part of a name can only match rows that match now.
    const bool narrowing = !filter_.isEmpty() && text.startsWith(filter_) && !text.contains('*') &&
                           !text.contains('?');
    filter_ = text;
    beginResetModel();
    applyFilter(narrowing);
    endResetModel();
}

void DirListModel::applyFilter(bool narrowing) {
    if (filter_.isEmpty()) {
        shown_.resize(all_.size());
        std::iota(shown_.begin(), shown_.end(), size_t{0});
        reindex();
        return;
    }
    if (keys_.size() != all_.size()) {
        keys_.clear();
        keys_.reserve(all_.size());
        for (const ListRow& r : all_)
            keys_.push_back(utf8(r.text).toCaseFolded());
        narrowing = false;
    }
    std::vector<size_t> candidates;
    if (narrowing) {
        candidates = std::move(shown_);
    } else {
        candidates.resize(all_.size());
        std::iota(candidates.begin(), candidates.end(), size_t{0});
    }
    shown_.clear();
    if (filter_.contains('*') || filter_.contains('?')) {
        const QRegularExpression pattern(
            QRegularExpression::wildcardToRegularExpression(
                filter_.toCaseFolded(), QRegularExpression::UnanchoredWildcardConversion),
            QRegularExpression::CaseInsensitiveOption);
        const QRegularExpression whole(QRegularExpression::anchoredPattern(pattern.pattern()),
                                       QRegularExpression::CaseInsensitiveOption);
        for (size_t i : candidates)
            if (whole.match(keys_[i]).hasMatch())
                shown_.push_back(i);
    } else {
        const QString part = filter_.toCaseFolded();
        for (size_t i : candidates)
            if (keys_[i].contains(part))
                shown_.push_back(i);
    }
    reindex();
}

void DirListModel::refreshRow(int row, const Node& node, const Timg& img) {
    if (row < 0 || row >= rows())
        return;
    ListRow& r = at(row);
    const int32_t pic = r.entry.picIndex;
    const size_t children = r.childCount;
    r = makeRow(node, img);
    r.childCount = children;
    r.entry.picIndex = pic;
    if (keys_.size() == all_.size())
        keys_[shown_[static_cast<size_t>(row)]] = utf8(r.text).toCaseFolded();
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
    // The objects of the rows go from the listing too.
    std::vector<bool> gone(all_.size(), false);
    for (const auto& [first, last] : runs)
        for (int r = first; r <= last; ++r)
            gone[shown_[static_cast<size_t>(r)]] = true;
    auto compact = [&] {
        std::vector<size_t> newIndex(all_.size(), 0);
        const bool keyed = keys_.size() == all_.size();
        size_t kept = 0;
        for (size_t i = 0; i < all_.size(); ++i) {
            newIndex[i] = kept;
            if (gone[i])
                continue;
            if (kept != i) {
                all_[kept] = std::move(all_[i]);
                if (keyed)
                    keys_[kept] = std::move(keys_[i]);
            }
            ++kept;
        }
        all_.resize(kept);
        if (keyed)
            keys_.resize(kept);
        std::vector<size_t> shown;
        shown.reserve(shown_.size());
        for (size_t i : shown_)
            if (!gone[i])
                shown.push_back(newIndex[i]);
        shown_ = std::move(shown);
        reindex();
    };
    constexpr size_t kManyRuns = 64;
    if (runs.size() > kManyRuns) {
        beginResetModel();
        compact();
        endResetModel();
        return;
    }
    for (const auto& [first, last] : runs) {
        beginRemoveRows({}, first, last);
        shown_.erase(shown_.begin() + first, shown_.begin() + last + 1);
        endRemoveRows();
    }
    compact();
}

int DirListModel::rowOf(uint32_t id) const {
    auto it = byId_.find(id);
    return it == byId_.end() ? -1 : it->second;
}

void DirListModel::reindex() {
    byId_.clear();
    byId_.reserve(shown_.size());
    for (size_t i = 0; i < shown_.size(); ++i)
        byId_.emplace(all_[shown_[i]].entry.objId, static_cast<int>(i));
}

bool DirListModel::hasLabels() const {
    return std::any_of(all_.begin(), all_.end(),
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
        ids.push_back(row(i.row()).entry.objId);
    sortRows();
    keys_.clear();
    applyFilter();
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
        texts.reserve(all_.size());
        for (const ListRow& r : all_)
            texts.push_back(
                column == kLabel
                    ? securityLabel(r.shown())
                    : coreText(listtypetext(r.entry, r.childCount, r.linkName)).toStdString());
    }
    std::vector<size_t> order(all_.size());
    std::iota(order.begin(), order.end(), size_t{0});
    auto compare = [&](size_t x, size_t y) {
        const ListRow& a = all_[x];
        const ListRow& b = all_[y];
        switch (column) {
        case kUid:
            return a.shown().uid < b.shown().uid ? -1 : a.shown().uid > b.shown().uid;
        case kGid:
            return a.shown().gid < b.shown().gid ? -1 : a.shown().gid > b.shown().gid;
        case kPermissions: {
            const uint32_t ma = a.shown().mode & 07777, mb = b.shown().mode & 07777;
            return ma < mb ? -1 : ma > mb;
        }
        case kTime: {
            const int64_t ta = a.shown().mtime, tb = b.shown().mtime;
            return ta < tb ? -1 : ta > tb;
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
        const bool fx = all_[x].entry.objType == kTypeDirectory;
        const bool fy = all_[y].entry.objType == kTypeDirectory;
        if (fx != fy)
            return fx; // folders first, in either order
        int c = compare(x, y);
        if (c == 0)
            c = naturalCompare(all_[x].text, all_[y].text);
        return descending ? c > 0 : c < 0;
    });
    std::vector<ListRow> sorted;
    sorted.reserve(all_.size());
    for (size_t i : order)
        sorted.push_back(std::move(all_[i]));
    all_ = std::move(sorted);
}

bool DirListModel::addThumbnail(uint32_t generation, uint32_t id, const QImage& image, Timg* img) {
    const int r = rowOf(id);
    if (generation != generation_ || r < 0 || image.isNull() || row(r).entry.picIndex >= 0)
        return false;
    const auto pic = static_cast<int32_t>(thumbnails_.size());
    thumbnails_.push_back(image);
    at(r).entry.picIndex = pic;
    if (img)
        if (Node* n = img->nodeFor(id))
            n->entry.picIndex = pic;
    emit dataChanged(index(r, kName), index(r, kName), {ThumbnailRole, Qt::DecorationRole});
    return true;
}

QString DirListModel::cellText(int row, int column) const {
    const ListRow& r = this->row(row);
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
        return r.shown().objType == kTypeFile ? unitSizeText(r.shown().size) : QString();
    case kTime:
        return listTimeText(r.shown().mtime);
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
    const ListRow& r = row(index.row());
    switch (role) {
    case Qt::DisplayRole:
        return cellText(index.row(), index.column());
    case Qt::ToolTipRole:
        if (index.column() == kSize)
            return r.shown().objType == kTypeFile ? exactSizeText(r.shown().size) : QVariant();
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
    case kTime:
        return tx(kColumnTime);
    default:
        return tx(kColumnLabel);
    }
}

Qt::ItemFlags DirListModel::flags(const QModelIndex& index) const {
    if (!index.isValid())
        return Qt::NoItemFlags;
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
    if (dragData_)
        f |= Qt::ItemIsDragEnabled;
    return f;
}

QStringList DirListModel::mimeTypes() const {
    return {QStringLiteral("text/uri-list")};
}

QMimeData* DirListModel::mimeData(const QModelIndexList& indexes) const {
    if (!dragData_)
        return nullptr;
    std::vector<uint32_t> ids;
    std::vector<bool> seen(shown_.size(), false);
    for (const QModelIndex& i : indexes)
        if (i.isValid() && i.row() < rows() && !seen[static_cast<size_t>(i.row())]) {
            seen[static_cast<size_t>(i.row())] = true;
            ids.push_back(row(i.row()).entry.objId);
        }
    return ids.empty() ? nullptr : dragData_(ids);
}

} // namespace korvane::ui
