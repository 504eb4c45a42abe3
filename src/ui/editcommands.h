// The edit commands of the list's popup menu: new folder, delete, rename,
// permissions, UID and GID, and undo and redo of every edit (adding files
// too). They ask through the window's prompter, change the tree through the
// edit journal of the image (one per image of the chain), and tell the
// window what to show again.
#pragma once

#include "model/node.h"
#include "model/timg.h"
#include "transfer/undo.h"

#include <QList>
#include <QObject>
#include <memory>
#include <vector>

class QWidget;

namespace korvane {
class ImageChain;
}

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

    // After the chain of images changed: a journal for each image (fresh
    // ones for all when restart, as after opening or saving).
    void imagesChanged(const ImageChain& chain, bool restart);
    // The journal of the image browsed (the top of the chain).
    EditJournal& journal();
    bool canUndo() const;
    bool canRedo() const;

public slots:
    void newDirectory();
    void deleteSelected();
    void renameSelected();
    void changePermissions();
    void changeUid();
    void changeGid();
    // Ctrl+Z and Ctrl+Shift+Z: the last edit taken back or made again, shown
    // in its folder.
    void undo();
    void redo();

private:
    // which: 0 UID, 1 GID.
    void changeIds(const char* caption, const char* prompt, int which);
    std::vector<uint32_t> selectedIds() const;
    void message(const QString& text);

    void show(Timg& img, const std::optional<EditJournal::Place>& place);

    EditHost& host_;
    std::vector<std::unique_ptr<EditJournal>> journals_;
};

} // namespace korvane::ui
