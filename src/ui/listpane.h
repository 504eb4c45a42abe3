// The right side of the main window: the list toolbar, the path box, the
// listed folder as icons, as a detail list or as thumbnails, and the line
// naming the open image. It shows what the window gives it and tells the
// window what the user did; the window decides what that means.
#pragma once

#include <QList>
#include <QWidget>

class QAbstractItemView;
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

class ListPane : public QWidget {
    Q_OBJECT
public:
    enum class View { kIcons, kDetails, kThumbnails };

    ListPane(DirListModel* model, MainActions* actions, QWidget* parent);

    QListView* iconView() const { return iconView_; }
    QTreeView* detailView() const { return detailView_; }
    QLineEdit* pathBox() const { return pathBox_; }
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

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildViews();
    void sortByColumn(int column);

    DirListModel* model_;
    MainActions* actions_;
    View view_ = View::kIcons;
    QToolBar* listToolBar_ = nullptr;
    QLineEdit* pathBox_ = nullptr;
    QStackedWidget* stack_ = nullptr;
    QListView* iconView_ = nullptr;
    QTreeView* detailView_ = nullptr;
    IconDelegate* iconDelegate_ = nullptr;
    QLabel* imageStatus_ = nullptr;
};

} // namespace korvane::ui
