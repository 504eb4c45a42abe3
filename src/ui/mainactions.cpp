#include "mainactions.h"

#include "fs/registry.h"
#include "iconprovider.h"
#include "uitexts.h"

#include <QAction>
#include <QActionGroup>
#include <QMenu>
#include <QWidget>

namespace korvane::ui {

namespace {

QAction* toolAction(QWidget* window, const char* text, const QStringList& icons,
                    QStyle::StandardPixmap fallback, const QKeySequence& key = {}) {
    auto* a = new QAction(IconProvider::themeIcon(icons, fallback, 32), tx(text), window);
    QString tip = tx(text).trimmed();
    if (!key.isEmpty()) {
        a->setShortcut(key);
        a->setShortcutContext(Qt::WindowShortcut);
        tip += " (" + key.toString(QKeySequence::NativeText) + ")";
        window->addAction(a);
    }
    a->setToolTip(tip);
    return a;
}

} // namespace

MainActions::MainActions(QWidget* window) : QObject(window) {
    const QStringList extractIcons = {"archive-extract", "folder-download-symbolic"};
    const QStringList exportIcons = {"document-export", "document-send"};
    newImage =
        toolAction(window, kActionNew, {"document-new"}, QStyle::SP_FileIcon, QKeySequence::New);
    open = toolAction(window, kActionOpen, {"document-open"}, QStyle::SP_DialogOpenButton,
                      QKeySequence::Open);
    openAs = toolAction(window, kActionOpenAs, {"document-open-folder", "document-open"},
                        QStyle::SP_DirOpenIcon);
    extractTop = toolAction(window, kActionExtractSelected, extractIcons, QStyle::SP_ArrowDown);
    exportAllTop = toolAction(window, kActionExportAll, exportIcons, QStyle::SP_DirOpenIcon);
    saveAs = toolAction(window, kActionSaveAs, {"document-save-as", "document-save"},
                        QStyle::SP_DialogSaveButton, QKeySequence(Qt::CTRL | Qt::Key_S));
    undo = toolAction(window, kActionUndo, {"edit-undo"}, QStyle::SP_ArrowBack,
                      QKeySequence(Qt::CTRL | Qt::Key_Z));
    redo = toolAction(window, kActionRedo, {"edit-redo"}, QStyle::SP_ArrowForward,
                      QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Z));
    imageInfo = toolAction(window, kActionImageInfo, {"dialog-information", "document-properties"},
                           QStyle::SP_MessageBoxInformation, QKeySequence(Qt::CTRL | Qt::Key_I));
    compare = toolAction(window, kActionCompare, {"edit-copy", "view-dual"},
                         QStyle::SP_FileDialogDetailedView);
    find = new QAction(tx(kFilterPlaceholder), window);
    find->setShortcut(QKeySequence::Find);
    find->setShortcutContext(Qt::WindowShortcut);
    window->addAction(find);
    recentMenu_ = new QMenu(window);
    recentMenu_->setObjectName("recentMenu");
    open->setMenu(recentMenu_);
    up = toolAction(window, kActionUp, {"go-up"}, QStyle::SP_FileDialogToParent,
                    QKeySequence(Qt::ALT | Qt::Key_Up));
    extractList = toolAction(window, kActionExtractSelected, extractIcons, QStyle::SP_ArrowDown);
    exportAllList = toolAction(window, kActionExportAll, exportIcons, QStyle::SP_DirOpenIcon);
    upFromList = new QAction(tx(kActionUp), window);
    upFromList->setShortcut(Qt::Key_Backspace);
    upFromList->setShortcutContext(Qt::WidgetWithChildrenShortcut);

    viewMenu_ = new QMenu(tx(kMenuView), window);
    viewMenu_->setObjectName("viewMenu");
    thumbnails = viewMenu_->addAction(tx(kMenuThumbnails));
    icons = viewMenu_->addAction(tx(kMenuIcons));
    details = viewMenu_->addAction(tx(kMenuDetails));
    viewGroup_ = new QActionGroup(this);
    for (QAction* a : {thumbnails, icons, details}) {
        a->setCheckable(true);
        viewGroup_->addAction(a);
    }
    icons->setChecked(true);

    popup_ = new QMenu(window);
    popup_->setObjectName("listPopupMenu");
    auto item = [this](const char* text, const QKeySequence& key = {}) {
        QAction* a = popup_->addAction(tx(text));
        if (!key.isEmpty()) {
            a->setShortcut(key);
            a->setShortcutContext(Qt::WidgetWithChildrenShortcut);
        }
        return a;
    };
    openItem = item(kMenuOpen);
    openAsMenu_ = new QMenu(tx(kMenuOpenAs), window);
    openAsMenu_->setObjectName("openAsMenu");
    for (const FormatRow& f : formats())
        if (f.role != FormatRole::kLayer) {
            QAction* a = openAsMenu_->addAction(QString::fromUtf8(f.title));
            a->setData(QString::fromUtf8(f.name));
            connect(a, &QAction::triggered, this,
                    [this, a] { emit openAsFormat(a->data().toString()); });
        }
    openAsMenu_->addSeparator();
    openWithApp = openAsMenu_->addAction(tx(kMenuOpenWithApp));
    openAsItem = popup_->addMenu(openAsMenu_);
    goToTarget = item(kMenuGoToTarget);
    viewItem = popup_->addMenu(viewMenu_);
    popup_->addSeparator();
    extractItem = item(kMenuExtractSelected);
    exportAllItem = item(kMenuExportAll);
    exportTarItem = item(kMenuExportTar);
    popup_->addSeparator();
    newDir = item(kMenuNewDir);
    addFiles = item(kMenuAddFiles);
    remove = item(kMenuDelete, QKeySequence::Delete);
    popup_->addSeparator();
    refresh = item(kMenuRefresh, Qt::Key_F5);
    refresh->setShortcutContext(Qt::WindowShortcut);
    window->addAction(refresh);
    popup_->addSeparator();
    rename = item(kMenuRename, Qt::Key_F2);
    permissions = item(kMenuPermissions);
    uid = item(kMenuUid);
    gid = item(kMenuGid);
    popup_->addSeparator();
    properties = item(kMenuProperties, QKeySequence(Qt::ALT | Qt::Key_Return));
    update({});
}

void MainActions::setRecentImages(const QStringList& paths) {
    recentMenu_->clear();
    for (const QString& p : paths) {
        QAction* a = recentMenu_->addAction(p);
        connect(a, &QAction::triggered, this, [this, p] { emit openRecent(p); });
    }
    if (paths.isEmpty())
        recentMenu_->addAction(tx(kNoRecentImages))->setEnabled(false);
}

void MainActions::addListView(QWidget* view) {
    view->addActions({upFromList, remove, rename, properties});
}

void MainActions::update(const ActionState& s) {
    const bool idle = !s.busy;
    const bool any = idle && s.selected > 0;
    const bool listed = idle && s.listed;
    newImage->setEnabled(idle);
    open->setEnabled(idle);
    openAs->setEnabled(idle);
    undo->setEnabled(idle && s.canUndo);
    redo->setEnabled(idle && s.canRedo);
    imageInfo->setEnabled(listed);
    compare->setEnabled(listed);
    for (QAction* a :
         {extractTop, extractList, extractItem, remove, rename, permissions, uid, gid, properties})
        a->setEnabled(any);
    for (QAction* a : {exportAllTop, exportAllList, exportAllItem, exportTarItem, saveAs, up,
                       upFromList, newDir, addFiles})
        a->setEnabled(listed);
    openItem->setEnabled(any && (s.firstIsFolder || s.firstIsFile));
    openAsItem->setEnabled(any && s.firstIsFile);
    goToTarget->setEnabled(any && s.firstIsLink);
    // "查看" and "刷新" are never greyed.
    viewItem->setEnabled(true);
    refresh->setEnabled(true);
}

} // namespace korvane::ui
