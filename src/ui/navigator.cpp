#include "navigator.h"

#include "comparecommand.h"
#include "comparewindow.h"
#include "contentcommands.h"
#include "dirlistmodel.h"
#include "fileviewer.h"
#include "foldertreemodel.h"
#include "mainwindow.h"
#include "model/tree.h"
#include "opencommands.h"
#include "progressstrip.h"
#include "propertiesdialog.h"
#include "searchresultsmodel.h"
#include "statuspanels.h"
#include "thumbnailer.h"
#include "transfer/find.h"
#include "uitexts.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QListView>
#include <QTimer>
#include <QTreeView>
#include <string_view>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

// Symbolic links followed on the way to a target at most, as the kernel's
// limit.
constexpr int kMaxLinkHops = 40;

// The object a symbolic link's target names in the image: from the root for
// an absolute target, else from the link's folder; links on the way are
// followed, the last one is not. nullptr when nothing is there.
Node* linkTarget(Node* root, Node* link, int hops = 0) {
    if (!link || !link->parent || hops > kMaxLinkHops)
        return nullptr;
    const std::string& target = link->entry.alias;
    Node* at = !target.empty() && target.front() == '/' ? root : link->parent;
    size_t pos = 0;
    while (at && pos <= target.size()) {
        const size_t end = std::min(target.find('/', pos), target.size());
        const std::string_view part(target.data() + pos, end - pos);
        const bool last = end >= target.size();
        pos = end + 1;
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            at = at->parent ? at->parent : at;
            continue;
        }
        Node* next = nullptr;
        for (const auto& c : at->children)
            if (c->text == part)
                next = c.get();
        if (next && next->entry.objType == kTypeSymlink && !last)
            next = linkTarget(root, next, hops + 1);
        at = next;
        if (last)
            break;
    }
    return at;
}

} // namespace

Navigator::Navigator(MainWindow& window)
    : QObject(&window), w_(window), thumbnailTimer_(new QTimer(this)),
      results_(new SearchResultsModel(window.icons_, this)) {
    thumbnailTimer_->setSingleShot(true);
    thumbnailTimer_->setInterval(150);
    connect(thumbnailTimer_, &QTimer::timeout, this, &Navigator::startThumbnails);
}

void Navigator::connectViews() {
    ListPane* pane = w_.pane_;
    connect(w_.folderView_->selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& index) { onFolderSelected(index); });
    connect(pane, &ListPane::activated, this, &Navigator::openSelected);
    connect(pane, &ListPane::selectionChanged, this, &Navigator::onListSelectionChanged);
    connect(pane, &ListPane::pathEntered, this, &Navigator::goToPath);
    connect(pane, &ListPane::pathAbandoned, this, &Navigator::showListedPath);
    connect(pane, &ListPane::scrolled, this, [this] {
        if (w_.view() == ListPane::View::kThumbnails)
            thumbnailTimer_->start();
    });
    connect(pane, &ListPane::sorted, this, [this] {
        onListSelectionChanged();
        startThumbnails();
    });
    connect(pane, &ListPane::filterChanged, this, &Navigator::setFilter);
    connect(pane, &ListPane::searchRequested, this, &Navigator::searchImage);
    connect(pane, &ListPane::hitActivated, this, &Navigator::showHit);
}

Node* Navigator::listedNode() const {
    Timg* img = w_.image();
    return img && listedId_ != 0 ? img->nodeFor(listedId_) : nullptr;
}

std::vector<uint32_t> Navigator::selectedIds() const {
    std::vector<uint32_t> ids;
    for (int row : w_.selectedRows())
        ids.push_back(w_.listModel_->row(row).entry.objId);
    return ids;
}

void Navigator::clearListing() {
    w_.thumbnailer_->stop();
    listingFromTree_ = false;
    w_.listModel_->clear();
    w_.folderModel_->setRoot(nullptr);
    listingFromTree_ = true;
    listedId_ = 0;
    w_.pathBox()->clear();
    selectedlist_.clear();
    results_->clear();
    w_.pane_->showResults(false);
    w_.status_->strip()->setText(QString());
    // The images change: the viewer and the compare window showed the old
    // ones (a later "打开" or comparison shows them anew).
    if (FileViewer* v = w_.contents_->viewer())
        v->close();
    if (CompareWindow* c = w_.compare_->window())
        c->close();
}

void Navigator::refreshTree(Node* keepVisible) {
    Timg* img = w_.image();
    listingFromTree_ = false;
    w_.folderModel_->setRoot(img ? img->root() : nullptr);
    w_.folderView_->collapseAll();
    w_.folderView_->expand(w_.folderModel_->index(0, 0));
    for (Node* n = keepVisible ? keepVisible->parent : nullptr; n; n = n->parent)
        w_.folderView_->expand(w_.folderModel_->indexOf(n));
    listingFromTree_ = true;
}

void Navigator::filllist(Node* node, uint32_t selectId) {
    Timg* img = w_.image();
    if (!img || !node || !node->isDirectory())
        return;
    QGuiApplication::setOverrideCursor(Qt::BusyCursor);
    w_.thumbnailer_->stop();
    // Another folder starts unfiltered.
    if (node->entry.objId != listedId_ && !w_.pane_->filterBox()->text().isEmpty()) {
        const QSignalBlocker quiet(w_.pane_->filterBox());
        w_.pane_->filterBox()->clear();
        w_.listModel_->setFilter(QString());
    }
    w_.pane_->showResults(false);
    listedId_ = node->entry.objId;
    showListedPath();
    w_.listModel_->fill(*node, *img);
    w_.pane_->fitLabelColumn();
    w_.currentListView()->scrollToTop();
    followInTree(node);
    if (const int row = selectId ? w_.listModel_->rowOf(selectId) : -1; row >= 0) {
        w_.selectRows({row});
        w_.currentListView()->scrollTo(w_.listModel_->index(row, 0));
    }
    onListSelectionChanged();
    startThumbnails();
    QGuiApplication::restoreOverrideCursor();
    emit listFilled();
}

QString Navigator::chainPrefix() const {
    if (w_.chain_.depth() < 2)
        return {};
    QString prefix = QFileInfo(w_.path_).fileName();
    for (const std::string& m : w_.chain_.memberNames())
        prefix += tx(kChainSeparator) + utf8(m);
    return prefix + tx(kChainSeparator);
}

void Navigator::showListedPath() {
    if (w_.pane_->resultsShown()) {
        w_.pathBox()->setText(txn(kSearchHits, results_->rows()).arg(results_->pattern()));
        return;
    }
    if (Node* n = listedNode())
        w_.pathBox()->setText(chainPrefix() + "/" + utf8(pathFromRoot(n)));
}

// The tree shows and selects the listed folder.
void Navigator::followInTree(Node* node) {
    const QModelIndex index = w_.folderModel_->indexOf(node);
    if (!index.isValid() || w_.folderView_->currentIndex() == index)
        return;
    listingFromTree_ = false;
    for (QModelIndex p = index.parent(); p.isValid(); p = p.parent())
        w_.folderView_->expand(p);
    w_.folderView_->setCurrentIndex(index);
    w_.folderView_->scrollTo(index);
    listingFromTree_ = true;
}

void Navigator::onFolderSelected(const QModelIndex& index) {
    if (!listingFromTree_ || w_.busy())
        return;
    Node* n = w_.folderModel_->nodeAt(index);
    if (n && (n->entry.objId != listedId_ || w_.pane_->resultsShown()))
        filllist(n);
}

void Navigator::onListSelectionChanged() {
    const QList<int> rows = w_.selectedRows();
    selectedlist_ = rows;
    w_.updateActions();
    Timg* img = w_.image();
    QString text;
    if (rows.size() > 1 && img) {
        // Several: how many, and the size of the files among them and below.
        uint64_t bytes = 0;
        for (int row : rows)
            if (Node* n = img->nodeFor(w_.listModel_->row(row).entry.objId))
                forEachPreorder(n, [&](Node* x) {
                    if (x->entry.objType == kTypeFile)
                        bytes += x->entry.size;
                });
        text = txn(kSelectionSummary, rows.size()).arg(unitSizeText(bytes));
    } else if (Node* n = !rows.isEmpty() && img
                             ? img->nodeFor(w_.listModel_->row(rows.first()).entry.objId)
                             : nullptr) {
        text = summaryText(describeObject(*img, *n));
    }
    // Nothing selected (or the object is gone): no summary.
    w_.status_->strip()->setText(text);
}

void Navigator::reselectlist(const QList<int>& rows) {
    Timg* img = w_.image();
    w_.currentListView()->setFocus();
    for (int row : rows) {
        if (row < 0 || row >= w_.listModel_->rows())
            continue;
        if (Node* n = img->nodeFor(w_.listModel_->row(row).entry.objId))
            w_.listModel_->refreshRow(row, *n, *img);
    }
    w_.selectRows(rows);
    onListSelectionChanged();
}

void Navigator::openSelected() {
    const QList<int> rows = w_.selectedRows();
    Timg* img = w_.image();
    if (w_.busy() || !img || rows.isEmpty())
        return;
    Node* n = img->nodeFor(w_.listModel_->row(rows.first()).entry.objId);
    if (!n)
        return;
    if (n->isDirectory())
        filllist(n);
    else if (img->isContainer() && n->entry.objType == kTypeFile)
        w_.opening_->enter(n);
    else if (n->entry.objType == kTypeFile || n->entry.objType == kTypeHardlink)
        w_.contents_->view(n);
}

void Navigator::goUp() {
    Node* n = listedNode();
    if (w_.busy() || !n)
        return;
    if (w_.pane_->resultsShown())
        filllist(n);
    else if (n->parent)
        filllist(n->parent, n->entry.objId);
    else
        w_.opening_->leave();
}

void Navigator::goToPath(const QString& typed) {
    Timg* img = w_.image();
    Node* root = img ? img->root() : nullptr;
    if (w_.busy() || !root)
        return;
    // The chain of images before the path is shown, not typed.
    QString path = typed.trimmed();
    const QString separator = tx(kChainSeparator).trimmed();
    if (const qsizetype at = path.lastIndexOf(separator); at >= 0)
        path = path.mid(at + separator.size()).trimmed();
    const QByteArray bytes = path.toUtf8();
    Node* n = findPath(root, std::string_view(bytes.data(), static_cast<size_t>(bytes.size())));
    if (!n) {
        w_.message(tx(kNoSuchPath).arg(path));
        showListedPath();
        return;
    }
    if (n->isDirectory())
        filllist(n);
    else if (n->parent)
        filllist(n->parent, n->entry.objId);
    w_.currentListView()->setFocus();
}

void Navigator::refresh() {
    Node* n = listedNode();
    if (w_.busy() || !n)
        return;
    std::vector<uint32_t> keep = selectedIds();
    filllist(n);
    QList<int> rows;
    for (uint32_t id : keep)
        if (int r = w_.listModel_->rowOf(id); r >= 0)
            rows << r;
    std::sort(rows.begin(), rows.end());
    w_.selectRows(rows);
}

void Navigator::setView(ListPane::View v) {
    w_.pane_->setView(v);
    if (v == ListPane::View::kThumbnails) {
        w_.listModel_->bumpGeneration();
        startThumbnails();
    }
}

// Makes the missing thumbnails of the listing, those in sight first.
void Navigator::startThumbnails() {
    DirListModel* list = w_.listModel_;
    if (w_.view() != ListPane::View::kThumbnails || !w_.image() || w_.busy() || list->rows() == 0)
        return;
    const int rows = list->rows();
    const int first = w_.pane_->firstVisibleRow();
    std::vector<Thumbnailer::Item> items;
    for (int k = 0; k < rows; ++k) {
        const ListRow& r = list->row((first + k) % rows);
        if (r.entry.picIndex < 0 && r.entry.objType == kTypeFile && isPictureName(r.text))
            items.push_back({r.entry.objId, r.text, r.entry});
    }
    if (!items.empty())
        w_.thumbnailer_->start(list->generation(), std::move(items), w_.image());
}

void Navigator::goToLinkTarget() {
    const QList<int> rows = w_.selectedRows();
    Timg* img = w_.image();
    if (w_.busy() || !img || rows.isEmpty())
        return;
    Node* link = img->nodeFor(w_.listModel_->row(rows.first()).entry.objId);
    if (!link || link->entry.objType != kTypeSymlink)
        return;
    Node* target = linkTarget(img->root(), link);
    if (!target) {
        w_.message(tx(kNoLinkTarget).arg(utf8(link->entry.alias)));
        return;
    }
    goToObject(target->entry.objId);
}

void Navigator::goToObject(uint32_t id) {
    Timg* img = w_.image();
    Node* n = img ? img->nodeFor(id) : nullptr;
    if (w_.busy() || !n)
        return;
    if (!n->parent) {
        filllist(n);
    } else {
        // The object must not be filtered out of its own folder.
        if (n->parent->entry.objId == listedId_)
            w_.pane_->filterBox()->clear();
        filllist(n->parent, id);
    }
    w_.currentListView()->setFocus();
}

void Navigator::setFilter(const QString& text) {
    if (w_.pane_->resultsShown())
        w_.pane_->showResults(false);
    w_.listModel_->setFilter(text);
    showListedPath();
    onListSelectionChanged();
    startThumbnails();
}

void Navigator::searchImage(const QString& pattern) {
    Timg* img = w_.image();
    if (w_.busy() || !img || pattern.isEmpty())
        return;
    // A pattern without wildcards is a part of the name, as in the filter.
    std::string glob = pattern.toUtf8().toStdString();
    if (glob.find_first_of("*?[") == std::string::npos)
        glob = "*" + glob + "*";
    const FindExpression expr = w_.pane_->caseSensitive()
                                    ? FindExpression::parse({"-name", glob}, 0)
                                    : FindExpression::namePattern(glob);
    std::vector<SearchHit> hits;
    findObjects(*img, img->root(), expr, [&](const Node* n, const std::string& path) {
        if (n->parent)
            hits.push_back({n, path});
        return true;
    });
    if (hits.empty()) {
        w_.message(tx(kSearchNothing).arg(pattern));
        return;
    }
    results_->setHits(hits, pattern);
    w_.pane_->showResults(true);
    showListedPath();
    w_.pane_->resultsView()->setFocus();
    w_.pane_->resultsView()->setCurrentIndex(results_->index(0, 0));
}

void Navigator::showHit(int row) {
    if (row < 0 || row >= results_->rows())
        return;
    goToObject(results_->idAt(row));
}

void Navigator::beginRemoval() {
    // Thumbnails of the rows that go are dropped; the rest are made again.
    w_.thumbnailer_->stop();
    w_.listModel_->bumpGeneration();
    listingFromTree_ = false;
}

void Navigator::endRemoval() {
    listingFromTree_ = true;
    followInTree(listedNode());
    onListSelectionChanged();
    startThumbnails();
}

void Navigator::renamed() {
    onListSelectionChanged();
    // The name may now be a picture's, or no longer.
    if (w_.view() == ListPane::View::kThumbnails)
        refresh();
}

} // namespace korvane::ui
