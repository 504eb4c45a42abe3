// The list of one directory's children: a private copy of each child's entry,
// taken when the directory is listed (and renewed for edited rows), so the
// list never reads the tree while a job changes it. Texts are made on demand.
#pragma once

#include "model/entry.h"
#include "model/node.h"
#include "model/timg.h"

#include <QAbstractTableModel>
#include <QList>
#include <string>
#include <vector>

namespace korvane::ui {

class IconProvider;

struct ListRow {
    std::string text; // the node's name (the image's bytes)
    TImgEntry entry;  // copy of the node's entry
    size_t childCount = 0;
    std::string linkName; // the name a hard link points to
};

class DirListModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kName, kUid, kGid, kPermissions, kType, kSize, kColumnCount };
    // The object id of a row (for ObjIdRole).
    static constexpr int ObjIdRole = Qt::UserRole + 1;

    explicit DirListModel(IconProvider& icons, QObject* parent = nullptr);

    // Lists the children of dir, in the tree's order.
    void fill(const Node& dir, const Timg& img);
    void clear();
    // Renews a row's copy, name and texts from its node.
    void refreshRow(int row, const Node& node);
    // Removes the rows (ascending, no repeats): by contiguous runs, or all at
    // once when they are scattered.
    void removeRows(const QList<int>& rows);

    const ListRow& row(int r) const { return rows_[static_cast<size_t>(r)]; }
    int rows() const { return static_cast<int>(rows_.size()); }
    // The text a cell shows.
    QString cellText(int row, int column) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex& index) const override;

private:
    static ListRow makeRow(const Node& node, const Timg& img);

    IconProvider& icons_;
    std::vector<ListRow> rows_;
};

} // namespace korvane::ui
