// The main window: toolbars, the folder tree beside the list of one
// directory, the status bars and the progress panel. It owns the current
// image and runs every command of its toolbars and of the list's popup menu
// through korvane_core, long jobs on a worker thread.
#pragma once

#include "iconprovider.h"
#include "model/timg.h"
#include "prompter.h"
#include "transfer/saveas.h"
#include "yaffs2/yaffs2_writer.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <memory>

class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QStackedWidget;
class QToolBar;
class QToolButton;
class QTreeView;
class QAbstractItemView;

namespace korvane::ui {

class DirListModel;
class FolderTreeModel;
class JobRunner;
class ProgressPanel;
class ProgressStrip;
class SaveOptionsDialog;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // prompter: how questions are asked (DialogPrompter when null).
    explicit MainWindow(std::unique_ptr<Prompter> prompter = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Opens the image at path (no question asked). The current image stays
    // when it cannot be opened.
    void openImage(const QString& path);
    // Adds files and folders from disk to the listed directory (as a drop).
    void addPaths(const QStringList& paths);

    // State, for the status bar's users and the tests.
    Timg* image() const { return img_.get(); }
    bool busy() const;
    bool isLocked() const { return locked_; }
    // The object id of the listed directory; 0 when nothing is listed.
    uint32_t listedId() const { return listedId_; }
    QString pathText() const;
    QString imageStatusText() const;
    // Status panels 0 to 5 of the lower status bar.
    QString statusPanelText(int panel) const;
    int progressBlocks() const;
    const SaveParams& saveParams() const { return saveParams_; }
    SaveParams& saveParams() { return saveParams_; }

    DirListModel* listModel() const { return listModel_; }
    FolderTreeModel* folderModel() const { return folderModel_; }
    QListView* iconView() const { return iconView_; }
    QTreeView* detailView() const { return detailView_; }
    QTreeView* folderView() const { return folderView_; }
    QAbstractItemView* currentListView() const;
    bool detailViewShown() const;
    ProgressPanel* progressPanel() const { return progressPanel_; }
    SaveOptionsDialog* saveOptionsDialog() const { return saveOptions_; }
    // The list's popup menu, with its items enabled as for the current
    // selection.
    QMenu* popupMenu();
    // Rows selected in the list, in list order.
    QList<int> selectedRows() const;
    void selectRows(const QList<int>& rows);

public slots:
    void newImage();
    void openImageFromDialog();
    void extractSelected();
    void exportAll();
    // Writes the selected objects, or the whole tree when none is selected,
    // as a tar archive.
    void exportTar();
    void saveAs();
    void goUp();
    void openSelected();
    void refresh();
    void showIconView();
    void showDetailView();
    void newDirectory();
    void addFiles();
    void deleteSelected();
    void renameSelected();
    void changePermissions();
    void changeUid();
    void changeGid();
    void showProperties();
    void cancelJob();

signals:
    // A job (scan, extraction, adding, saving) has ended and its results are
    // shown.
    void jobFinished();
    // A directory was listed.
    void listFilled();

protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildActions();
    void buildLayout();
    void buildPopupMenu();
    QWidget* buildStatusBar(QWidget* parent);

    void onWorkEvent(qint64 pos, qint64 max, int kind, const QString& message, int flag);
    void lock();
    void unlock();
    // Runs a job whose done callback needs no result of its own.
    void runJob(std::function<void()> work, std::function<void(std::exception_ptr)> done);
    void showJobError(std::exception_ptr error);
    bool confirmDiscard();

    void loadWith(std::function<std::unique_ptr<Timg>(WorkSink*)> load, const QString& path);
    void switchTo(std::unique_ptr<Timg> img, const QString& path);
    void afterload();
    void refreshTree(Node* keepVisible);
    void filllist(Node* node);
    void reselectlist(const QList<int>& rows);
    void onListSelectionChanged();
    void onFolderSelected(const QModelIndex& index);
    void preparePopup();
    void onSaveTypeChanged(int type, QWidget* dialog);
    void runExtraction(const std::vector<uint32_t>& ids);
    void changeIds(const char* caption, const char* prompt, int which);

    Node* listedNode() const;
    std::vector<uint32_t> selectedIds() const;
    void message(const QString& text);

    std::unique_ptr<Prompter> prompter_;
    IconProvider icons_;
    std::unique_ptr<Timg> img_;
    // Destroyed before the image: its worker may still use it.
    std::unique_ptr<JobRunner> runner_;
    SaveParams saveParams_;
    SaveKind saveKind_ = kSaveYaffs2;
    uint32_t listedId_ = 0;
    QList<int> selectedlist_;
    QString lastExtractFolder_;
    bool locked_ = false;
    bool closeAfterJob_ = false;
    bool listingFromTree_ = true;

    DirListModel* listModel_ = nullptr;
    FolderTreeModel* folderModel_ = nullptr;

    QToolBar* fileToolBar_ = nullptr;
    QToolBar* jobToolBar_ = nullptr;
    QWidget* workArea_ = nullptr;
    QTreeView* folderView_ = nullptr;
    QStackedWidget* listStack_ = nullptr;
    QListView* iconView_ = nullptr;
    QTreeView* detailView_ = nullptr;
    QLineEdit* pathBox_ = nullptr;
    QLabel* imageStatus_ = nullptr;
    QLabel* statusPanels_[5] = {};
    ProgressStrip* strip_ = nullptr;
    ProgressPanel* progressPanel_ = nullptr;
    SaveOptionsDialog* saveOptions_ = nullptr;

    QAction* actNew_ = nullptr;
    QAction* actOpen_ = nullptr;
    QAction* actExtractTop_ = nullptr;
    QAction* actExportAllTop_ = nullptr;
    QAction* actSaveAs_ = nullptr;
    QAction* actUp_ = nullptr;
    QAction* actExtractList_ = nullptr;
    QAction* actExportAllList_ = nullptr;
    QToolButton* viewButton_ = nullptr;
    QMenu* viewMenu_ = nullptr;
    QAction* actThumbnails_ = nullptr;
    QAction* actIcons_ = nullptr;
    QAction* actDetails_ = nullptr;

    QMenu* popup_ = nullptr;
    QAction* menuOpen_ = nullptr;
    QAction* menuView_ = nullptr;
    QAction* menuExtract_ = nullptr;
    QAction* menuExportAll_ = nullptr;
    QAction* menuExportTar_ = nullptr;
    QAction* menuNewDir_ = nullptr;
    QAction* menuAddFiles_ = nullptr;
    QAction* menuDelete_ = nullptr;
    QAction* menuRefresh_ = nullptr;
    QAction* menuRename_ = nullptr;
    QAction* menuPermissions_ = nullptr;
    QAction* menuUid_ = nullptr;
    QAction* menuGid_ = nullptr;
    QAction* menuProperties_ = nullptr;
};

} // namespace korvane::ui
