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
    bool container = false;     // the listed image is a container of members
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

    // Toolbars.
    QAction* newImage;
    QAction* open;
    QAction* openAs; // "打开方式": an image file read as the format picked
    QAction* extractTop;
    QAction* exportAllTop;
    QAction* saveAs;
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
    QAction* openAsItem; // "打开方式": the selected file opened as an image in place
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

private:
    QMenu* popup_;
    QMenu* viewMenu_;
    QActionGroup* viewGroup_;
};

} // namespace korvane::ui
