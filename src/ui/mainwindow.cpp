#include "mainwindow.h"

#include "comparecommand.h"
#include "comparewindow.h"
#include "dirlistmodel.h"
#include "fileviewer.h"
#include "foldertreemodel.h"
#include "fs/registry.h"
#include "imageinfodialog.h"
#include "jobpresenter.h"
#include "jobrunner.h"
#include "language.h"
#include "mainactions.h"
#include "model/error.h"
#include "model/texts.h"
#include "progresspanel.h"
#include "progressstrip.h"
#include "savecommand.h"
#include "statuspanels.h"
#include "thumbnailer.h"
#include "uitexts.h"

#include <QAction>
#include <QCloseEvent>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
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
#include <QToolButton>
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
    nav_ = new Navigator(*this);
    edits_ = new EditCommands(*this, this);
    transfers_ = new TransferCommands(*this);
    saving_ = new SaveCommand(*this);
    opening_ = new OpenCommands(*this);
    contents_ = new ContentCommands(*this);
    compare_ = new CompareCommand(*this);
    listModel_->setDragData(
        [this](const std::vector<uint32_t>& ids) { return contents_->dragData(ids); });

    buildLayout();
    nav_->connectViews();
    connect(nav_, &Navigator::listFilled, this, &MainWindow::listFilled);
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

    // Every column of the detail list shows at first start.
    setMinimumSize(740, 500);
    QSize size(1100 + 168 + 60, 640);
    if (QScreen* s = screen())
        size = size.boundedTo(s->availableGeometry().size());
    resize(size);
    if (QScreen* s = screen())
        move(s->availableGeometry().center() - rect().center());
    restoreSettings();
    opening_->showRecent();
    updateActions();
    updateTitle();
}

MainWindow::~MainWindow() {
    if (runner_->busy() && !chain_.empty())
        chain_.cancel();
    thumbnailer_.reset();
    runner_.reset();
    // The viewer and the compare window read the images and use the icons,
    // which die before the children do: hidden now, they no longer ask.
    if (QWidget* v = contents_->viewer())
        v->hide();
    if (QWidget* c = compare_->window())
        c->hide();
    // The widgets die after this body, as plain widgets: what they signal
    // then (a box losing its focus, a selection cleared) must not reach this
    // window or the commands that act on it.
    const QObject* receivers[] = {this,    nav_,     edits_,    transfers_,
                                  saving_, opening_, contents_, compare_};
    for (QObject* child : findChildren<QObject*>())
        for (const QObject* r : receivers)
            QObject::disconnect(child, nullptr, r, nullptr);
    listModel_->clear();
    folderModel_->setRoot(nullptr);
}

// ---------------------------------------------------------------- building

void MainWindow::connectActions() {
    MainActions* a = actions_;
    auto on = [this](QAction* action, auto slot) {
        connect(action, &QAction::triggered, this, slot);
    };
    on(a->newImage, &MainWindow::newImage);
    on(a->open, &MainWindow::openImageFromDialog);
    on(a->openAs, &MainWindow::openImageAs);
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
    on(a->undo, &MainWindow::undo);
    on(a->redo, &MainWindow::redo);
    on(a->imageInfo, &MainWindow::showImageInfo);
    on(a->compare, &MainWindow::compareWith);
    on(a->goToTarget, [this] { nav_->goToLinkTarget(); });
    on(a->openWithApp, [this] { contents_->openSelectedWithApp(); });
    on(a->find, [this] {
        pane_->filterBox()->setFocus();
        pane_->filterBox()->selectAll();
    });
    connect(a, &MainActions::openAsFormat, this,
            [this](const QString& format) { opening_->enterSelectedAs(format); });
    connect(a, &MainActions::openRecent, opening_, &OpenCommands::openRecent);
    connect(pane_, &ListPane::popupRequested, this,
            [this](const QPoint& at) { popupMenu()->exec(at); });
}

void MainWindow::buildLayout() {
    auto topBar = [this](const char* name, const QList<QAction*>& items) {
        auto* bar = new QToolBar(this);
        bar->setObjectName(name);
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setIconSize(QSize(32, 32));
        bar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        bar->setContextMenuPolicy(Qt::PreventContextMenu);
        bar->addActions(items);
        addToolBar(Qt::TopToolBarArea, bar);
        return bar;
    };
    MainActions* a = actions_;
    fileToolBar_ = topBar("fileToolBar", {a->newImage, a->open, a->openAs});
    // " 打 开 " drops down the images opened last.
    if (auto* b = qobject_cast<QToolButton*>(fileToolBar_->widgetForAction(a->open)))
        b->setPopupMode(QToolButton::MenuButtonPopup);
    jobToolBar_ = topBar("jobToolBar", {a->extractTop, a->exportAllTop, a->saveAs});
    editToolBar_ = topBar("editToolBar", {a->undo, a->redo, a->imageInfo, a->compare});

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
    pane_ = new ListPane(listModel_, nav_->results(), actions_, splitter_);

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
        nav_->setView(static_cast<View>(v));
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

void MainWindow::message(const QString& text) {
    prompter_->showMessage(this, text);
}

void MainWindow::updateActions() {
    ActionState s;
    s.busy = locked_ || busy();
    s.listed = listedNode() != nullptr;
    const QList<int> rows = selectedRows();
    s.selected = static_cast<int>(rows.size());
    const ListRow* first = rows.isEmpty() ? nullptr : &listModel_->row(rows.first());
    const uint8_t type = first ? first->shown().objType : static_cast<uint8_t>(kTypeUnknown);
    s.firstIsFolder = type == kTypeDirectory;
    s.firstIsFile = type == kTypeFile;
    s.firstIsLink = type == kTypeSymlink;
    s.container = image() && image()->isContainer();
    s.canUndo = edits_->canUndo();
    s.canRedo = edits_->canRedo();
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
    updateActions();
}

// ---------------------------------------------------------------- jobs

void MainWindow::setLocked(bool locked) {
    // While the job still runs, its end unlocks the window.
    if (!locked && busy())
        return;
    locked_ = locked;
    for (QWidget* w : {static_cast<QWidget*>(fileToolBar_), static_cast<QWidget*>(jobToolBar_),
                       static_cast<QWidget*>(editToolBar_), workArea_})
        w->setEnabled(!locked);
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
        nav_->startThumbnails();
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

// ---------------------------------------------------------------- images

void MainWindow::switchTo(ImageChain chain, const QString& path,
                          std::optional<FileIdentity> identity) {
    nav_->clearListing();
    chain_ = std::move(chain);
    path_ = path;
    openedFile_ = identity;
    edits_->imagesChanged(chain_, true);
    showImage(0);
}

void MainWindow::showImage(uint32_t selectId) {
    Timg* img = image();
    saving_->imageOpened(*img);
    edits_->imagesChanged(chain_, false);
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
    nav_->refreshTree(nullptr);
    // Android images carry SELinux labels: show their column.
    bool labels = false;
    forEachPreorder(img->root(), [&](Node* n) {
        for (const Xattr& x : n->entry.xattrs)
            labels = labels || x.name == "security.selinux";
    });
    if (labels)
        pane_->showLabelColumn();
    nav_->filllist(img->root(), selectId);
    updateTitle();
}

// ---------------------------------------------------------------- commands

void MainWindow::saveAs() {
    saving_->saveAs();
}

void MainWindow::showProperties() {
    const QList<int> rows = selectedRows();
    if (busy() || !image() || rows.isEmpty())
        return;
    Node* n = image()->nodeFor(listModel_->row(rows.first()).entry.objId);
    if (!n)
        return;
    const QIcon icon = n->entry.objType == kTypeSymlink ? icons_.linkIconFor(n->text)
                                                        : icons_.iconFor(n->text, n->isDirectory());
    ObjectProperties p = describeObject(*image(), *n);
    p.contents = contents_->readerOf(n);
    prompter_->showProperties(this, p, icon);
}

void MainWindow::showImageInfo() {
    if (busy() || chain_.empty())
        return;
    prompter_->showImageInfo(this, imageInfo(chain_, path_));
}

void MainWindow::compareWith() {
    if (busy() || !listedNode())
        return;
    compare_->start();
}

void MainWindow::dragEnterEvent(QDragEnterEvent* event) {
    // Objects dragged out of this window's own list are not added back.
    if (!busy() && listedNode() && event->mimeData()->hasUrls() && !event->source())
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
    if (paths.isEmpty() || busy() || !listedNode() || event->source()) {
        QMainWindow::dropEvent(event);
        return;
    }
    event->acceptProposedAction();
    // Added after the drop has finished, so the file manager is not kept
    // waiting; with the attributes as the chooser last kept them.
    const bool keep = QSettings().value(kKeepAttributesKey, true).toBool();
    QTimer::singleShot(0, this, [this, paths, keep] { addPaths(paths, keep); });
}

// What the edit commands ask of the window.

Timg* MainWindow::editableImage() const {
    return busy() ? nullptr : image();
}

void MainWindow::relist(Node* dir, uint32_t selectId) {
    nav_->refreshTree(dir);
    nav_->filllist(dir, selectId);
    updateTitle();
}

void MainWindow::reselect(const QList<int>& rows) {
    nav_->reselectlist(rows);
    updateTitle();
}

void MainWindow::endRemoval() {
    nav_->endRemoval();
    updateTitle();
}

void MainWindow::renamed(uint32_t) {
    nav_->renamed();
    updateTitle();
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
    contents_->dropCopies();
    event->accept();
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    if (progressPanel_)
        progressPanel_->centre();
}

} // namespace korvane::ui
