#include "mainwindow.h"

#include "dirlistmodel.h"
#include "foldertreemodel.h"
#include "fs/registry.h"
#include "jobpresenter.h"
#include "jobrunner.h"
#include "language.h"
#include "mainactions.h"
#include "model/error.h"
#include "model/texts.h"
#include "model/tree.h"
#include "opencommands.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "savecommand.h"
#include "statuspanels.h"
#include "thumbnailer.h"
#include "transfer/loadimage.h"
#include "transfercommands.h"
#include "uitexts.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSplitter>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
#include <QVBoxLayout>

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

const char* const kGeometryKey = "window/geometry";
const char* const kSplitterKey = "window/splitter";
const char* const kViewKey = "window/view";
const char* const kColumnsKey = "window/columns";
const char* const kKeepAttributesKey = "add/keepAttributes";

// The format as the image line names it: "EXT2/3" for the kinds the window
// always named so, the byte layers the image was read through after it
// ("EXT4, Android sparse").
QString formatText(const Timg& img) {
    const std::string f = img.formatName();
    QString text = f == "EXT2" || f == "EXT3" ? QString("EXT2/3") : utf8(f);
    for (const std::string& l : img.layers())
        if (const FormatRow* row = formatNamed(l))
            text += ", " + utf8(row->title);
    return text;
}

} // namespace

MainWindow::MainWindow(std::unique_ptr<Prompter> prompter, QWidget* parent)
    : QMainWindow(parent),
      prompter_(prompter ? std::move(prompter) : std::make_unique<DialogPrompter>()),
      runner_(std::make_unique<JobRunner>()), thumbnailer_(std::make_unique<Thumbnailer>()) {
    initResources();
    setObjectName("mainWindow");
    setAcceptDrops(true);
    listModel_ = new DirListModel(icons_, this);
    folderModel_ = new FolderTreeModel(icons_.folderIcon(), this);
    actions_ = new MainActions(this);
    edits_ = new EditCommands(*this, this);
    transfers_ = new TransferCommands(*this);
    saving_ = new SaveCommand(*this);
    opening_ = new OpenCommands(*this);

    buildLayout();
    connectActions();
    progressPanel_ = new ProgressPanel(this);
    presenter_ = new JobPresenter(
        progressPanel_, status_, [this](bool on) { setLocked(on); }, this);
    connect(progressPanel_, &ProgressPanel::cancelClicked, this, &MainWindow::cancelJob);
    connect(runner_.get(), &JobRunner::workEvent, presenter_, &JobPresenter::onWorkEvent);
    connect(thumbnailer_.get(), &Thumbnailer::thumbnailReady, this,
            [this](uint generation, uint id, const QImage& picture) {
                listModel_->addThumbnail(generation, id, picture, image());
            });
    thumbnailTimer_ = new QTimer(this);
    thumbnailTimer_->setSingleShot(true);
    thumbnailTimer_->setInterval(150);
    connect(thumbnailTimer_, &QTimer::timeout, this, &MainWindow::startThumbnails);

    // Every column of the detail list shows at first start.
    setMinimumSize(740, 500);
    QSize size(950 + 168 + 60, 600);
    if (QScreen* s = screen())
        size = size.boundedTo(s->availableGeometry().size());
    resize(size);
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    restoreSettings();
    updateActions();
    updateTitle();
}

MainWindow::~MainWindow() {
    if (runner_->busy() && !chain_.empty())
        chain_.cancel();
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
    on(a->openAs, &MainWindow::openImageAs);
    on(a->openAsItem, &MainWindow::openSelectedAs);
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
    fileToolBar_->addAction(actions_->openAs);
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

    pane_ = new ListPane(listModel_, actions_, splitter_);
    connect(pane_, &ListPane::activated, this, &MainWindow::openSelected);
    connect(pane_, &ListPane::popupRequested, this,
            [this](const QPoint& at) { popupMenu()->exec(at); });
    connect(pane_, &ListPane::selectionChanged, this, &MainWindow::onListSelectionChanged);
    connect(pane_, &ListPane::pathEntered, this, &MainWindow::goToPath);
    connect(pane_, &ListPane::pathAbandoned, this, &MainWindow::showListedPath);
    connect(pane_, &ListPane::scrolled, this, [this] {
        if (view() == View::kThumbnails)
            thumbnailTimer_->start();
    });
    connect(pane_, &ListPane::sorted, this, [this] {
        onListSelectionChanged();
        startThumbnails();
    });

    splitter_->addWidget(folderView_);
    splitter_->addWidget(pane_);
    splitter_->setStretchFactor(0, 0);
    splitter_->setStretchFactor(1, 1);
    splitter_->setSizes({168, 760});
    v->addWidget(splitter_, 1);
    status_ = new StatusPanels(workArea_);
    v->addWidget(status_);
}

void MainWindow::restoreSettings() {
    QSettings s;
    if (s.contains(kGeometryKey))
        restoreGeometry(s.value(kGeometryKey).toByteArray());
    if (s.contains(kSplitterKey))
        splitter_->restoreState(s.value(kSplitterKey).toByteArray());
    if (s.contains(kColumnsKey))
        pane_->restoreHeaderState(s.value(kColumnsKey).toByteArray());
    const int v = s.value(kViewKey, static_cast<int>(View::kIcons)).toInt();
    if (v >= static_cast<int>(View::kIcons) && v <= static_cast<int>(View::kThumbnails))
        setView(static_cast<View>(v));
}

void MainWindow::saveSettings() const {
    QSettings s;
    s.setValue(kGeometryKey, saveGeometry());
    s.setValue(kSplitterKey, splitter_->saveState());
    s.setValue(kColumnsKey, pane_->headerState());
    s.setValue(kViewKey, static_cast<int>(view()));
}

// ---------------------------------------------------------------- state

bool MainWindow::busy() const {
    return runner_->busy();
}

QString MainWindow::pathText() const {
    return pathBox()->text();
}

QString MainWindow::imageStatusText() const {
    return pane_->imageStatus()->text();
}

QString MainWindow::statusPanelText(int panel) const {
    return status_->text(panel);
}

int MainWindow::progressBlocks() const {
    return status_->strip()->blockCount();
}

const SaveParams& MainWindow::saveParams() const {
    return saving_->params();
}

SaveParams& MainWindow::saveParams() {
    return saving_->params();
}

SaveOptionsDialog* MainWindow::saveOptionsDialog() const {
    return saving_->dialog();
}

QMenu* MainWindow::popupMenu() {
    updateActions();
    return actions_->popup();
}

Node* MainWindow::listedNode() const {
    return image() && listedId_ != 0 ? image()->nodeFor(listedId_) : nullptr;
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
    const uint8_t type =
        rows.isEmpty() ? kTypeUnknown : listModel_->row(rows.first()).entry.objType;
    s.firstIsFolder = type == kTypeDirectory;
    s.firstIsFile = type == kTypeFile;
    s.container = image() && image()->isContainer();
    actions_->update(s);
}

void MainWindow::updateTitle() {
    QString title = tx(kWindowCaption);
    if (!chain_.empty()) {
        title = QFileInfo(path_).fileName();
        if (title.isEmpty())
            title = tx(kNewName);
        for (const std::string& m : chain_.memberNames())
            title += tx(kChainSeparator) + utf8(m);
        if (chain_.modified())
            title += " *";
        title += " - " + tx(kWindowCaption);
    }
    setWindowTitle(title);
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
    for (size_t level = 0; level < chain_.depth(); ++level)
        chain_.at(level).cancel = 0;
    runner_->start(std::move(work), [this, done = std::move(done)](std::exception_ptr error) {
        // A job's final event hides the panel and unlocks; this covers a job
        // that ended before it could send one.
        progressPanel_->hideprogress();
        setLocked(false);
        done(error);
        updateTitle();
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
    if (!chain_.empty())
        chain_.cancel();
}

bool MainWindow::confirmDiscard() {
    return !chain_.modified() || prompter_->askYesNo(this, tx(kTextDiscard), false);
}

// ---------------------------------------------------------------- opening

void MainWindow::newImage() {
    opening_->newImage();
}

void MainWindow::openImageFromDialog() {
    opening_->openFromDialog();
}

void MainWindow::openImageAs() {
    opening_->openAs();
}

void MainWindow::openImage(const QString& path, const QString& format) {
    opening_->open(path, format);
}

void MainWindow::clearListing() {
    thumbnailer_->stop();
    listingFromTree_ = false;
    listModel_->clear();
    folderModel_->setRoot(nullptr);
    listingFromTree_ = true;
    listedId_ = 0;
    pathBox()->clear();
    selectedlist_.clear();
    status_->strip()->setText(QString());
}

void MainWindow::switchTo(ImageChain chain, const QString& path) {
    clearListing();
    chain_ = std::move(chain);
    path_ = path;
    showImage(0);
}

void MainWindow::showImage(uint32_t selectId) {
    Timg* img = image();
    saving_->imageOpened(*img);
    if (path_.isEmpty()) {
        pane_->imageStatus()->setText(tx(kImageNew));
        status_->setImage(tx(kNewName), QString(), tx(kUnknownSize));
    } else {
        QString shown = path_;
        for (const std::string& m : chain_.memberNames())
            shown += tx(kChainSeparator) + utf8(m);
        pane_->imageStatus()->setText(tx(kImageFileLabel) + shown + tx(kImageFormatLabel) +
                                      formatText(*img));
        status_->setImage(QFileInfo(path_).fileName(), path_, utf8(imagesizetext(img->size())));
    }
    refreshTree(nullptr);
    filllist(img->root(), selectId);
    // Android images carry SELinux labels: show their column.
    bool labels = false;
    forEachPreorder(img->root(), [&](Node* n) {
        for (const Xattr& x : n->entry.xattrs)
            labels = labels || x.name == "security.selinux";
    });
    if (labels)
        pane_->showLabelColumn();
    updateTitle();
}

// Outlines the folder tree anew, collapsed to the root and the folders down
// to keepVisible.
void MainWindow::refreshTree(Node* keepVisible) {
    listingFromTree_ = false;
    folderModel_->setRoot(image() ? image()->root() : nullptr);
    folderView_->collapseAll();
    folderView_->expand(folderModel_->index(0, 0));
    for (Node* n = keepVisible ? keepVisible->parent : nullptr; n; n = n->parent)
        folderView_->expand(folderModel_->indexOf(n));
    listingFromTree_ = true;
}

// ---------------------------------------------------------------- listing

void MainWindow::filllist(Node* node, uint32_t selectId) {
    if (!image() || !node || !node->isDirectory())
        return;
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    thumbnailer_->stop();
    listedId_ = node->entry.objId;
    showListedPath();
    listModel_->fill(*node, *image());
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

QString MainWindow::chainPrefix() const {
    if (chain_.depth() < 2)
        return {};
    QString prefix = QFileInfo(path_).fileName();
    for (const std::string& m : chain_.memberNames())
        prefix += tx(kChainSeparator) + utf8(m);
    return prefix + tx(kChainSeparator);
}

void MainWindow::showListedPath() {
    if (Node* n = listedNode())
        pathBox()->setText(chainPrefix() + "/" + utf8(pathFromRoot(n)));
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
    Timg* img = image();
    Node* n =
        !rows.isEmpty() && img ? img->nodeFor(listModel_->row(rows.first()).entry.objId) : nullptr;
    // Nothing selected (or the object is gone): no summary.
    status_->strip()->setText(n ? summaryText(describeObject(*img, *n)) : QString());
}

void MainWindow::reselectlist(const QList<int>& rows) {
    currentListView()->setFocus();
    for (int row : rows) {
        if (row < 0 || row >= listModel_->rows())
            continue;
        if (Node* n = image()->nodeFor(listModel_->row(row).entry.objId))
            listModel_->refreshRow(row, *n, *image());
    }
    selectRows(rows);
    onListSelectionChanged();
}

void MainWindow::openSelected() {
    QList<int> rows = selectedRows();
    if (busy() || !image() || rows.isEmpty())
        return;
    Node* n = image()->nodeFor(listModel_->row(rows.first()).entry.objId);
    if (n && n->isDirectory())
        filllist(n);
    else if (n && image()->isContainer() && n->entry.objType == kTypeFile)
        opening_->enter(n);
}

void MainWindow::openSelectedAs() {
    QList<int> rows = selectedRows();
    if (busy() || !image() || rows.isEmpty())
        return;
    opening_->enterAs(image()->nodeFor(listModel_->row(rows.first()).entry.objId));
}

void MainWindow::goUp() {
    Node* n = listedNode();
    if (busy() || !n)
        return;
    if (n->parent)
        filllist(n->parent, n->entry.objId);
    else
        opening_->leave();
}

void MainWindow::goToPath(const QString& typed) {
    Node* root = image() ? image()->root() : nullptr;
    if (busy() || !root)
        return;
    // The chain of images before the path is shown, not typed.
    QString path = typed.trimmed();
    const QString separator = tx(kChainSeparator).trimmed();
    if (const qsizetype at = path.lastIndexOf(separator); at >= 0)
        path = path.mid(at + separator.size()).trimmed();
    const QByteArray bytes = path.toUtf8();
    Node* n = findPath(root, std::string_view(bytes.data(), static_cast<size_t>(bytes.size())));
    if (!n) {
        message(tx(kNoSuchPath).arg(path));
        showListedPath();
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

void MainWindow::setView(View v) {
    pane_->setView(v);
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
    if (view() != View::kThumbnails || !image() || busy() || listModel_->rows() == 0)
        return;
    const int rows = listModel_->rows();
    const int first = pane_->firstVisibleRow();
    std::vector<Thumbnailer::Item> items;
    for (int k = 0; k < rows; ++k) {
        const ListRow& r = listModel_->row((first + k) % rows);
        if (r.entry.picIndex < 0 && r.entry.objType == kTypeFile && isPictureName(r.text))
            items.push_back({r.entry.objId, r.text, r.entry});
    }
    if (!items.empty())
        thumbnailer_->start(listModel_->generation(), std::move(items), image());
}

// ---------------------------------------------------------------- commands

void MainWindow::showProperties() {
    QList<int> rows = selectedRows();
    if (busy() || !image() || rows.isEmpty())
        return;
    Node* n = image()->nodeFor(listModel_->row(rows.first()).entry.objId);
    if (!n)
        return;
    const QIcon icon = n->entry.objType == kTypeSymlink ? icons_.linkIconFor(n->text)
                                                        : icons_.iconFor(n->text, n->isDirectory());
    prompter_->showProperties(this, describeObject(*image(), *n), icon);
}

void MainWindow::extractSelected() {
    transfers_->extractSelected();
}

void MainWindow::exportAll() {
    transfers_->exportAll();
}

void MainWindow::exportTar() {
    transfers_->exportTar();
}

void MainWindow::saveAs() {
    saving_->saveAs();
}

void MainWindow::addFiles() {
    transfers_->addFiles();
}

void MainWindow::addPaths(const QStringList& paths, bool keepAttributes) {
    transfers_->addPaths(paths, keepAttributes);
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
    return busy() ? nullptr : image();
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
    updateTitle();
}

void MainWindow::reselect(const QList<int>& rows) {
    reselectlist(rows);
    updateTitle();
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
    updateTitle();
}

void MainWindow::renamed(uint32_t) {
    onListSelectionChanged();
    updateTitle();
    // The name may now be a picture's, or no longer.
    if (view() == View::kThumbnails)
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
