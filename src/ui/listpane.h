// The right side of the main window: the list toolbar, the path box, the
// filter box with the search of the whole image, the listed folder as icons,
// as a detail list or as thumbnails (or the hits of a search), and the line
// naming the open image. It shows what the window gives it and tells the
// window what the user did; the window decides what that means.
#pragma once

#include <QList>
#include <QWidget>

class QAbstractItemView;
class QAction;
class QLayout;
class QLabel;
class QLineEdit;
class QListView;
class QStackedWidget;
class QToolBar;
class QTreeView;

namespace korvane::ui {

class DirListModel;
class IconDelegate;
class MainActions;
class SearchResultsModel;

class ListPane : public QWidget {
    Q_OBJECT
public:
    enum class View { kIcons, kDetails, kThumbnails };

    ListPane(DirListModel* model, SearchResultsModel* results, MainActions* actions,
             QWidget* parent);

    QListView* iconView() const { return iconView_; }
    QTreeView* detailView() const { return detailView_; }
    QLineEdit* pathBox() const { return pathBox_; }
    QLineEdit* filterBox() const { return filterBox_; }
    QTreeView* resultsView() const { return resultsView_; }
    // Whether search hits are shown instead of the folder.
    bool resultsShown() const;
    void showResults(bool on);
    bool caseSensitive() const;
    QLabel* imageStatus() const { return imageStatus_; }
    QAbstractItemView* currentListView() const;
    View view() const { return view_; }
    void setView(View view);

    // Rows selected in the list, in list order.
    QList<int> selectedRows() const;
    void selectRows(const QList<int>& rows);
    // The row of the list at the top left of the icon view (the first in
    // sight), 0 when none.
    int firstVisibleRow() const;

    QByteArray headerState() const;
    void restoreHeaderState(const QByteArray& state);
    // Shows the label column (images with SELinux labels).
    void showLabelColumn();
    // Widens the label column to the labels listed.
    void fitLabelColumn();

signals:
    // Enter or a double click on a row.
    void activated();
    void popupRequested(const QPoint& globalPos);
    void selectionChanged();
    // The user typed a path and pressed Enter.
    void pathEntered(const QString& path);
    // Leaving the path box without Enter: it should show the listed path again.
    void pathAbandoned();
    // The icon view scrolled (thumbnails in sight may be wanted).
    void scrolled();
    // The list was sorted by a column.
    void sorted();
    // The filter box's text changed.
    void filterChanged(const QString& text);
    // Enter in the filter box or "在整个镜像中查找".
    void searchRequested(const QString& pattern);
    // A hit of the search was opened (double click, Enter).
    void hitActivated(int row);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildViews();
    void buildResultsView();
    void buildFilter(QLayout* bar);
    void sortByColumn(int column);

    DirListModel* model_;
    MainActions* actions_;
    View view_ = View::kIcons;
    QToolBar* listToolBar_ = nullptr;
    QLineEdit* pathBox_ = nullptr;
    QLineEdit* filterBox_ = nullptr;
    QAction* caseAction_ = nullptr;
    SearchResultsModel* results_;
    QTreeView* resultsView_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QListView* iconView_ = nullptr;
    QTreeView* detailView_ = nullptr;
    IconDelegate* iconDelegate_ = nullptr;
    QLabel* imageStatus_ = nullptr;
};

} // namespace korvane::ui
