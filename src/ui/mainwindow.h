// The main window: toolbars, the folder tree beside the list of one
// directory, the status bar and the progress panel. It owns the current
// image and runs every command of its toolbars and of the list's popup menu
// through korvane_core, long jobs on a worker thread.
#pragma once

#include "editcommands.h"
#include "fs/yaffs2/yaffs2_writer.h"
#include "iconprovider.h"
#include "model/timg.h"
#include "prompter.h"
#include "transfer/saveas.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <memory>

class QAbstractItemView;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QSplitter;
class QStackedWidget;
class QTimer;
class QToolBar;
class QToolButton;
class QTreeView;

namespace korvane::ui {

class DirListModel;
class FolderTreeModel;
class IconDelegate;
class JobPresenter;
class JobRunner;
class MainActions;
class ProgressPanel;
class SaveOptionsDialog;
class StatusPanels;
class Thumbnailer;

class MainWindow : public QMainWindow, private EditHost {
    Q_OBJECT
public:
    enum class View { kIcons, kDetails, kThumbnails };

    // prompter: how questions are asked (DialogPrompter when null).
    explicit MainWindow(std::unique_ptr<Prompter> prompter = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Opens the image at path (no question asked). The current image stays
    // when it cannot be opened.
    void openImage(const QString& path);
    // Adds files and folders from disk to the listed directory (as a drop).
    void addPaths(const QStringList& paths, bool keepAttributes = true);

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

    DirListModel* listModel() const override { return listModel_; }
    FolderTreeModel* folderModel() const override { return folderModel_; }
    QListView* iconView() const { return iconView_; }
    QTreeView* detailView() const { return detailView_; }
    QTreeView* folderView() const { return folderView_; }
    QLineEdit* pathBox() const { return pathBox_; }
    QAbstractItemView* currentListView() const;
    View view() const { return view_; }
    bool detailViewShown() const { return view_ == View::kDetails; }
    ProgressPanel* progressPanel() const { return progressPanel_; }
    SaveOptionsDialog* saveOptionsDialog() const { return saveOptions_; }
    MainActions* actions() const { return actions_; }
    Thumbnailer* thumbnailer() const { return thumbnailer_.get(); }
    // The list's popup menu, with its items enabled as for the current
    // selection.
    QMenu* popupMenu();
    // Rows selected in the list, in list order.
    QList<int> selectedRows() const override;
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
    // Lists the folder the path box names (a file: its folder, with the
    // file selected).
    void goToPath(const QString& path);
    void refresh();
    void showIconView();
    void showDetailView();
    void showThumbnailView();
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
    void connectActions();
    void buildLayout();
    void buildListViews(QWidget* parent);
    void restoreSettings();
    void saveSettings() const;

    void setLocked(bool locked);
    void updateActions();
    // Runs a job on the worker; done runs on the main thread after it.
    void runJob(std::function<void()> work, std::function<void(std::exception_ptr)> done);
    void showJobError(std::exception_ptr error);
    bool confirmDiscard();

    void loadWith(std::function<std::unique_ptr<Timg>(WorkSink*)> load, const QString& path);
    void switchTo(std::unique_ptr<Timg> img, const QString& path);
    void showWarnings();
    void refreshTree(Node* keepVisible);
    // Lists node; selects the row of object selectId when it is listed.
    void filllist(Node* node, uint32_t selectId = 0);
    void followInTree(Node* node);
    void reselectlist(const QList<int>& rows);
    void onListSelectionChanged();
    void onFolderSelected(const QModelIndex& index);
    void onSaveTypeChanged(const QString& type, QWidget* dialog);
    void runExtraction(const std::vector<uint32_t>& ids);
    void setView(View view);
    void startThumbnails();
    void sortByColumn(int column);

    // EditHost.
    Timg* editableImage() const override;
    Node* listedFolder() const override;
    Prompter& prompter() override;
    QWidget* dialogParent() override;
    void relist(Node* dir, uint32_t selectId) override;
    void reselect(const QList<int>& rows) override;
    void beginRemoval() override;
    void endRemoval() override;
    void renamed(uint32_t id) override;

    Node* listedNode() const;
    std::vector<uint32_t> selectedIds() const;
    void message(const QString& text);

    std::unique_ptr<Prompter> prompter_;
    IconProvider icons_;
    std::unique_ptr<Timg> img_;
    // Destroyed before the image: their workers may still use it.
    std::unique_ptr<JobRunner> runner_;
    std::unique_ptr<Thumbnailer> thumbnailer_;
    SaveParams saveParams_;
    uint32_t listedId_ = 0;
    QList<int> selectedlist_;
    QString lastExtractFolder_;
    bool locked_ = false;
    bool closeAfterJob_ = false;
    // Off while the window itself moves the tree's selection.
    bool listingFromTree_ = true;
    View view_ = View::kIcons;

    DirListModel* listModel_ = nullptr;
    FolderTreeModel* folderModel_ = nullptr;
    MainActions* actions_ = nullptr;
    EditCommands* edits_ = nullptr;
    JobPresenter* presenter_ = nullptr;
    IconDelegate* iconDelegate_ = nullptr;
    QTimer* thumbnailTimer_ = nullptr;

    QToolBar* fileToolBar_ = nullptr;
    QToolBar* jobToolBar_ = nullptr;
    QToolBar* listToolBar_ = nullptr;
    QWidget* workArea_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QTreeView* folderView_ = nullptr;
    QStackedWidget* listStack_ = nullptr;
    QListView* iconView_ = nullptr;
    QTreeView* detailView_ = nullptr;
    QLineEdit* pathBox_ = nullptr;
    QToolButton* viewButton_ = nullptr;
    QLabel* imageStatus_ = nullptr;
    StatusPanels* status_ = nullptr;
    ProgressPanel* progressPanel_ = nullptr;
    SaveOptionsDialog* saveOptions_ = nullptr;
};

} // namespace korvane::ui
