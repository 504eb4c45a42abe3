// "与…比较": the tree of the browsed image beside another image or a folder,
// each object marked added, removed or changed (with what changed), and a
// filter that shows only the differences and the folders that lead to them.
#pragma once

#include "transfer/diff.h"

#include <QAbstractItemModel>
#include <QDialog>
#include <string>
#include <unordered_map>
#include <vector>

class QCheckBox;
class QLabel;
class QTreeView;

namespace korvane::ui {

class IconProvider;

class CompareModel : public QAbstractItemModel {
    Q_OBJECT
public:
    enum Column { kName, kState, kWhat, kSize, kColumnCount };
    enum State : uint8_t { kSame, kAdded, kRemoved, kChanged };

    explicit CompareModel(IconProvider& icons, QObject* parent = nullptr);

    // The tree of a with every object the same, then the differences put in.
    void build(const Timg& a, const std::vector<DiffEntry>& differences);
    void setOnlyDifferences(bool on);
    bool onlyDifferences() const { return onlyDifferences_; }
    // The state of the object at path ("/etc/hosts"); kSame for paths not in
    // the tree either.
    State stateOf(const std::string& path) const;
    // The path of an index, and the object id it has in a (0: none).
    std::string pathOf(const QModelIndex& index) const;
    uint32_t idInA(const QModelIndex& index) const;
    // Whether differences lie below the object of index.
    bool differsBelow(const QModelIndex& index) const;
    // Rows shown under parent.
    int shownRows(const QModelIndex& parent = {}) const { return rowCount(parent); }

    QModelIndex index(int row, int column, const QModelIndex& parent = {}) const override;
    QModelIndex parent(const QModelIndex& child) const override;
    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    struct Item {
        std::string name;
        int parent = -1;
        std::vector<int> children;
        std::vector<int> shown; // the children shown under the filter
        State state = kSame;
        uint16_t what = 0;
        uint8_t type = 0;
        uint64_t sizeA = 0;
        uint64_t sizeB = 0;
        uint32_t idA = 0;
        bool differsBelow = false;
    };
    int add(int parent, const std::string& name, const TImgEntry& e, bool inA);
    int find(const std::string& path);
    void refilter();
    int itemOf(const QModelIndex& index) const;

    IconProvider& icons_;
    std::vector<Item> items_;
    // Child indexes by name, made for the folders differences were put in.
    std::unordered_map<int, std::unordered_map<std::string, int>> names_;
    bool onlyDifferences_ = true;
};

class CompareWindow : public QDialog {
    Q_OBJECT
public:
    CompareWindow(IconProvider& icons, QWidget* parent = nullptr);

    // Shows the comparison of the image a (named aName) with bName.
    void showComparison(const Timg& a, const QString& aName, const QString& bName,
                        const std::vector<DiffEntry>& differences, const DiffSummary& summary);
    CompareModel* model() const { return model_; }
    QCheckBox* onlyDifferencesBox() const { return only_; }
    QString summaryText() const;

signals:
    // An object of a was double clicked: the window closes, the main window
    // shows it.
    void objectChosen(uint32_t id);

private:
    void expandDifferences();

    CompareModel* model_;
    QLabel* summary_;
    QCheckBox* only_;
    QTreeView* view_;
};

} // namespace korvane::ui
