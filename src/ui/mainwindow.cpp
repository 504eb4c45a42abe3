#include "mainwindow.h"

#include "dirlistmodel.h"
#include "editcommands.h"
#include "foldertreemodel.h"
#include "fs/yaffs2/yaffs2_format_row.h"
#include "icondelegate.h"
#include "jobpresenter.h"
#include "jobrunner.h"
#include "language.h"
#include "mainactions.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "saveoptionsdialog.h"
#include "statuspanels.h"
#include "thumbnailer.h"
#include "transfer/addfiles.h"
#include "transfer/edit.h"
#include "transfer/extract.h"
#include "transfer/loadimage.h"
#include "transfer/tar_export.h"
#include "uitexts.h"

#include <QAction>
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
#include <QScrollBar>
#include <QSettings>
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

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

std::string fileName(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

// Column widths of the detail list.
constexpr int kColumnWidths[DirListModel::kColumnCount] = {180, 60, 60, 160, 120, 150, 220};

const char* const kGeometryKey = "window/geometry";
const char* const kSplitterKey = "window/splitter";
const char* const kViewKey = "window/view";
const char* const kColumnsKey = "window/columns";
const char* const kKeepAttributesKey = "add/keepAttributes";

// The save type the dialog offers first: the image's own format.
QString saveTypeFor(const Timg& img) {
    const SaveType* t = ownSaveType(img);
    return t ? QString::fromUtf8(t->name) : QString();
}

// The settings page of a save type ("yaffs2", "ext", "" for a form of the
// writer's options).
std::string settingsPageOf(const QString& type) {
    const FormatRow* row = writerOf(type.toStdString());
    return row ? row->settingsPage : "";
}

} // namespace

MainWindow::MainWindow(std::unique_ptr<Prompter> prompter, QWidget* parent)
    : QMainWindow(parent),
      prompter_(prompter ? std::move(prompter) : std::make_unique<DialogPrompter>()),
      runner_(std::make_unique<JobRunner>()), thumbnailer_(std::make_unique<Thumbnailer>()) {
    initResources();
    setObjectName("mainWindow");
    setWindowTitle(tx(kWindowCaption));
    setAcceptDrops(true);
    listModel_ = new DirListModel(icons_, this);
    folderModel_ = new FolderTreeModel(icons_.folderIcon(), this);
    saveOptions_ = new SaveOptionsDialog(saveParams_, this);
    actions_ = new MainActions(this);
    edits_ = new EditCommands(*this, this);

    buildLayout();
    connectActions();
    progressPanel_ = new ProgressPanel(this);
    presenter_ = new JobPresenter(
        progressPanel_, status_, [this](bool on) { setLocked(on); }, this);
    connect(progressPanel_, &ProgressPanel::cancelClicked, this, &MainWindow::cancelJob);
    connect(runner_.get(), &JobRunner::workEvent, presenter_, &JobPresenter::onWorkEvent);
    connect(thumbnailer_.get(), &Thumbnailer::thumbnailReady, this,
            [this](uint generation, uint id, const QImage& image) {
                listModel_->addThumbnail(generation, id, image, img_.get());
            });
    thumbnailTimer_ = new QTimer(this);
    thumbnailTimer_->setSingleShot(true);
    thumbnailTimer_->setInterval(150);
    connect(thumbnailTimer_, &QTimer::timeout, this, &MainWindow::startThumbnails);

    // Every column of the detail list shows at first start.
    int columns = 0;
    for (int c = 0; c < DirListModel::kLabel; ++c)
        columns += kColumnWidths[c];
    setMinimumSize(740, 500);
    QSize size(columns + 168 + 60, 600);
    if (QScreen* s = screen())
        size = size.boundedTo(s->availableGeometry().size());
    resize(size);
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    restoreSettings();
    updateActions();
}

MainWindow::~MainWindow() {
    if (runner_->busy() && img_)
        img_->cancel = 1;
    thumbnailer_.reset();
    runner_.reset();
    // The widgets die after this body, as plain widgets: what they signal
    // then (a box losing its focus) must not reach this window.
    for (QObject* child : findChildren<QObject*>())
        QObject::disconnect(child, nullptr, this, nullptr);
    listModel_->clear();
    folderModel_->setRoot(nullptr);
}

// ---------------------------------------------------------------- building

void MainWindow::connectActions() {
    MainActions* a = actions_;
    auto on = [this](QAction* action, void (MainWindow::*slot)()) {
        connect(action, &QAction::triggered, this, slot);
    };
    on(a->newImage, &MainWindow::newImage);
    on(a->open, &MainWindow::openImageFromDialog);
    for (QAction* x : {a->extractTop, a->extractList, a->extractItem})
        on(x, &MainWindow::extractSelected);
    for (QAction* x : {a->exportAllTop, a->exportAllList, a->exportAllItem})
        on(x, &MainWindow::exportAll);
    on(a->exportTarItem, &MainWindow::exportTar);
    on(a->saveAs, &MainWindow::saveAs);
    on(a->up, &MainWindow::goUp);
    on(a->upFromList, &MainWindow::goUp);
    on(a->thumbnails, &MainWindow::showThumbnailView);
    on(a->icons, &MainWindow::showIconView);
    on(a->details, &MainWindow::showDetailView);
    on(a->openItem, &MainWindow::openSelected);
    on(a->newDir, &MainWindow::newDirectory);
    on(a->addFiles, &MainWindow::addFiles);
    on(a->remove, &MainWindow::deleteSelected);
    on(a->refresh, &MainWindow::refresh);
    on(a->rename, &MainWindow::renameSelected);
    on(a->permissions, &MainWindow::changePermissions);
    on(a->uid, &MainWindow::changeUid);
    on(a->gid, &MainWindow::changeGid);
    on(a->properties, &MainWindow::showProperties);
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
    fileToolBar_->addAction(actions_->newImage);
    fileToolBar_->addAction(actions_->open);
    jobToolBar_ = topBar("jobToolBar");
    jobToolBar_->addAction(actions_->extractTop);
    jobToolBar_->addAction(actions_->exportAllTop);
    jobToolBar_->addAction(actions_->saveAs);

    auto* work = new QFrame(this);
    work->setObjectName("workArea");
    work->setFrameShape(QFrame::StyledPanel);
    work->setFrameShadow(QFrame::Sunken);
    workArea_ = work;
    setCentralWidget(workArea_);
    auto* v = new QVBoxLayout(workArea_);
    v->setContentsMargins(2, 2, 2, 2);
    v->setSpacing(2);

    splitter_ = new QSplitter(Qt::Horizontal, workArea_);
    splitter_->setObjectName("splitter");
    folderView_ = new QTreeView(splitter_);
    folderView_->setObjectName("folderView");
    folderView_->setModel(folderModel_);
    folderView_->setHeaderHidden(true);
    folderView_->setIndentation(20);
    folderView_->setUniformRowHeights(true);
    folderView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    connect(folderView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& current) { onFolderSelected(current); });

    auto* right = new QWidget(splitter_);
    auto* rv = new QVBoxLayout(right);
    rv->setContentsMargins(0, 0, 0, 0);
    rv->setSpacing(2);
    auto* bar = new QHBoxLayout;
    listToolBar_ = new QToolBar(right);
    listToolBar_->setObjectName("listToolBar");
    listToolBar_->setIconSize(QSize(24, 24));
    listToolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    listToolBar_->addAction(actions_->up);
    listToolBar_->addAction(actions_->extractList);
    listToolBar_->addAction(actions_->exportAllList);
    viewButton_ = new QToolButton(listToolBar_);
    viewButton_->setIcon(IconProvider::themeIcon({"view-list-icons", "view-grid", "view-list"},
                                                 QStyle::SP_FileDialogListView));
    viewButton_->setToolTip(tx(kActionView));
    viewButton_->setMenu(actions_->viewMenu());
    viewButton_->setPopupMode(QToolButton::InstantPopup);
    listToolBar_->addWidget(viewButton_);
    bar->addWidget(listToolBar_);
    bar->addWidget(new QLabel(tx(kPathLabel), right));
    pathBox_ = new QLineEdit(right);
    pathBox_->setObjectName("pathBox");
    pathBox_->setClearButtonEnabled(false);
    connect(pathBox_, &QLineEdit::returnPressed, this, [this] { goToPath(pathBox_->text()); });
    // Leaving the box without Enter shows the listed folder's path again.
    connect(pathBox_, &QLineEdit::editingFinished, this, [this] {
        if (Node* n = listedNode())
            pathBox_->setText("/" + utf8(pathFromRoot(n)));
    });
    bar->addWidget(pathBox_, 1);
    rv->addLayout(bar);

    buildListViews(right);
    rv->addWidget(listStack_, 1);

    imageStatus_ = new QLabel(right);
    imageStatus_->setObjectName("imageStatus");
    imageStatus_->setFrameShape(QFrame::Panel);
    imageStatus_->setFrameShadow(QFrame::Sunken);
    imageStatus_->setTextFormat(Qt::PlainText);
    imageStatus_->setMinimumHeight(imageStatus_->fontMetrics().height() + 6);
    imageStatus_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    rv->addWidget(imageStatus_);

    splitter_->addWidget(folderView_);
    splitter_->addWidget(right);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({168, 760});
    v->addWidget(splitter_, 1);
    status_ = new StatusPanels(workArea_);
    v->addWidget(status_);
}

void MainWindow::buildListViews(QWidget* parent) {
    listStack_ = new QStackedWidget(parent);
    iconView_ = new QListView(listStack_);
    iconView_->setObjectName("iconView");
    iconView_->setModel(listModel_);
    iconView_->setViewMode(QListView::IconMode);
    iconView_->setMovement(QListView::Static);
    iconView_->setResizeMode(QListView::Adjust);
    iconView_->setLayoutMode(QListView::Batched);
    iconView_->setBatchSize(500);
    iconView_->setUniformItemSizes(true);
    iconView_->setWordWrap(true);
    iconDelegate_ = new IconDelegate(iconView_);
    iconView_->setItemDelegate(iconDelegate_);
    iconView_->setGridSize(iconDelegate_->cellSize(iconView_->fontMetrics()));
    connect(iconView_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] {
        if (view_ == View::kThumbnails)
            thumbnailTimer_->start();
    });

    detailView_ = new QTreeView(listStack_);
    detailView_->setObjectName("detailView");
    detailView_->setModel(listModel_);
    detailView_->setSelectionModel(iconView_->selectionModel());
    detailView_->setRootIsDecorated(false);
    detailView_->setItemsExpandable(false);
    detailView_->setUniformRowHeights(true);
    detailView_->setAllColumnsShowFocus(true);
    detailView_->setTextElideMode(Qt::ElideMiddle);
    QHeaderView* header = detailView_->header();
    header->setStretchLastSection(false);
    header->setSectionsMovable(false);
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(false);
    for (int c = 0; c < DirListModel::kColumnCount; ++c)
        header->resizeSection(c, kColumnWidths[c]);
    header->setSectionHidden(DirListModel::kLabel, true);
    connect(header, &QHeaderView::sectionClicked, this, &MainWindow::sortByColumn);
    // The header's popup shows and hides columns.
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this, [this, header](const QPoint& p) {
        QMenu menu(this);
        for (int c = 1; c < DirListModel::kColumnCount; ++c) {
            QAction* a = menu.addAction(
                listModel_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
            a->setCheckable(true);
            a->setChecked(!header->isSectionHidden(c));
            connect(a, &QAction::toggled, header,
                    [header, c](bool on) { header->setSectionHidden(c, !on); });
        }
        menu.exec(header->mapToGlobal(p));
    });

    for (QAbstractItemView* view : {static_cast<QAbstractItemView*>(iconView_),
                                    static_cast<QAbstractItemView*>(detailView_)}) {
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
        view->setSelectionBehavior(QAbstractItemView::SelectRows);
        view->setEditTriggers(QAbstractItemView::NoEditTriggers);
        view->setContextMenuPolicy(Qt::CustomContextMenu);
        view->installEventFilter(this);
        actions_->addListView(view);
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
}

void MainWindow::restoreSettings() {
    QSettings s;
    if (s.contains(kGeometryKey))
        restoreGeometry(s.value(kGeometryKey).toByteArray());
    if (s.contains(kSplitterKey))
        splitter_->restoreState(s.value(kSplitterKey).toByteArray());
    if (s.contains(kColumnsKey))
        detailView_->header()->restoreState(s.value(kColumnsKey).toByteArray());
    const int view = s.value(kViewKey, static_cast<int>(View::kIcons)).toInt();
    if (view >= static_cast<int>(View::kIcons) && view <= static_cast<int>(View::kThumbnails))
        setView(static_cast<View>(view));
}

void MainWindow::saveSettings() const {
    QSettings s;
    s.setValue(kGeometryKey, saveGeometry());
    s.setValue(kSplitterKey, splitter_->saveState());
    s.setValue(kColumnsKey, detailView_->header()->saveState());
    s.setValue(kViewKey, static_cast<int>(view_));
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
    return status_->text(panel);
}

int MainWindow::progressBlocks() const {
    return status_->strip()->blockCount();
}

QAbstractItemView* MainWindow::currentListView() const {
    return static_cast<QAbstractItemView*>(listStack_->currentWidget());
}

QMenu* MainWindow::popupMenu() {
    updateActions();
    return actions_->popup();
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

void MainWindow::updateActions() {
    ActionState s;
    s.busy = locked_ || busy();
    s.listed = listedNode() != nullptr;
    const QList<int> rows = selectedRows();
    s.selected = static_cast<int>(rows.size());
    s.firstIsFolder =
        !rows.isEmpty() && listModel_->row(rows.first()).entry.objType == kTypeDirectory;
    actions_->update(s);
}

// ---------------------------------------------------------------- jobs

void MainWindow::setLocked(bool locked) {
    // While the job still runs, its end unlocks the window.
    if (!locked && busy())
        return;
    locked_ = locked;
    fileToolBar_->setEnabled(!locked);
    jobToolBar_->setEnabled(!locked);
    workArea_->setEnabled(!locked);
    updateActions();
}

void MainWindow::runJob(std::function<void()> work, std::function<void(std::exception_ptr)> done) {
    // Thumbnails wait: the job may change the tree their worker reads.
    thumbnailer_->stop();
    listModel_->bumpGeneration();
    if (img_)
        img_->cancel = 0;
    runner_->start(std::move(work), [this, done = std::move(done)](std::exception_ptr error) {
        // A job's final event hides the panel and unlocks; this covers a job
        // that ended before it could send one.
        progressPanel_->hideprogress();
        setLocked(false);
        done(error);
        startThumbnails();
        emit jobFinished();
        if (closeAfterJob_) {
            closeAfterJob_ = false;
            QTimer::singleShot(0, this, &QWidget::close);
        }
    });
    updateActions();
}

void MainWindow::showJobError(std::exception_ptr error) {
    if (!error)
        return;
    try {
        std::rethrow_exception(error);
    } catch (const Error& e) {
        message(coreText(e.message()));
    } catch (const std::exception& e) {
        message(QString::fromUtf8(e.what()));
    } catch (...) {
        message(tx(kTextUnknownError));
    }
}

void MainWindow::cancelJob() {
    if (img_)
        img_->cancel = 1;
}

bool MainWindow::confirmDiscard() {
    return !img_ || !img_->modified || prompter_->askYesNo(this, tx(kTextDiscard), true);
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
               showWarnings();
           });
}

void MainWindow::switchTo(std::unique_ptr<Timg> img, const QString& path) {
    thumbnailer_->stop();
    listingFromTree_ = false;
    listModel_->clear();
    folderModel_->setRoot(nullptr);
    listingFromTree_ = true;
    listedId_ = 0;
    pathBox_->clear();
    selectedlist_.clear();
    status_->strip()->setText(QString());
    img_ = std::move(img);
    updateFromScan(saveParams_, *img_);
    if (path.isEmpty()) {
        imageStatus_->setText(tx(kImageNew));
        status_->setImage(tx(kNewName), QString(), tx(kUnknownSize));
    } else {
        // "EXT2/3" for the kinds the window always named so; ext4 by its name.
        const std::string f = img_->formatName();
        const QString format =
            f == "EXT2" || f == "EXT3" ? QString("EXT2/3") : QString::fromStdString(f);
        imageStatus_->setText(tx(kImageFileLabel) + path + tx(kImageFormatLabel) + format);
        status_->setImage(QFileInfo(path).fileName(), path, utf8(imagesizetext(img_->size())));
    }
    refreshTree(nullptr);
    filllist(img_->root());
    // Android images carry SELinux labels: show their column.
    bool labels = false;
    forEachPreorder(img_->root(), [&](Node* n) {
        for (const Xattr& x : n->entry.xattrs)
            labels = labels || x.name == "security.selinux";
    });
    if (labels)
        detailView_->header()->setSectionHidden(DirListModel::kLabel, false);
}

void MainWindow::showWarnings() {
    const std::vector<Message>& warnings = img_->warningMessages();
    if (warnings.empty())
        return;
    const auto count = static_cast<qsizetype>(warnings.size());
    status_->setStatus(tx(kTextReadWarnings).arg(count));
    QStringList lines;
    for (const Message& m : warnings)
        lines << coreText(m);
    prompter_->showErrorList(this, tx(kWarningsCaption), tx(kWarningsSummary).arg(count), lines);
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

void MainWindow::filllist(Node* node, uint32_t selectId) {
    if (!img_ || !node || !node->isDirectory())
        return;
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    thumbnailer_->stop();
    listedId_ = node->entry.objId;
    pathBox_->setText("/" + utf8(pathFromRoot(node)));
    listModel_->fill(*node, *img_);
    currentListView()->scrollToTop();
    followInTree(node);
    if (const int row = selectId ? listModel_->rowOf(selectId) : -1; row >= 0) {
        selectRows({row});
        currentListView()->scrollTo(listModel_->index(row, 0));
    }
    onListSelectionChanged();
    startThumbnails();
    QGuiApplication::restoreOverrideCursor();
    emit listFilled();
}

// The tree shows and selects the listed folder.
void MainWindow::followInTree(Node* node) {
    const QModelIndex index = folderModel_->indexOf(node);
    if (!index.isValid() || folderView_->currentIndex() == index)
        return;
    listingFromTree_ = false;
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent())
        folderView_->expand(p);
    folderView_->setCurrentIndex(index);
    folderView_->scrollTo(index);
    listingFromTree_ = true;
}

void MainWindow::onFolderSelected(const QModelIndex& index) {
    if (!listingFromTree_ || busy())
        return;
    Node* n = folderModel_->nodeAt(index);
    if (n && n->entry.objId != listedId_)
        filllist(n);
}

void MainWindow::onListSelectionChanged() {
    QList<int> rows = selectedRows();
    selectedlist_ = rows;
    updateActions();
    Node* n = !rows.isEmpty() && img_ ? img_->nodeFor(listModel_->row(rows.first()).entry.objId)
                                      : nullptr;
    // Nothing selected (or the object is gone): no summary.
    status_->strip()->setText(n ? summaryText(describeObject(*img_, *n)) : QString());
}

void MainWindow::reselectlist(const QList<int>& rows) {
    currentListView()->setFocus();
    for (int row : rows) {
        if (row < 0 || row >= listModel_->rows())
            continue;
        if (Node* n = img_->nodeFor(listModel_->row(row).entry.objId))
            listModel_->refreshRow(row, *n, *img_);
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
        filllist(n->parent, n->entry.objId);
}

void MainWindow::goToPath(const QString& path) {
    Node* root = img_ ? img_->root() : nullptr;
    if (busy() || !root)
        return;
    const QByteArray bytes = path.trimmed().toUtf8();
    Node* n = findPath(root, std::string_view(bytes.data(), static_cast<size_t>(bytes.size())));
    if (!n) {
        message(tx(kNoSuchPath).arg(path.trimmed()));
        if (Node* listed = listedNode())
            pathBox_->setText("/" + utf8(pathFromRoot(listed)));
        return;
    }
    if (n->isDirectory())
        filllist(n);
    else if (n->parent)
        filllist(n->parent, n->entry.objId);
    currentListView()->setFocus();
}

void MainWindow::refresh() {
    Node* n = listedNode();
    if (busy() || !n)
        return;
    std::vector<uint32_t> keep = selectedIds();
    filllist(n);
    QList<int> rows;
    for (uint32_t id : keep)
        if (int r = listModel_->rowOf(id); r >= 0)
            rows << r;
    std::sort(rows.begin(), rows.end());
    selectRows(rows);
}

void MainWindow::sortByColumn(int column) {
    QHeaderView* header = detailView_->header();
    Qt::SortOrder order = Qt::AscendingOrder;
    if (listModel_->sortColumn() == column && listModel_->sortOrder() == Qt::AscendingOrder)
        order = Qt::DescendingOrder;
    header->setSortIndicatorShown(true);
    header->setSortIndicator(column, order);
    listModel_->sort(column, order);
    onListSelectionChanged();
    startThumbnails();
}

void MainWindow::setView(View view) {
    view_ = view;
    iconDelegate_->setThumbnails(view == View::kThumbnails);
    iconView_->setGridSize(iconDelegate_->cellSize(iconView_->fontMetrics()));
    listStack_->setCurrentWidget(view == View::kDetails ? static_cast<QWidget*>(detailView_)
                                                        : static_cast<QWidget*>(iconView_));
    QAction* checked = view == View::kDetails      ? actions_->details
                       : view == View::kThumbnails ? actions_->thumbnails
                                                   : actions_->icons;
    checked->setChecked(true);
    // The grid size lays the cells out anew, in batches.
    iconView_->viewport()->update();
}

void MainWindow::showIconView() {
    setView(View::kIcons);
}

void MainWindow::showDetailView() {
    setView(View::kDetails);
}

void MainWindow::showThumbnailView() {
    setView(View::kThumbnails);
    listModel_->bumpGeneration();
    startThumbnails();
}

// Makes the missing thumbnails of the listing, those in sight first.
void MainWindow::startThumbnails() {
    if (view_ != View::kThumbnails || !img_ || busy() || listModel_->rows() == 0)
        return;
    const int rows = listModel_->rows();
    int first = iconView_->indexAt(QPoint(4, 4)).row();
    if (first < 0)
        first = 0;
    std::vector<Thumbnailer::Item> items;
    for (int k = 0; k < rows; ++k) {
        const ListRow& r = listModel_->row((first + k) % rows);
        if (r.entry.picIndex < 0 && r.entry.objType == kTypeFile && isPictureName(r.text))
            items.push_back({r.entry.objId, r.text, r.entry});
    }
    if (!items.empty())
        thumbnailer_->start(listModel_->generation(), std::move(items), img_.get());
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == iconView_ || watched == detailView_) && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
            if (key->modifiers() & Qt::AltModifier)
                return QMainWindow::eventFilter(watched, event);
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
    const QIcon icon = n->entry.objType == kTypeSymlink ? icons_.linkIconFor(n->text)
                                                        : icons_.iconFor(n->text, n->isDirectory());
    prompter_->showProperties(this, describeObject(*img_, *n), icon);
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
    if (busy() || !listedNode())
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
    ExtractOptions opt;
    // Asked on the worker, which waits while the main thread shows it.
    JobRunner* runner = runner_.get();
    opt.askReplace = [this, runner, folder](const std::string& path) {
        const QString inImage = utf8(path);
        const QString onDisk = QDir(folder).filePath(QFile::decodeName(path.c_str()));
        ClashAnswer answer = ClashAnswer::kSkip;
        runner->callOnMainThread(
            [&] { answer = prompter_->askClash(this, tx(kClashExtract), inImage, onDisk); });
        return answer;
    };
    presenter_->setFormatName(QString::fromStdString(img->formatName()));
    runJob([img, ids, target, opt, result] { *result = outfiles(*img, ids, target, opt); },
           [this, result](std::exception_ptr error) {
               if (error) {
                   showJobError(error);
                   return;
               }
               const ExtractResult& r = *result;
               QString text = r.cancelled ? tx(kExtractCancelled).arg(r.written)
                                          : tx(kExtractDone).arg(r.written);
               if (r.replaced > 0)
                   text += "\n" + tx(kExtractReplaced).arg(r.replaced);
               if (r.kept > 0)
                   text += "\n" + tx(kExtractKept).arg(r.kept);
               if (!r.skipped.empty())
                   text += "\n" + tx(kExtractFailed).arg(r.skipped.size());
               message(text);
               if (r.skipped.empty())
                   return;
               QStringList lines;
               for (const SkippedObject& s : r.skipped)
                   lines << coreText(s.line());
               prompter_->showErrorList(this, tx(kExtractErrorsCaption), QString(), lines);
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
                   lines << coreText(s.line());
               prompter_->showErrorList(this, tx(kExtractErrorsCaption), QString(), lines);
           });
}

// ---------------------------------------------------------------- saving

void MainWindow::onSaveTypeChanged(const QString& type, QWidget* dialog) {
    const SaveType* t = saveTypeNamed(type.toStdString());
    if (!t)
        return;
    // The plain YAFFS2 type keeps the geometry and puts the tags at the head
    // of the spare area; its variant takes the layout from the settings.
    if (settingsPageOf(type) == "yaffs2" && !t->appOnly)
        pickPlainYaffs2(saveParams_);
    else
        saveOptions_->showBeside(dialog);
}

void MainWindow::saveAs() {
    if (busy() || !listedNode())
        return;
    std::optional<SaveTarget> target = prompter_->chooseSaveTarget(
        this, saveTypeFor(*img_),
        [this](const QString& type, QWidget* dialog) { onSaveTypeChanged(type, dialog); });
    if (!target || target->path.isEmpty())
        return;
    const FormatRow* writer = writerOf(target->type.toStdString());
    if (!writer)
        return;
    // The save clears the mark of unsaved edits; a save that fails or is
    // cancelled puts it back, so closing still asks before they are lost.
    const bool wasModified = img_->modified;
    img_->modified = false;
    auto saved = std::make_shared<bool>(false);
    Timg* img = img_.get();
    const QString shownPath = QFileInfo(target->path).absoluteFilePath();
    SaveRequest req;
    req.path = fileName(target->path);
    req.type = target->type.toStdString();
    if (std::string(writer->settingsPage) == "yaffs2") {
        req.options = yaffs2LayoutOptions(saveParams_.layout);
    } else {
        req.sparse = saveOptions_->sparse();
        req.likeSource = saveOptions_->sameAsSource();
    }
    // The panel names the format written: "EXT4", "YAFFS2".
    presenter_->setFormatName(target->type.section('-', 0, 0).toUpper());
    runJob([img, req, saved] { *saved = saveas(*img, req); },
           [this, saved, wasModified, shownPath](std::exception_ptr error) {
               if (error || !*saved)
                   img_->modified = img_->modified || wasModified;
               if (error)
                   showJobError(error);
               else
                   message(*saved ? tx(kSaved).arg(shownPath) : tx(kSaveCancelled));
           });
}

// ---------------------------------------------------------------- adding

void MainWindow::addFiles() {
    if (busy() || !listedNode())
        return;
    std::optional<FileChoice> choice = prompter_->chooseFiles(this);
    if (choice && !choice->paths.isEmpty())
        addPaths(choice->paths, choice->keepAttributes);
}

void MainWindow::addPaths(const QStringList& paths, bool keepAttributes) {
    if (busy() || !listedNode() || paths.isEmpty())
        return;
    std::vector<std::string> list;
    for (const QString& p : paths)
        list.push_back(fileName(p));
    const uint32_t dirId = listedId_;
    Timg* img = img_.get();
    AddOptions opt;
    opt.keepAttributes = keepAttributes;
    // Asked on the worker, which waits while the main thread shows the
    // question. The path is made here, where reading the tree is safe.
    JobRunner* runner = runner_.get();
    opt.ask = [this, img, runner](const std::string& source, const Node& existing) {
        QString from = QFile::decodeName(QByteArray::fromStdString(source));
        QString to = "/" + utf8(nodepath(img->root(), &existing));
        ClashAnswer answer = ClashAnswer::kSkip;
        runner->callOnMainThread(
            [&] { answer = prompter_->askClash(this, tx(kClashAdd), from, to); });
        return answer;
    };
    auto result = std::make_shared<AddResult>();
    presenter_->setFormatName(QString::fromStdString(img->formatName()));
    runJob([img, list, dirId, opt, result] { *result = addfiles(*img, list, dirId, opt); },
           [this, result, dirId](std::exception_ptr error) {
               Node* dir = img_->nodeFor(dirId);
               refreshTree(dir);
               filllist(dir);
               showJobError(error);
               if (result->errlist.empty())
                   return;
               QStringList lines;
               for (const Message& line : result->errlist)
                   lines << coreText(line);
               prompter_->showErrorList(this, tx(kAddErrorsCaption), QString(), lines);
           });
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    if (!busy() && listedNode() && event->mimeData()->hasUrls())
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
    if (paths.isEmpty() || busy() || !listedNode()) {
        QMainWindow::dropEvent(event);
        return;
    }
    event->acceptProposedAction();
    // Added after the drop has finished, so the file manager is not kept
    // waiting; with the attributes as the chooser last kept them.
    const bool keep = QSettings().value(kKeepAttributesKey, true).toBool();
    QTimer::singleShot(0, this, [this, paths, keep] { addPaths(paths, keep); });
}

// ---------------------------------------------------------------- edits

void MainWindow::newDirectory() {
    edits_->newDirectory();
}

void MainWindow::deleteSelected() {
    edits_->deleteSelected();
}

void MainWindow::renameSelected() {
    edits_->renameSelected();
}

void MainWindow::changePermissions() {
    edits_->changePermissions();
}

void MainWindow::changeUid() {
    edits_->changeUid();
}

void MainWindow::changeGid() {
    edits_->changeGid();
}

// What the edit commands ask of the window.

Timg* MainWindow::editableImage() const {
    return busy() ? nullptr : img_.get();
}

Node* MainWindow::listedFolder() const {
    return listedNode();
}

Prompter& MainWindow::prompter() {
    return *prompter_;
}

QWidget* MainWindow::dialogParent() {
    return this;
}

void MainWindow::relist(Node* dir, uint32_t selectId) {
    refreshTree(dir);
    filllist(dir, selectId);
}

void MainWindow::reselect(const QList<int>& rows) {
    reselectlist(rows);
}

void MainWindow::beginRemoval() {
    // Thumbnails of the rows that go are dropped; the rest are made again.
    thumbnailer_->stop();
    listModel_->bumpGeneration();
    listingFromTree_ = false;
}

void MainWindow::endRemoval() {
    listingFromTree_ = true;
    followInTree(listedNode());
    onListSelectionChanged();
    startThumbnails();
}

void MainWindow::renamed(uint32_t) {
    onListSelectionChanged();
    // The name may now be a picture's, or no longer.
    if (view_ == View::kThumbnails)
        refresh();
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
    saveSettings();
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (progressPanel_)
        progressPanel_->centre();
}

} // namespace korvane::ui
