// Listing and moving about the browsed image: which folder the list shows
// (filllist), the folder tree following it, the path box, the selection and
// its summary in the status bar, the views and the thumbnails they ask for,
// going up, to a typed path, to a link's target or to any object, the filter
// over the list and the search of the whole image.
#pragma once

#include "listpane.h"

#include <QList>
#include <QObject>
#include <QString>
#include <cstdint>
#include <vector>

class QModelIndex;
class QTimer;

namespace korvane {
struct Node;
}

namespace korvane::ui {

class MainWindow;
class SearchResultsModel;

class Navigator : public QObject {
    Q_OBJECT
public:
    explicit Navigator(MainWindow& window);

    // Connects the list pane's and the folder tree's signals.
    void connectViews();

    // The object id of the listed folder; 0 when nothing is listed.
    uint32_t listedId() const { return listedId_; }
    Node* listedNode() const;
    std::vector<uint32_t> selectedIds() const;

    // Lists node; selects the row of object selectId when it is listed.
    void filllist(Node* node, uint32_t selectId = 0);
    // Outlines the folder tree anew, collapsed to the root and the folders
    // down to keepVisible.
    void refreshTree(Node* keepVisible);
    // Forgets the listing of the image that goes.
    void clearListing();
    void showListedPath();
    // Renews the rows from the tree and selects them again.
    void reselectlist(const QList<int>& rows);
    void onListSelectionChanged();
    void followInTree(Node* node);

    // Opens the selected folder; the selected member of a container (or a
    // file of one) as an image in place; a file of a filesystem in the
    // viewer.
    void openSelected();
    void goUp();
    void goToPath(const QString& typed);
    void refresh();
    void setView(ListPane::View view);
    void startThumbnails();
    // The target of the selected symbolic link, selected in its folder.
    void goToLinkTarget();
    // Lists the folder that holds object id with it selected (a folder of
    // the root: the root).
    void goToObject(uint32_t id);

    // The filter box: narrows the listed folder.
    void setFilter(const QString& text);
    // Searches the whole image for pattern and shows the hits.
    void searchImage(const QString& pattern);
    // The object of hit row, in its folder.
    void showHit(int row);
    SearchResultsModel* results() const { return results_; }

    // Around removing objects from the tree and the list, and after a rename.
    void beginRemoval();
    void endRemoval();
    void renamed();

signals:
    // A directory was listed.
    void listFilled();

private:
    void onFolderSelected(const QModelIndex& index);
    QString chainPrefix() const;

    MainWindow& w_;
    uint32_t listedId_ = 0;
    QList<int> selectedlist_;
    // Off while the window itself moves the tree's selection.
    bool listingFromTree_ = true;
    QTimer* thumbnailTimer_;
    SearchResultsModel* results_;
};

} // namespace korvane::ui
