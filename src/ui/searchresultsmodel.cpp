#include "searchresultsmodel.h"

#include "dirlistmodel.h"
#include "iconprovider.h"
#include "language.h"
#include "model/texts.h"
#include "uitexts.h"

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

} // namespace

SearchResultsModel::SearchResultsModel(IconProvider& icons, QObject* parent)
    : QAbstractTableModel(parent), icons_(icons) {}

void SearchResultsModel::setHits(const std::vector<SearchHit>& hits, const QString& pattern) {
    beginResetModel();
    pattern_ = pattern;
    hits_.clear();
    hits_.reserve(hits.size());
    for (const SearchHit& h : hits) {
        const size_t slash = h.path.rfind('/');
        const std::string folder =
            slash == 0 || slash == std::string::npos ? "/" : h.path.substr(0, slash);
        hits_.push_back({h.node->text, folder, h.node->entry, h.node->children.size()});
    }
    endResetModel();
}

void SearchResultsModel::clear() {
    beginResetModel();
    hits_.clear();
    pattern_.clear();
    endResetModel();
}

QString SearchResultsModel::pathAt(int row) const {
    const Hit& h = hits_[static_cast<size_t>(row)];
    return utf8(h.folder == "/" ? h.folder + h.name : h.folder + "/" + h.name);
}

int SearchResultsModel::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : rows();
}

int SearchResultsModel::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : kColumnCount;
}

QVariant SearchResultsModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= rows())
        return {};
    const Hit& h = hits_[static_cast<size_t>(index.row())];
    const bool file = h.entry.objType == kTypeFile;
    if (role == Qt::DisplayRole || role == Qt::ToolTipRole) {
        switch (index.column()) {
        case kName:
            return role == Qt::ToolTipRole ? pathAt(index.row()) : utf8(h.name);
        case kFolder:
            return utf8(h.folder);
        case kType:
            return coreText(listtypetext(h.entry, h.childCount, {}));
        case kSize:
            if (!file)
                return {};
            return role == Qt::ToolTipRole ? exactSizeText(h.entry.size)
                                           : unitSizeText(h.entry.size);
        default:
            return {};
        }
    }
    if (role == Qt::DecorationRole && index.column() == kName)
        return h.entry.objType == kTypeSymlink
                   ? icons_.linkIconFor(h.name)
                   : icons_.iconFor(h.name, h.entry.objType == kTypeDirectory);
    if (role == Qt::TextAlignmentRole && index.column() == kSize)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
    return {};
}

QVariant SearchResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case kName:
        return tx(kColumnName);
    case kFolder:
        return tx(kColumnFolder);
    case kType:
        return tx(kColumnType);
    case kSize:
        return tx(kColumnSize);
    default:
        return {};
    }
}

} // namespace korvane::ui
