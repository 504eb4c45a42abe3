// The edit commands of the list's popup menu: new folder, delete, rename,
// permissions, UID and GID. They ask through the window's prompter, change
// the tree through korvane_core, and tell the window what to show again.
#pragma once

#include "model/node.h"
#include "model/timg.h"

#include <QList>
#include <QObject>

class QWidget;

namespace korvane::ui {

class DirListModel;
class FolderTreeModel;
class Prompter;

// What the edit commands need of the window that hosts them.
class EditHost {
public:
    virtual ~EditHost() = default;
    // The image when an edit may run now (no job), else null.
    virtual Timg* editableImage() const = 0;
    virtual Node* listedFolder() const = 0;
    virtual QList<int> selectedRows() const = 0;
    virtual DirListModel* listModel() const = 0;
    virtual FolderTreeModel* folderModel() const = 0;
    virtual Prompter& prompter() = 0;
    virtual QWidget* dialogParent() = 0;
    // Shows dir anew (tree and list) with the object selectId selected.
    virtual void relist(Node* dir, uint32_t selectId) = 0;
    // Renews the rows from the tree and selects them again.
    virtual void reselect(const QList<int>& rows) = 0;
    // Around removing objects from the tree and the list.
    virtual void beginRemoval() = 0;
    virtual void endRemoval() = 0;
    // After object id was renamed in the tree and the list.
    virtual void renamed(uint32_t id) = 0;
};

class EditCommands : public QObject {
    Q_OBJECT
public:
    explicit EditCommands(EditHost& host, QObject* parent = nullptr);

public slots:
    void newDirectory();
    void deleteSelected();
    void renameSelected();
    void changePermissions();
    void changeUid();
    void changeGid();

private:
    // which: 0 UID, 1 GID.
    void changeIds(const char* caption, const char* prompt, int which);
    std::vector<uint32_t> selectedIds() const;
    void message(const QString& text);

    EditHost& host_;
};

} // namespace korvane::ui
