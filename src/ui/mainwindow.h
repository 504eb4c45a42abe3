// The main window: toolbars, the folder tree beside the list of one
// directory, the status bar and the progress panel. It owns the open images
// (a file's, and the images opened inside it, as an ImageChain) and hands
// every command of its toolbars and of the list's popup menu to the class
// that carries it out (listing, opening, saving, moving objects to and from
// disk, edits, looking into contents, comparing), long jobs on a worker
// thread.
#pragma once

#include "contentcommands.h"
#include "editcommands.h"
#include "fs/yaffs2/yaffs2_writer.h"
#include "iconprovider.h"
#include "listpane.h"
#include "model/output_file.h"
#include "model/timg.h"
#include "navigator.h"
#include "opencommands.h"
#include "prompter.h"
#include "transfer/image_chain.h"
#include "transfercommands.h"

#include <QList>
#include <QMainWindow>
#include <QString>
#include <memory>
#include <optional>

class QAbstractItemView;
class QLineEdit;
class QListView;
class QMenu;
class QSplitter;
class QToolBar;
class QTreeView;

namespace korvane::ui {

class CompareCommand;
class DirListModel;
class FolderTreeModel;
class JobPresenter;
class JobRunner;
class MainActions;
class ProgressPanel;
class SaveCommand;
class SaveOptionsDialog;
class StatusPanels;
class Thumbnailer;

class MainWindow : public QMainWindow, private EditHost {
    Q_OBJECT
public:
    using View = ListPane::View;

    // prompter: how questions are asked (DialogPrompter when null).
    explicit MainWindow(std::unique_ptr<Prompter> prompter = nullptr, QWidget* parent = nullptr);
    ~MainWindow() override;

    // Opens the image at path (no question asked), as format when one is
    // named (a registry name), else as the probes decide. The current image
    // stays when it cannot be opened.
    void openImage(const QString& path, const QString& format = {}) {
        opening_->open(path, format);
    }
    // Adds files and folders from disk to the listed directory (as a drop).
    void addPaths(const QStringList& paths, bool keepAttributes = true) {
        transfers_->addPaths(paths, keepAttributes);
    }

    // State, for the status bar's users and the tests.
    // The image browsed: the innermost one opened.
    Timg* image() const { return chain_.empty() ? nullptr : &chain_.top(); }
    const ImageChain& chain() const { return chain_; }
    bool busy() const;
    bool isLocked() const { return locked_; }
    // The object id of the listed directory; 0 when nothing is listed.
    uint32_t listedId() const { return nav_->listedId(); }
    QString pathText() const;
    QString imageStatusText() const;
    // Status panels 0 to 5 of the lower status bar.
    QString statusPanelText(int panel) const;
    int progressBlocks() const;
    const SaveParams& saveParams() const;
    SaveParams& saveParams();

    DirListModel* listModel() const override { return listModel_; }
    FolderTreeModel* folderModel() const override { return folderModel_; }
    QListView* iconView() const { return pane_->iconView(); }
    QTreeView* detailView() const { return pane_->detailView(); }
    QTreeView* folderView() const { return folderView_; }
    QLineEdit* pathBox() const { return pane_->pathBox(); }
    ListPane* listPane() const { return pane_; }
    QAbstractItemView* currentListView() const { return pane_->currentListView(); }
    View view() const { return pane_->view(); }
    bool detailViewShown() const { return view() == View::kDetails; }
    ProgressPanel* progressPanel() const { return progressPanel_; }
    SaveOptionsDialog* saveOptionsDialog() const;
    MainActions* actions() const { return actions_; }
    Thumbnailer* thumbnailer() const { return thumbnailer_.get(); }
    Navigator* navigator() const { return nav_; }
    EditCommands* edits() const { return edits_; }
    ContentCommands* contents() const { return contents_; }
    CompareCommand* comparing() const { return compare_; }
    // The list's popup menu, with its items enabled as for the current
    // selection.
    QMenu* popupMenu();
    // Rows selected in the list, in list order.
    QList<int> selectedRows() const override { return pane_->selectedRows(); }
    void selectRows(const QList<int>& rows) { pane_->selectRows(rows); }

public slots:
    void newImage() { opening_->newImage(); }
    void openImageFromDialog() { opening_->openFromDialog(); }
    // "打开方式": a file chosen, then the format it is read as.
    void openImageAs() { opening_->openAs(); }
    void extractSelected() { transfers_->extractSelected(); }
    void exportAll() { transfers_->exportAll(); }
    void exportTar() { transfers_->exportTar(); }
    void saveAs();
    // Up one folder; at the root of an image opened inside another, back to
    // the image around it.
    void goUp() { nav_->goUp(); }
    // Opens the selected folder, the selected member of a container as an
    // image in place, or the selected file in the viewer.
    void openSelected() { nav_->openSelected(); }
    // Lists the folder the path box names (a file: its folder, with the
    // file selected).
    void goToPath(const QString& path) { nav_->goToPath(path); }
    void refresh() { nav_->refresh(); }
    void showIconView() { nav_->setView(View::kIcons); }
    void showDetailView() { nav_->setView(View::kDetails); }
    void showThumbnailView() { nav_->setView(View::kThumbnails); }
    void newDirectory() { edits_->newDirectory(); }
    void addFiles() { transfers_->addFiles(); }
    void deleteSelected() { edits_->deleteSelected(); }
    void renameSelected() { edits_->renameSelected(); }
    void changePermissions() { edits_->changePermissions(); }
    void changeUid() { edits_->changeUid(); }
    void changeGid() { edits_->changeGid(); }
    void undo() { edits_->undo(); }
    void redo() { edits_->redo(); }
    void showProperties();
    void showImageInfo();
    void compareWith();
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

private:
    friend class CompareCommand;
    friend class ContentCommands;
    friend class Navigator;
    friend class OpenCommands;
    friend class SaveCommand;
    friend class TransferCommands;

    void connectActions();
    void buildLayout();
    void restoreSettings();
    void saveSettings() const;

    void setLocked(bool locked);
    void updateActions();
    // The window title: the image's name, "*" while edits are unsaved.
    void updateTitle();
    // Runs a job on the worker; done runs on the main thread after it.
    void runJob(std::function<void()> work, std::function<void(std::exception_ptr)> done);
    void showJobError(std::exception_ptr error);
    bool confirmDiscard();
    // The chain opened from path (identity: the file then) replaces the one
    // browsed.
    void switchTo(ImageChain chain, const QString& path, std::optional<FileIdentity> identity);
    // What the browsed image has become: the tree, the list, the status.
    void showImage(uint32_t selectId);

    // EditHost.
    Timg* editableImage() const override;
    Node* listedFolder() const override { return nav_->listedNode(); }
    Prompter& prompter() override { return *prompter_; }
    QWidget* dialogParent() override { return this; }
    void relist(Node* dir, uint32_t selectId) override;
    void reselect(const QList<int>& rows) override;
    void beginRemoval() override { nav_->beginRemoval(); }
    void endRemoval() override;
    void renamed(uint32_t id) override;

    Node* listedNode() const { return nav_->listedNode(); }
    std::vector<uint32_t> selectedIds() const { return nav_->selectedIds(); }
    void message(const QString& text);

    std::unique_ptr<Prompter> prompter_;
    IconProvider icons_;
    ImageChain chain_;
    QString path_; // the file the chain was opened from
    // That file as it was when opened (saving over it is recognised by it).
    std::optional<FileIdentity> openedFile_;
    // Destroyed before the images: their workers may still use them.
    std::unique_ptr<JobRunner> runner_;
    std::unique_ptr<Thumbnailer> thumbnailer_;
    bool locked_ = false;
    bool closeAfterJob_ = false;

    DirListModel* listModel_ = nullptr;
    FolderTreeModel* folderModel_ = nullptr;
    MainActions* actions_ = nullptr;
    Navigator* nav_ = nullptr;
    EditCommands* edits_ = nullptr;
    TransferCommands* transfers_ = nullptr;
    SaveCommand* saving_ = nullptr;
    OpenCommands* opening_ = nullptr;
    ContentCommands* contents_ = nullptr;
    CompareCommand* compare_ = nullptr;
    JobPresenter* presenter_ = nullptr;

    QToolBar* fileToolBar_ = nullptr;
    QToolBar* jobToolBar_ = nullptr;
    QToolBar* editToolBar_ = nullptr;
    QWidget* workArea_ = nullptr;
    QSplitter* splitter_ = nullptr;
    QTreeView* folderView_ = nullptr;
    ListPane* pane_ = nullptr;
    StatusPanels* status_ = nullptr;
    ProgressPanel* progressPanel_ = nullptr;
};

} // namespace korvane::ui
