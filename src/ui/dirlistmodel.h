// The list of one directory's children: a private copy of each child's entry,
// taken when the directory is listed (and renewed for edited rows), so the
// list never reads the tree while a job changes it. Texts are made on demand.
// A filter narrows the rows shown to the names that match it; rows are the
// rows shown. It keeps the thumbnails of the listing and the generation
// counter that tells a thumbnail worker's results for this listing from
// outdated ones.
#pragma once

#include "model/entry.h"
#include "model/node.h"
#include "model/timg.h"

#include <QAbstractTableModel>
#include <QImage>
#include <QList>
#include <QStringList>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class QMimeData;

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
    enum Column { kName, kUid, kGid, kPermissions, kType, kSize, kTime, kLabel, kColumnCount };
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
    // sort(), through the filter; starts a new generation with no thumbnails.
    void fill(const Node& dir, const Timg& img);
    // Shows only the rows whose name matches text: a part of the name, or a
    // pattern with * and ? for the whole name; case-blind. Empty shows all.
    void setFilter(const QString& text);
    const QString& filter() const { return filter_; }
    // Rows listed, shown or not.
    int listedRows() const { return static_cast<int>(all_.size()); }
    void clear();
    // Renews a row's copy, name and texts from its node.
    void refreshRow(int row, const Node& node, const Timg& img);
    // Removes the rows (ascending, no repeats): by contiguous runs, or all at
    // once when they are scattered.
    void removeRows(const QList<int>& rows);

    const ListRow& row(int r) const { return all_[shown_[static_cast<size_t>(r)]]; }
    int rows() const { return static_cast<int>(shown_.size()); }
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
    // Dragging rows out: the data of the drag (see setDragData).
    QStringList mimeTypes() const override;
    QMimeData* mimeData(const QModelIndexList& indexes) const override;
    Qt::DropActions supportedDragActions() const override { return Qt::CopyAction; }
    // Makes the data of a drag of the objects ids; none: rows cannot be
    // dragged.
    void setDragData(std::function<QMimeData*(const std::vector<uint32_t>& ids)> make) {
        dragData_ = std::move(make);
    }

private:
    static ListRow makeRow(const Node& node, const Timg& img);
    ListRow& at(int r) { return all_[shown_[static_cast<size_t>(r)]]; }
    void sortRows();
    // shown_ and the index from the filter; narrowing: only the rows shown
    // so far can match.
    void applyFilter(bool narrowing = false);
    void reindex();

    IconProvider& icons_;
    std::vector<ListRow> all_;
    std::vector<size_t> shown_; // rows of all_ shown, in order
    QString filter_;
    // The names folded for the filter, made on its first use in a listing.
    std::vector<QString> keys_;
    std::function<QMimeData*(const std::vector<uint32_t>&)> dragData_;
    std::unordered_map<uint32_t, int> byId_;
    int sortColumn_ = -1;
    Qt::SortOrder sortOrder_ = Qt::AscendingOrder;
    uint32_t generation_ = 0;
    std::vector<QImage> thumbnails_;
};

// A size for the list and the status bar: bytes below 1 KiB ("512 B"), else
// KiB, MiB, GiB or TiB with three significant digits ("1.50 KiB", "15.2 MiB").
QString unitSizeText(uint64_t bytes);
// A size in bytes with groups of digits ("5,000,000 bytes").
QString exactSizeText(uint64_t bytes);
// A modification time for the list: date and minutes, local time.
QString listTimeText(int64_t seconds);

// Name order of the list's sort: case-blind, runs of digits by their value.
int naturalCompare(std::string_view a, std::string_view b);

// The security label (security.selinux) of an entry, "" when it has none.
std::string securityLabel(const TImgEntry& e);

} // namespace korvane::ui
