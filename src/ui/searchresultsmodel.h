// The hits of a whole-image search: each object's name, the folder it is in,
// its type and size, copied when the search ran (the tree may change after).
#pragma once

#include "model/entry.h"
#include "model/node.h"

#include <QAbstractTableModel>
#include <string>
#include <vector>

namespace korvane {
class Timg;
}

namespace korvane::ui {

class IconProvider;

// An object found and its path in the image ("/system/app/x.apk").
struct SearchHit {
    const Node* node;
    std::string path;
};

class SearchResultsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    enum Column { kName, kFolder, kType, kSize, kColumnCount };

    explicit SearchResultsModel(IconProvider& icons, QObject* parent = nullptr);

    void setHits(const std::vector<SearchHit>& hits, const QString& pattern);
    void clear();
    const QString& pattern() const { return pattern_; }
    int rows() const { return static_cast<int>(hits_.size()); }
    uint32_t idAt(int row) const { return hits_[static_cast<size_t>(row)].entry.objId; }
    // The hit's path in the image ("/system/app/x.apk").
    QString pathAt(int row) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Hit {
        std::string name;
        std::string folder;
        TImgEntry entry;
        size_t childCount = 0;
    };
    IconProvider& icons_;
    std::vector<Hit> hits_;
    QString pattern_;
};

} // namespace korvane::ui
