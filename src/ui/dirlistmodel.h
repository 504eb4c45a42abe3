// The list of one directory's children: a private copy of each child's entry,
// taken when the directory is listed (and renewed for edited rows), so the
// list never reads the tree while a job changes it. Texts are made on demand.
// It keeps the thumbnails of the listing and the generation counter that
// tells a thumbnail worker's results for this listing from outdated ones.
#pragma once

#include "model/entry.h"
#include "model/node.h"
#include "model/timg.h"

#include <QAbstractTableModel>
#include <QImage>
#include <QList>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace korvane::ui {

class IconProvider;

struct ListRow {
    std::string text; // the node's name (the image's bytes)
    TImgEntry entry;  // copy of the node's entry
    size_t childCount = 0;
    std::string linkName; // the name a hard link points to
    // A hard link: a copy of the entry of the object it links to.
    std::optional<TImgEntry> target;

    // Whose owner, mode, size and label the row shows: the entry itself, or
    // for a hard link the object it links to.
    const TImgEntry& shown() const { return target ? *target : entry; }
};

class DirListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kName, kUid, kGid, kPermissions, kType, kSize, kLabel, kColumnCount };
    // The object id of a row.
    static constexpr int ObjIdRole = Qt::UserRole + 1;
    // The row's thumbnail (a 97 x 97 QImage), null when it has none.
    static constexpr int ThumbnailRole = Qt::UserRole + 2;
    // Whether the row's object is a folder.
    static constexpr int FolderRole = Qt::UserRole + 3;
    // Whether the row is a symbolic link (its icon gets the link emblem).
    static constexpr int SymlinkRole = Qt::UserRole + 4;

    explicit DirListModel(IconProvider& icons, QObject* parent = nullptr);

    // Lists the children of dir, in the tree's order or the order chosen with
    // sort(); starts a new generation with no thumbnails.
    void fill(const Node& dir, const Timg& img);
    void clear();
    // Renews a row's copy, name and texts from its node.
    void refreshRow(int row, const Node& node, const Timg& img);
    // Removes the rows (ascending, no repeats): by contiguous runs, or all at
    // once when they are scattered.
    void removeRows(const QList<int>& rows);

    const ListRow& row(int r) const { return rows_[static_cast<size_t>(r)]; }
    int rows() const { return static_cast<int>(rows_.size()); }
    // The row of object id, or -1.
    int rowOf(uint32_t id) const;
    // The text a cell shows.
    QString cellText(int row, int column) const;
    // Whether any row has a security label.
    bool hasLabels() const;

    // Sorts by a column: names in natural order (file2 before file10),
    // numbers as numbers, texts as texts; folders stay first. column -1
    // brings back the tree's order at the next fill.
    void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
    int sortColumn() const { return sortColumn_; }
    Qt::SortOrder sortOrder() const { return sortOrder_; }

    // Thumbnails. The generation changes with every listing and with
    // bumpGeneration() (a switch to the thumbnail view, an edit).
    uint32_t generation() const { return generation_; }
    void bumpGeneration() { ++generation_; }
    // Stores the thumbnail of object id when generation is current, sets the
    // row's and the node's picIndex and repaints the row; returns false (and
    // keeps nothing) for an outdated generation or an id no longer listed.
    bool addThumbnail(uint32_t generation, uint32_t id, const QImage& image, Timg* img);
    int thumbnailCount() const { return static_cast<int>(thumbnails_.size()); }

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    static ListRow makeRow(const Node& node, const Timg& img);
    void sortRows();
    void reindex();

    IconProvider& icons_;
    std::vector<ListRow> rows_;
    std::unordered_map<uint32_t, int> byId_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    uint32_t generation_ = 0;
    std::vector<QImage> thumbnails_;
};

// Name order of the list's sort: case-blind, runs of digits by their value.
int naturalCompare(std::string_view a, std::string_view b);

// The security label (security.selinux) of an entry, "" when it has none.
std::string securityLabel(const TImgEntry& e);

} // namespace korvane::ui
