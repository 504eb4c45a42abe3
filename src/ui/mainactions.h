// The main window's commands: the actions of the toolbars, of the view menu
// and of the list's popup menu, their keys, and which of them are enabled
// for what is open, listed and selected. The window connects them to its
// slots and hosts them.
#pragma once

#include <QObject>

class QAction;
class QActionGroup;
class QMenu;
class QWidget;

namespace korvane::ui {

// What the commands depend on.
struct ActionState {
    bool busy = false;          // a job runs
    bool listed = false;        // an image is open and a folder listed
    int selected = 0;           // selected rows
    bool firstIsFolder = false; // the first selected row is a folder
    bool firstIsFile = false;   // the first selected row is a regular file
    bool firstIsLink = false;   // the first selected row is a symbolic link
    bool container = false;     // the listed image is a container of members
    bool canUndo = false;       // an edit can be taken back
    bool canRedo = false;       // an edit taken back can be made again
};

class MainActions : public QObject {
    Q_OBJECT
public:
    // The window keys (Ctrl+O, Ctrl+S, F5, Alt+Up) work anywhere in window;
    // the list's keys (F2, Delete, Backspace) in the views added with
    // addListView().
    explicit MainActions(QWidget* window);

    void addListView(QWidget* view);
    // Enables the commands for state.
    void update(const ActionState& state);
    // The popup menu, as update() left it.
    QMenu* popup() const { return popup_; }
    QMenu* viewMenu() const { return viewMenu_; }
    // The popup's "打开方式": the formats a file can be read as (each
    // action's data is the registry name), then "其它应用程序…".
    QMenu* openAsMenu() const { return openAsMenu_; }
    // The images opened last, under " 打 开 ".
    QMenu* recentMenu() const { return recentMenu_; }
    void setRecentImages(const QStringList& paths);

    // Toolbars.
    QAction* newImage;
    QAction* open;
    QAction* openAs; // "打开方式": an image file read as the format picked
    QAction* extractTop;
    QAction* exportAllTop;
    QAction* saveAs;
    QAction* undo;
    QAction* redo;
    QAction* imageInfo; // "镜像信息"
    QAction* compare;   // "与…比较"
    QAction* find;      // Ctrl+F: the filter box
    QAction* up;
    QAction* upFromList; // Backspace in the list
    QAction* extractList;
    QAction* exportAllList;
    // View menu.
    QAction* thumbnails;
    QAction* icons;
    QAction* details;
    // Popup menu.
    QAction* openItem;
    QAction* openAsItem;  // "打开方式": the submenu of formats and "其它应用程序…"
    QAction* openWithApp; // "其它应用程序…": a copy opened by the desktop's application
    QAction* goToTarget;  // "转到链接目标"
    QAction* viewItem;
    QAction* extractItem;
    QAction* exportAllItem;
    QAction* exportTarItem; // "导出为 tar 归档"
    QAction* newDir;
    QAction* addFiles;
    QAction* remove;
    QAction* refresh;
    QAction* rename;
    QAction* permissions;
    QAction* uid;
    QAction* gid;
    QAction* properties;

signals:
    // A format of "打开方式" was picked (its registry name).
    void openAsFormat(const QString& format);
    // An image of the recent list was picked.
    void openRecent(const QString& path);

private:
    QMenu* popup_;
    QMenu* viewMenu_;
    QMenu* openAsMenu_;
    QMenu* recentMenu_;
    QActionGroup* viewGroup_;
};

} // namespace korvane::ui
