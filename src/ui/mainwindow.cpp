#include "mainwindow.h"

#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "jobrunner.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "saveoptionsdialog.h"
#include "transfer/addfiles.h"
#include "transfer/edit.h"
#include "transfer/extract.h"
#include "transfer/loadimage.h"
#include "transfer/tar_export.h"
#include "uitexts.h"

#include <QAction>
#include <QActionGroup>
#include <QCloseEvent>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSplitter>
#include <QStackedWidget>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

// The resources live in the static library korvane_ui; this reference keeps
// them in every program that makes a window.
static void initResources() {
    Q_INIT_RESOURCE(korvane);
}

namespace korvane::ui {

namespace {

QString tr8(const char* text) {
    return QString::fromUtf8(text);
}

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string fileName(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// Column widths of the detail list.
constexpr int kColumnWidths[DirListModel::kColumnCount] = {180, 60, 60, 160, 120, 150};

} // namespace

MainWindow::MainWindow(std::unique_ptr<Prompter> prompter, QWidget* parent)
    : QMainWindow(parent),
      prompter_(prompter ? std::move(prompter) : std::make_unique<DialogPrompter>()),
      runner_(std::make_unique<JobRunner>()) {
    initResources();
    setObjectName("mainWindow");
    setWindowTitle(tr8(kWindowCaption));
    setAcceptDrops(true);
    listModel_ = new DirListModel(icons_, this);
    folderModel_ = new FolderTreeModel(icons_.folderIcon(), this);
    saveOptions_ = new SaveOptionsDialog(saveParams_, this);

    buildActions();
    buildLayout();
    buildPopupMenu();
    progressPanel_ = new ProgressPanel(this);
    connect(progressPanel_, &ProgressPanel::cancelClicked, this, &MainWindow::cancelJob);
    connect(runner_.get(), &JobRunner::workEvent, this, &MainWindow::onWorkEvent);

    setMinimumSize(740, 500);
    resize(740, 547);
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
}

MainWindow::~MainWindow() {
    if (runner_->busy() && img_)
        img_->cancel = 1;
    runner_.reset();
    listModel_->clear();
    folderModel_->setRoot(nullptr);
}

// ---------------------------------------------------------------- building

void MainWindow::buildActions() {
    auto make = [this](const char* text, const QStringList& icons, QStyle::StandardPixmap fallback,
                       void (MainWindow::*slot)()) {
        auto* a = new QAction(IconProvider::themeIcon(icons, fallback, 32), tr8(text), this);
        a->setToolTip(tr8(text).trimmed());
        connect(a, &QAction::triggered, this, slot);
        return a;
    };
    actNew_ = make(kActionNew, {"document-new"}, QStyle::SP_FileIcon, &MainWindow::newImage);
    actOpen_ = make(kActionOpen, {"document-open"}, QStyle::SP_DialogOpenButton,
                    &MainWindow::openImageFromDialog);
    const QStringList extractIcons = {"archive-extract", "folder-download-symbolic"};
    const QStringList exportIcons = {"document-export", "document-send"};
    actExtractTop_ = make(kActionExtractSelected, extractIcons, QStyle::SP_ArrowDown,
                          &MainWindow::extractSelected);
    actExportAllTop_ =
        make(kActionExportAll, exportIcons, QStyle::SP_DirOpenIcon, &MainWindow::exportAll);
    actSaveAs_ = make(kActionSaveAs, {"document-save-as", "document-save"},
                      QStyle::SP_DialogSaveButton, &MainWindow::saveAs);
    actUp_ = make(kActionUp, {"go-up"}, QStyle::SP_FileDialogToParent, &MainWindow::goUp);
    actExtractList_ = make(kActionExtractSelected, extractIcons, QStyle::SP_ArrowDown,
                           &MainWindow::extractSelected);
    actExportAllList_ =
        make(kActionExportAll, exportIcons, QStyle::SP_DirOpenIcon, &MainWindow::exportAll);
    actExtractTop_->setEnabled(false);
    actExtractList_->setEnabled(false);

    viewMenu_ = new QMenu(tr8(kMenuView), this);
    // Thumbnails come with a later version; the item is shown, greyed.
    actThumbnails_ = viewMenu_->addAction(tr8(kMenuThumbnails));
    actThumbnails_->setEnabled(false);
    actIcons_ = viewMenu_->addAction(tr8(kMenuIcons), this, &MainWindow::showIconView);
    actDetails_ = viewMenu_->addAction(tr8(kMenuDetails), this, &MainWindow::showDetailView);
    auto* group = new QActionGroup(this);
    for (QAction* a : {actIcons_, actDetails_}) {
        a->setCheckable(true);
        group->addAction(a);
    }
    actIcons_->setChecked(true);
}

void MainWindow::buildLayout() {
    auto topBar = [this](const char* name) {
        auto* bar = new QToolBar(this);
        bar->setObjectName(name);
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setIconSize(QSize(32, 32));
        bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        bar->setContextMenuPolicy(Qt::PreventContextMenu);
        addToolBar(Qt::TopToolBarArea, bar);
        return bar;
    };
    fileToolBar_ = topBar("fileToolBar");
    fileToolBar_->addAction(actNew_);
    fileToolBar_->addAction(actOpen_);
    jobToolBar_ = topBar("jobToolBar");
    jobToolBar_->addAction(actExtractTop_);
    jobToolBar_->addAction(actExportAllTop_);
    jobToolBar_->addAction(actSaveAs_);

    auto* work = new QFrame(this);
    work->setObjectName("workArea");
    work->setFrameShape(QFrame::StyledPanel);
    work->setFrameShadow(QFrame::Sunken);
    workArea_ = work;
    setCentralWidget(workArea_);
    auto* v = new QVBoxLayout(workArea_);
    v->setContentsMargins(2, 2, 2, 2);
    v->setSpacing(2);

    auto* splitter = new QSplitter(Qt::Horizontal, workArea_);
    folderView_ = new QTreeView(splitter);
    folderView_->setObjectName("folderView");
    folderView_->setModel(folderModel_);
    folderView_->setHeaderHidden(true);
    folderView_->setIndentation(20);
    folderView_->setUniformRowHeights(true);
    folderView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(folderView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { onFolderSelected(current); });

    auto* right = new QWidget(splitter);
    auto* rv = new QVBoxLayout(right);
    rv->setContentsMargins(0, 0, 0, 0);
    rv->setSpacing(2);
    auto* bar = new QHBoxLayout;
    auto* listBar = new QToolBar(right);
    listBar->setObjectName("listToolBar");
    listBar->setIconSize(QSize(24, 24));
    listBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    listBar->addAction(actUp_);
    listBar->addAction(actExtractList_);
    listBar->addAction(actExportAllList_);
    viewButton_ = new QToolButton(listBar);
    viewButton_->setIcon(IconProvider::themeIcon({"view-list-icons", "view-grid", "view-list"},
                                                 QStyle::SP_FileDialogListView));
    viewButton_->setToolTip(tr8(kActionView));
    viewButton_->setMenu(viewMenu_);
    viewButton_->setPopupMode(QToolButton::InstantPopup);
    listBar->addWidget(viewButton_);
    bar->addWidget(listBar);
    bar->addWidget(new QLabel(tr8(kPathLabel), right));
    pathBox_ = new QLineEdit(right);
    pathBox_->setObjectName("pathBox");
    pathBox_->setReadOnly(true);
    bar->addWidget(pathBox_, 1);
    rv->addLayout(bar);

    listStack_ = new QStackedWidget(right);
    iconView_ = new QListView(listStack_);
    iconView_->setObjectName("iconView");
    iconView_->setModel(listModel_);
    iconView_->setViewMode(QListView::IconMode);
    iconView_->setMovement(QListView::Static);
    iconView_->setResizeMode(QListView::Adjust);
    iconView_->setLayoutMode(QListView::Batched);
    iconView_->setBatchSize(500);
    iconView_->setUniformItemSizes(true);
    iconView_->setIconSize(QSize(48, 48));
    iconView_->setGridSize(QSize(100, 84));
    iconView_->setWordWrap(false);
    iconView_->setTextElideMode(Qt::ElideMiddle);
    detailView_ = new QTreeView(listStack_);
    detailView_->setObjectName("detailView");
    detailView_->setModel(listModel_);
    detailView_->setSelectionModel(iconView_->selectionModel());
    detailView_->setRootIsDecorated(false);
    detailView_->setItemsExpandable(false);
    detailView_->setUniformRowHeights(true);
    detailView_->setAllColumnsShowFocus(true);
    detailView_->setTextElideMode(Qt::ElideMiddle);
    detailView_->header()->setStretchLastSection(false);
    detailView_->header()->setSectionsMovable(false);
    for (int c = 0; c < DirListModel::kColumnCount; ++c)
        detailView_->header()->resizeSection(c, kColumnWidths[c]);
    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(iconView_),
                                    static_cast<QAbstractItemView*>(detailView_)}) {
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        view->installEventFilter(this);
        connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
            if (i.isValid())
                openSelected();
        });
        connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& p) {
            popupMenu()->exec(view->viewport()->mapToGlobal(p));
        });
        listStack_->addWidget(view);
    }
    connect(iconView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &MainWindow::onListSelectionChanged);
    rv->addWidget(listStack_, 1);

    imageStatus_ = new QLabel(right);
    imageStatus_->setObjectName("imageStatus");
    imageStatus_->setFrameShape(QFrame::Panel);
    imageStatus_->setFrameShadow(QFrame::Sunken);
    imageStatus_->setTextFormat(Qt::PlainText);
    imageStatus_->setMinimumHeight(imageStatus_->fontMetrics().height() + 6);
    imageStatus_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    rv->addWidget(imageStatus_);

    splitter->addWidget(folderView_);
    splitter->addWidget(right);
    splitter->setStretchFactor(0, 0);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({168, 560});
    v->addWidget(splitter, 1);
    v->addWidget(buildStatusBar(workArea_));
}

QWidget* MainWindow::buildStatusBar(QWidget* parent) {
    auto* bar = new QWidget(parent);
    bar->setObjectName("statusPanels");
    auto* h = new QHBoxLayout(bar);
    h->setContentsMargins(0, 0, 0, 0);
    h->setSpacing(2);
    const int widths[5] = {50, 100, 50, 80, 120};
    const char* texts[5] = {kPanelImageName, "", kPanelImageSize, "", ""};
    for (int i = 0; i < 5; ++i) {
        auto* panel = new QLabel(tr8(texts[i]), bar);
        panel->setFrameShape(QFrame::Panel);
        panel->setFrameShadow(QFrame::Sunken);
        panel->setTextFormat(Qt::PlainText);
        panel->setFixedWidth(
            std::max(widths[i], panel->fontMetrics().horizontalAdvance(tr8(texts[i])) + 10));
        statusPanels_[i] = panel;
        h->addWidget(panel);
    }
    strip_ = new ProgressStrip(bar);
    strip_->setObjectName("progressStrip");
    h->addWidget(strip_, 1);
    bar->setFixedHeight(bar->fontMetrics().height() + 8);
    return bar;
}

void MainWindow::buildPopupMenu() {
    popup_ = new QMenu(this);
    popup_->setObjectName("listPopupMenu");
    auto item = [this](const char* text, void (MainWindow::*slot)()) {
        return popup_->addAction(tr8(text), this, slot);
    };
    menuOpen_ = item(kMenuOpen, &MainWindow::openSelected);
    menuView_ = popup_->addMenu(viewMenu_);
    popup_->addSeparator();
    menuExtract_ = item(kMenuExtractSelected, &MainWindow::extractSelected);
    menuExportAll_ = item(kMenuExportAll, &MainWindow::exportAll);
    menuExportTar_ = item(kMenuExportTar, &MainWindow::exportTar);
    popup_->addSeparator();
    menuNewDir_ = item(kMenuNewDir, &MainWindow::newDirectory);
    menuAddFiles_ = item(kMenuAddFiles, &MainWindow::addFiles);
    menuDelete_ = item(kMenuDelete, &MainWindow::deleteSelected);
    popup_->addSeparator();
    menuRefresh_ = item(kMenuRefresh, &MainWindow::refresh);
    popup_->addSeparator();
    menuRename_ = item(kMenuRename, &MainWindow::renameSelected);
    menuPermissions_ = item(kMenuPermissions, &MainWindow::changePermissions);
    menuUid_ = item(kMenuUid, &MainWindow::changeUid);
    menuGid_ = item(kMenuGid, &MainWindow::changeGid);
    popup_->addSeparator();
    menuProperties_ = item(kMenuProperties, &MainWindow::showProperties);
    for (QAction* a : {menuOpen_, menuExtract_, menuDelete_, menuRename_, menuPermissions_,
                       menuUid_, menuGid_, menuProperties_})
        a->setEnabled(false);
}

// ---------------------------------------------------------------- state

bool MainWindow::busy() const {
    return runner_->busy();
}

QString MainWindow::pathText() const {
    return pathBox_->text();
}

QString MainWindow::imageStatusText() const {
    return imageStatus_->text();
}

QString MainWindow::statusPanelText(int panel) const {
    if (panel == 5)
        return strip_->text();
    return panel >= 0 && panel < 5 ? statusPanels_[panel]->text() : QString();
}

int MainWindow::progressBlocks() const {
    return strip_->blockCount();
}

QAbstractItemView* MainWindow::currentListView() const {
    return static_cast<QAbstractItemView*>(listStack_->currentWidget());
}

bool MainWindow::detailViewShown() const {
    return listStack_->currentWidget() == detailView_;
}

QMenu* MainWindow::popupMenu() {
    preparePopup();
    return popup_;
}

QList<int> MainWindow::selectedRows() const {
    std::set<int> rows;
    for (const QItemSelectionRange& r : iconView_->selectionModel()->selection())
        for (int row = r.top(); row <= r.bottom(); ++row)
            rows.insert(row);
    return QList<int>(rows.begin(), rows.end());
}

void MainWindow::selectRows(const QList<int>& rows) {
    QItemSelectionModel* sel = iconView_->selectionModel();
    QItemSelection selection;
    for (int row : rows)
        if (row >= 0 && row < listModel_->rows())
            selection.select(listModel_->index(row, 0),
                             listModel_->index(row, DirListModel::kColumnCount - 1));
    sel->select(selection, QItemSelectionModel::ClearAndSelect);
    if (!rows.isEmpty() && rows.first() >= 0 && rows.first() < listModel_->rows())
        sel->setCurrentIndex(listModel_->index(rows.first(), 0), QItemSelectionModel::NoUpdate);
}

Node* MainWindow::listedNode() const {
    return img_ && listedId_ != 0 ? img_->nodeFor(listedId_) : nullptr;
}

std::vector<uint32_t> MainWindow::selectedIds() const {
    std::vector<uint32_t> ids;
    for (int row : selectedRows())
        ids.push_back(listModel_->row(row).entry.objId);
    return ids;
}

void MainWindow::message(const QString& text) {
    prompter_->showMessage(this, text);
}

// ---------------------------------------------------------------- work events

void MainWindow::lock() {
    locked_ = true;
    fileToolBar_->setEnabled(false);
    jobToolBar_->setEnabled(false);
    workArea_->setEnabled(false);
}

void MainWindow::unlock() {
    // While the job still runs, its end unlocks the window.
    if (busy())
        return;
    locked_ = false;
    fileToolBar_->setEnabled(true);
    jobToolBar_->setEnabled(true);
    workArea_->setEnabled(true);
}

void MainWindow::onWorkEvent(qint64 pos, qint64 max, int kind, const QString& text, int flag) {
    auto status = [this](const QString& s) { statusPanels_[4]->setText(s); };
    auto startPanel = [&] {
        lock();
        progressPanel_->setMessage(text);
        progressPanel_->resetBar();
        progressPanel_->showprogress();
    };
    switch (flag) {
    case kFlagYaffsScan:
    case kFlagExtRead: {
        const int last = flag == kFlagYaffsScan ? 4 : 3;
        if (kind == 1) {
            lock();
            strip_->clearStrip();
            status(text);
        } else if (kind == last) {
            strip_->clearStrip();
            status(tr8(kTextReadDone));
            unlock();
        } else if (kind == 2 || (flag == kFlagYaffsScan && kind == 3)) {
            if (pos == 0) {
                strip_->clearStrip();
                status(text);
            }
            strip_->myjdt(pos, max);
        }
        break;
    }
    case kFlagExtract:
    case kFlagAddFiles:
    case kFlagYaffsSave:
    case kFlagExtSave: {
        // The panel's jobs: a save reports its progress as kind 5 and ends
        // with kind 6, extraction and adding files use kinds 2 and 3.
        const bool save = flag == kFlagYaffsSave || flag == kFlagExtSave;
        const int progressKind = save ? 5 : 2;
        const int lastKind = save ? 6 : 3;
        if (kind == 1) {
            if (save)
                progressPanel_->setFormatName(flag == kFlagYaffsSave   ? "YAFFS2"
                                              : saveKind_ == kSaveExt3 ? "EXT3"
                                                                       : "EXT2");
            startPanel();
        } else if (kind == progressKind) {
            progressPanel_->setMessage(text);
            progressPanel_->setProgress(pos, max);
        } else if (kind == lastKind) {
            progressPanel_->setMessage(text);
            progressPanel_->hideprogress();
            unlock();
        } else if (save) {
            progressPanel_->setMessage(text);
        }
        break;
    }
    default:
        break;
    }
}

void MainWindow::runJob(std::function<void()> work, std::function<void(std::exception_ptr)> done) {
    if (img_)
        img_->cancel = 0;
    runner_->start(std::move(work), [this, done = std::move(done)](std::exception_ptr error) {
        // A job's final event hides the panel and unlocks; this covers a job
        // that ended before it could send one.
        progressPanel_->hideprogress();
        unlock();
        done(error);
        emit jobFinished();
        if (closeAfterJob_) {
            closeAfterJob_ = false;
            QTimer::singleShot(0, this, &QWidget::close);
        }
    });
}

void MainWindow::showJobError(std::exception_ptr error) {
    if (!error)
        return;
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        message(QString::fromUtf8(e.what()));
    } catch (...) {
        message(QString::fromUtf8("未知错误"));
    }
}

void MainWindow::cancelJob() {
    if (img_)
        img_->cancel = 1;
}

bool MainWindow::confirmDiscard() {
    return !img_ || !img_->modified || prompter_->askYesNo(this, tr8(kTextDiscard));
}

// ---------------------------------------------------------------- opening

void MainWindow::newImage() {
    if (busy() || !confirmDiscard())
        return;
    loadWith([](WorkSink* sink) { return newimage(sink); }, QString());
}

void MainWindow::openImageFromDialog() {
    if (busy() || !confirmDiscard())
        return;
    QString path = prompter_->chooseImage(this);
    if (!path.isEmpty())
        openImage(path);
}

void MainWindow::openImage(const QString& path) {
    if (busy())
        return;
    std::string name = fileName(path);
    loadWith([name](WorkSink* sink) { return loadimage(name, sink); },
             QFileInfo(path).absoluteFilePath());
}

void MainWindow::loadWith(std::function<std::unique_ptr<Timg>(WorkSink*)> load,
                          const QString& path) {
    // The scan builds a fresh image object on the worker; the window takes
    // it only when the scan succeeded, so a failed open keeps the old image.
    auto result = std::make_shared<std::unique_ptr<Timg>>();
    WorkSink* sink = runner_->sink();
    runJob([result, load = std::move(load), sink] { *result = load(sink); },
           [this, result, path](std::exception_ptr error) {
               if (error || !*result) {
                   showJobError(error);
                   return;
               }
               switchTo(std::move(*result), path);
           });
}

void MainWindow::switchTo(std::unique_ptr<Timg> img, const QString& path) {
    listingFromTree_ = false;
    listModel_->clear();
    folderModel_->setRoot(nullptr);
    listingFromTree_ = true;
    listedId_ = 0;
    pathBox_->clear();
    selectedlist_.clear();
    strip_->setText(QString());
    img_ = std::move(img);
    updateFromScan(saveParams_, *img_);
    if (path.isEmpty()) {
        imageStatus_->setText(tr8(kImageNew));
        statusPanels_[1]->setText(tr8(kNewName));
        statusPanels_[3]->setText(tr8(kUnknownSize));
    } else {
        QString format = img_->formatName() == "YAFFS2" ? "YAFFS2" : "EXT2/3";
        imageStatus_->setText(tr8(kImageFileLabel) + path + tr8(kImageFormatLabel) + format);
        statusPanels_[1]->setText(QFileInfo(path).fileName());
        statusPanels_[1]->setToolTip(path);
        statusPanels_[3]->setText(utf8(imagesizetext(img_->size())));
    }
    afterload();
}

void MainWindow::afterload() {
    refreshTree(nullptr);
    filllist(img_->root());
}

// Outlines the folder tree anew, collapsed to the root and the folders down
// to keepVisible.
void MainWindow::refreshTree(Node* keepVisible) {
    listingFromTree_ = false;
    folderModel_->setRoot(img_ ? img_->root() : nullptr);
    folderView_->collapseAll();
    folderView_->expand(folderModel_->index(0, 0));
    for (Node* n = keepVisible ? keepVisible->parent : nullptr; n; n = n->parent)
        folderView_->expand(folderModel_->indexOf(n));
    listingFromTree_ = true;
}

// ---------------------------------------------------------------- listing

void MainWindow::filllist(Node* node) {
    if (!img_ || !node || !node->isDirectory())
        return;
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    listedId_ = node->entry.objId;
    pathBox_->setText("/" + utf8(pathFromRoot(node)));
    listModel_->fill(*node, *img_);
    currentListView()->scrollToTop();
    onListSelectionChanged();
    QGuiApplication::restoreOverrideCursor();
    emit listFilled();
}

void MainWindow::onFolderSelected(const QModelIndex& index) {
    if (!listingFromTree_ || busy())
        return;
    filllist(folderModel_->nodeAt(index));
}

void MainWindow::onListSelectionChanged() {
    QList<int> rows = selectedRows();
    bool any = !rows.isEmpty();
    actExtractTop_->setEnabled(any);
    actExtractList_->setEnabled(any);
    selectedlist_ = rows;
    if (!any || !img_)
        return;
    if (Node* n = img_->nodeFor(listModel_->row(rows.first()).entry.objId))
        strip_->setText(summaryText(describeObject(*img_, *n)));
}

void MainWindow::reselectlist(const QList<int>& rows) {
    currentListView()->setFocus();
    for (int row : rows) {
        if (row < 0 || row >= listModel_->rows())
            continue;
        if (Node* n = img_->nodeFor(listModel_->row(row).entry.objId))
            listModel_->refreshRow(row, *n);
    }
    selectRows(rows);
    onListSelectionChanged();
}

void MainWindow::openSelected() {
    QList<int> rows = selectedRows();
    if (busy() || !img_ || rows.isEmpty())
        return;
    Node* n = img_->nodeFor(listModel_->row(rows.first()).entry.objId);
    if (n && n->isDirectory())
        filllist(n);
}

void MainWindow::goUp() {
    Node* n = listedNode();
    if (!busy() && n && n->parent)
        filllist(n->parent);
}

void MainWindow::refresh() {
    Node* n = listedNode();
    if (busy() || !n)
        return;
    std::vector<uint32_t> keep = selectedIds();
    filllist(n);
    QList<int> rows;
    for (int r = 0; r < listModel_->rows(); ++r)
        if (std::find(keep.begin(), keep.end(), listModel_->row(r).entry.objId) != keep.end())
            rows << r;
    selectRows(rows);
}

void MainWindow::showIconView() {
    listStack_->setCurrentWidget(iconView_);
    actIcons_->setChecked(true);
}

void MainWindow::showDetailView() {
    listStack_->setCurrentWidget(detailView_);
    actDetails_->setChecked(true);
}

void MainWindow::preparePopup() {
    QList<int> rows = selectedRows();
    const bool selected = !rows.isEmpty();
    menuOpen_->setEnabled(selected &&
                          listModel_->row(rows.first()).entry.objType == kTypeDirectory);
    for (QAction* a : {menuExtract_, menuDelete_, menuRename_, menuPermissions_, menuUid_, menuGid_,
                       menuProperties_})
        a->setEnabled(selected);
    const bool listed = !pathBox_->text().isEmpty();
    for (QAction* a : {menuExportAll_, menuExportTar_, menuNewDir_, menuAddFiles_})
        a->setEnabled(listed);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == iconView_ || watched == detailView_) && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            openSelected();
            return true;
        }
    }
    return QMainWindow::eventFilter(watched, event);
}

// ---------------------------------------------------------------- properties

void MainWindow::showProperties() {
    QList<int> rows = selectedRows();
    if (busy() || !img_ || rows.isEmpty())
        return;
    Node* n = img_->nodeFor(listModel_->row(rows.first()).entry.objId);
    if (!n)
        return;
    prompter_->showProperties(this, describeObject(*img_, *n),
                              icons_.iconFor(n->text, n->isDirectory()));
}

// ---------------------------------------------------------------- extraction

void MainWindow::extractSelected() {
    if (busy() || !img_)
        return;
    std::vector<uint32_t> ids = selectedIds();
    if (!ids.empty())
        runExtraction(ids);
}

void MainWindow::exportAll() {
    if (busy() || !img_ || !img_->root())
        return;
    std::vector<uint32_t> ids;
    for (const auto& child : img_->root()->children)
        ids.push_back(child->entry.objId);
    runExtraction(ids);
}

void MainWindow::runExtraction(const std::vector<uint32_t>& ids) {
    QString start = lastExtractFolder_.isEmpty() ? QDir::homePath() : lastExtractFolder_;
    QString folder = prompter_->chooseFolder(this, start);
    if (folder.isEmpty())
        return;
    lastExtractFolder_ = folder;
    auto result = std::make_shared<ExtractResult>();
    Timg* img = img_.get();
    std::string target = fileName(folder);
    runJob([img, ids, target, result] { *result = outfiles(*img, ids, target); },
           [this, result](std::exception_ptr error) {
               showJobError(error);
               if (result->skipped.empty())
                   return;
               QStringList lines;
               for (const SkippedObject& s : result->skipped)
                   lines << utf8(s.line());
               prompter_->showErrorList(this, tr8(kExtractErrorsCaption), lines);
           });
}

void MainWindow::exportTar() {
    if (busy() || !img_ || !img_->root())
        return;
    std::vector<uint32_t> ids = selectedIds();
    if (ids.empty())
        ids.push_back(img_->root()->entry.objId);
    QString start = lastExtractFolder_.isEmpty() ? QDir::homePath() : lastExtractFolder_;
    QString path = prompter_->chooseArchive(this, start);
    if (path.isEmpty())
        return;
    lastExtractFolder_ = QFileInfo(path).absolutePath();
    auto result = std::make_shared<TarResult>();
    Timg* img = img_.get();
    std::string target = fileName(path);
    runJob([img, ids, target, result] { *result = tarout(*img, ids, target); },
           [this, result](std::exception_ptr error) {
               showJobError(error);
               if (result->skipped.empty())
                   return;
               QStringList lines;
               for (const SkippedObject& s : result->skipped)
                   lines << utf8(s.line());
               prompter_->showErrorList(this, tr8(kExtractErrorsCaption), lines);
           });
}

// ---------------------------------------------------------------- saving

void MainWindow::onSaveTypeChanged(int type, QWidget* dialog) {
    if (type == kSaveTypeYaffs2) {
        pickPlainYaffs2(saveParams_);
    } else if (type == kSaveTypeYaffs2Custom) {
        saveOptions_->showBeside(dialog);
    }
}

void MainWindow::saveAs() {
    if (busy() || !img_ || pathBox_->text().isEmpty())
        return;
    std::optional<SaveTarget> target = prompter_->chooseSaveTarget(
        this, [this](int type, QWidget* dialog) { onSaveTypeChanged(type, dialog); });
    if (!target || target->path.isEmpty())
        return;
    const SaveKind kind = target->type == kSaveTypeExt2   ? kSaveExt2
                          : target->type == kSaveTypeExt3 ? kSaveExt3
                                                          : kSaveYaffs2;
    saveKind_ = kind;
    // The save clears the mark of unsaved edits; a save that fails or is
    // cancelled puts it back, so closing still asks before they are lost.
    const bool wasModified = img_->modified;
    img_->modified = false;
    auto saved = std::make_shared<bool>(false);
    Timg* img = img_.get();
    std::string path = fileName(target->path);
    SaveParams params = saveParams_;
    runJob([img, path, kind, params, saved] { *saved = saveas(*img, path, kind, params); },
           [this, saved, wasModified](std::exception_ptr error) {
               if (error || !*saved)
                   img_->modified = img_->modified || wasModified;
               showJobError(error);
           });
}

// ---------------------------------------------------------------- adding

void MainWindow::addFiles() {
    if (busy() || !img_ || pathBox_->text().isEmpty())
        return;
    QStringList paths = prompter_->chooseFiles(this);
    if (!paths.isEmpty())
        addPaths(paths);
}

void MainWindow::addPaths(const QStringList& paths) {
    if (busy() || !img_ || listedId_ == 0 || paths.isEmpty())
        return;
    std::vector<std::string> list;
    for (const QString& p : paths)
        list.push_back(fileName(p));
    const uint32_t dirId = listedId_;
    Timg* img = img_.get();
    AddOptions opt;
    // Asked on the worker, which waits while the main thread shows the
    // question. The path is made here, where reading the tree is safe.
    JobRunner* runner = runner_.get();
    opt.ask = [this, img, runner](const std::string& source, const Node& existing) {
        QString from = QFile::decodeName(QByteArray::fromStdString(source));
        QString to = "/" + utf8(nodepath(img->root(), &existing));
        ClashAnswer answer = ClashAnswer::kSkip;
        runner->callOnMainThread([&] { answer = prompter_->askClash(this, from, to); });
        return answer;
    };
    auto result = std::make_shared<AddResult>();
    runJob([img, list, dirId, opt, result] { *result = addfiles(*img, list, dirId, opt); },
           [this, result, dirId](std::exception_ptr error) {
               Node* dir = img_->nodeFor(dirId);
               refreshTree(dir);
               filllist(dir);
               showJobError(error);
               if (result->errlist.empty())
                   return;
               QStringList lines;
               for (const std::string& line : result->errlist)
                   lines << utf8(line);
               prompter_->showErrorList(this, tr8(kAddErrorsCaption), lines);
           });
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!busy() && listedId_ != 0 && event->mimeData()->hasUrls())
        for (const QUrl& url : event->mimeData()->urls())
            if (url.isLocalFile()) {
                event->acceptProposedAction();
                return;
            }
    QMainWindow::dragEnterEvent(event);
}

void MainWindow::dropEvent(QDropEvent* event) {
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls())
        if (url.isLocalFile())
            paths << url.toLocalFile();
    if (paths.isEmpty() || busy() || listedId_ == 0) {
        QMainWindow::dropEvent(event);
        return;
    }
    event->acceptProposedAction();
    // Added after the drop has finished, so the file manager is not kept
    // waiting.
    QTimer::singleShot(0, this, [this, paths] { addPaths(paths); });
}

// ---------------------------------------------------------------- edits

void MainWindow::newDirectory() {
    Node* dir = listedNode();
    if (busy() || !dir)
        return;
    std::optional<QString> name =
        prompter_->askText(this, tr8(kNewDirCaption), tr8(kNewDirPrompt), QString());
    if (!name || name->isEmpty())
        return;
    NewDirResult r;
    try {
        r = newdir(*img_, listedId_, name->toStdString());
    } catch (const Error& e) {
        message(QString::fromUtf8(e.what()));
        return;
    }
    if (r.status == EditStatus::kExists) {
        message(tr8(kTextExists));
    } else if (r.status == EditStatus::kInvalid) {
        message(tr8(kTextInvalid));
    } else if (r.status == EditStatus::kDone) {
        refreshTree(dir);
        filllist(dir);
        for (int row = 0; row < listModel_->rows(); ++row)
            if (listModel_->row(row).entry.objId == r.node->entry.objId) {
                selectRows({row});
                currentListView()->scrollTo(listModel_->index(row, 0));
            }
    }
}

void MainWindow::deleteSelected() {
    QList<int> rows = selectedRows();
    if (busy() || !img_ || rows.isEmpty())
        return;
    if (!prompter_->askYesNo(this, tr8(kTextConfirmDelete)))
        return;
    img_->modified = true;
    listingFromTree_ = false;
    // From the last row to the first, as the list's own order stands.
    std::vector<uint32_t> files;
    for (auto it = rows.crbegin(); it != rows.crend(); ++it) {
        uint32_t id = listModel_->row(*it).entry.objId;
        Node* n = img_->nodeFor(id);
        if (n && n->isDirectory()) {
            folderModel_->beginRemoveNode(n);
            deletenodes(*img_, {id});
            folderModel_->endRemoveNode();
        } else if (n) {
            files.push_back(id);
        }
    }
    deletenodes(*img_, files);
    listModel_->removeRows(rows);
    listingFromTree_ = true;
}

void MainWindow::renameSelected() {
    QList<int> rows = selectedRows();
    if (busy() || !img_ || rows.isEmpty())
        return;
    const int row = rows.first();
    const uint32_t id = listModel_->row(row).entry.objId;
    const QString caption = utf8(listModel_->row(row).text);
    std::optional<QString> answer =
        prompter_->askText(this, tr8(kRenameCaption), tr8(kRenamePrompt), caption);
    if (!answer || answer->isEmpty() || *answer == caption)
        return;
    EditStatus status = renamenode(*img_, id, answer->toStdString());
    if (status == EditStatus::kExists) {
        message(tr8(kTextExists));
    } else if (status == EditStatus::kInvalid) {
        message(tr8(kTextInvalid));
    } else if (status == EditStatus::kDone) {
        if (Node* n = img_->nodeFor(id)) {
            listModel_->refreshRow(row, *n);
            folderModel_->nodeRenamed(n);
        }
        onListSelectionChanged();
    }
}

void MainWindow::changePermissions() {
    QList<int> rows = selectedRows();
    if (busy() || !img_ || rows.isEmpty())
        return;
    std::vector<uint32_t> ids = selectedIds();
    QString value;
    if (ids.size() == 1)
        if (Node* n = img_->nodeFor(ids.front()))
            value = utf8(modetext(n->entry.mode, 0));
    std::optional<IdInput> in =
        prompter_->askId(this, tr8(kPermissionsCaption), tr8(kPermissionsPrompt), value);
    if (!in || in->text.isEmpty())
        return;
    if (changemode(*img_, ids, in->text.toStdString(), in->withChildren) == EditStatus::kInvalid) {
        message(tr8(kTextInvalid));
        return;
    }
    reselectlist(rows);
}

void MainWindow::changeUid() {
    changeIds(kUidCaption, kUidPrompt, 0);
}

void MainWindow::changeGid() {
    changeIds(kGidCaption, kGidPrompt, 1);
}

// which: 0 UID, 1 GID.
void MainWindow::changeIds(const char* caption, const char* prompt, int which) {
    QList<int> rows = selectedRows();
    if (busy() || !img_ || rows.isEmpty())
        return;
    std::vector<uint32_t> ids = selectedIds();
    QString value;
    if (ids.size() == 1)
        if (Node* n = img_->nodeFor(ids.front()))
            value = QString::number(which == 0 ? n->entry.uid : n->entry.gid);
    std::optional<IdInput> in = prompter_->askId(this, tr8(caption), tr8(prompt), value);
    if (!in)
        return;
    const std::string text = in->text.toStdString();
    EditStatus status = which == 0 ? changeuid(*img_, ids, text, in->withChildren)
                                   : changegid(*img_, ids, text, in->withChildren);
    if (status == EditStatus::kInvalid) {
        message(tr8(kTextInvalid));
        return;
    }
    reselectlist(rows);
}

// ---------------------------------------------------------------- window

void MainWindow::closeEvent(QCloseEvent* event) {
    if (busy()) {
        // A job uses the image: stop it where it can stop, close after it.
        cancelJob();
        closeAfterJob_ = true;
        event->ignore();
        return;
    }
    if (!confirmDiscard()) {
        event->ignore();
        return;
    }
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (progressPanel_)
        progressPanel_->centre();
}

} // namespace korvane::ui
