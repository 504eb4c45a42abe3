#include "listpane.h"

#include "dirlistmodel.h"
#include "icondelegate.h"
#include "iconprovider.h"
#include "language.h"
#include "mainactions.h"
#include "searchresultsmodel.h"
#include "uitexts.h"

#include <QAction>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMenu>
#include <QScrollBar>
#include <QStackedWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>
#include <QVBoxLayout>
#include <algorithm>
#include <set>

namespace korvane::ui {

namespace {

// Column widths of the detail list; UID and GID take the widest id.
constexpr int kColumnWidths[DirListModel::kColumnCount] = {180, 60, 60, 160, 120, 90, 130, 220};
constexpr int kMaxLabelWidth = 480;

int idColumnWidth(const QWidget* view) {
    return view->fontMetrics().horizontalAdvance(QStringLiteral("4294967294")) + 20;
}

} // namespace

ListPane::ListPane(DirListModel* model, SearchResultsModel* results, MainActions* actions,
                   QWidget* parent)
    : QWidget(parent), model_(model), actions_(actions), results_(results) {
    auto* rv = new QVBoxLayout(this);
    rv->setContentsMargins(0, 0, 0, 0);
    rv->setSpacing(2);
    auto* bar = new QHBoxLayout;
    listToolBar_ = new QToolBar(this);
    listToolBar_->setObjectName("listToolBar");
    listToolBar_->setIconSize(QSize(24, 24));
    listToolBar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    listToolBar_->addAction(actions_->up);
    listToolBar_->addAction(actions_->extractList);
    listToolBar_->addAction(actions_->exportAllList);
    auto* viewButton = new QToolButton(listToolBar_);
    viewButton->setIcon(IconProvider::themeIcon({"view-list-icons", "view-grid", "view-list"},
                                                QStyle::SP_FileDialogListView));
    viewButton->setToolTip(tx(kActionView));
    viewButton->setMenu(actions_->viewMenu());
    viewButton->setPopupMode(QToolButton::InstantPopup);
    listToolBar_->addWidget(viewButton);
    bar->addWidget(listToolBar_);
    bar->addWidget(new QLabel(tx(kPathLabel), this));
    pathBox_ = new QLineEdit(this);
    pathBox_->setObjectName("pathBox");
    pathBox_->setClearButtonEnabled(false);
    connect(pathBox_, &QLineEdit::returnPressed, this,
            [this] { emit pathEntered(pathBox_->text()); });
    connect(pathBox_, &QLineEdit::editingFinished, this, &ListPane::pathAbandoned);
    bar->addWidget(pathBox_, 1);
    buildFilter(bar);
    rv->addLayout(bar);

    buildViews();
    buildResultsView();
    rv->addWidget(stack_, 1);

    imageStatus_ = new QLabel(this);
    imageStatus_->setObjectName("imageStatus");
    imageStatus_->setFrameShape(QFrame::Panel);
    imageStatus_->setFrameShadow(QFrame::Sunken);
    imageStatus_->setTextFormat(Qt::PlainText);
    imageStatus_->setMinimumHeight(imageStatus_->fontMetrics().height() + 6);
    imageStatus_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    rv->addWidget(imageStatus_);
}

void ListPane::buildViews() {
    stack_ = new QStackedWidget(this);
    iconView_ = new QListView(stack_);
    iconView_->setObjectName("iconView");
    iconView_->setModel(model_);
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
    connect(iconView_->verticalScrollBar(), &QScrollBar::valueChanged, this, &ListPane::scrolled);

    detailView_ = new QTreeView(stack_);
    detailView_->setObjectName("detailView");
    detailView_->setModel(model_);
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
    for (int c : {DirListModel::kUid, DirListModel::kGid})
        header->resizeSection(c, std::max(kColumnWidths[c], idColumnWidth(detailView_)));
    header->setSectionHidden(DirListModel::kLabel, true);
    connect(header, &QHeaderView::sectionClicked, this, &ListPane::sortByColumn);
    // The header's popup shows and hides columns.
    header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(header, &QWidget::customContextMenuRequested, this, [this, header](const QPoint& p) {
        QMenu menu(this);
        for (int c = 1; c < DirListModel::kColumnCount; ++c) {
            QAction* a =
                menu.addAction(model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
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
        // Objects dragged out are extracted where they are dropped.
        view->setDragEnabled(true);
        view->setDragDropMode(QAbstractItemView::DragOnly);
        view->setDefaultDropAction(Qt::CopyAction);
        actions_->addListView(view);
        connect(view, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
            if (i.isValid())
                emit activated();
        });
        connect(view, &QWidget::customContextMenuRequested, this, [this, view](const QPoint& p) {
            emit popupRequested(view->viewport()->mapToGlobal(p));
        });
        stack_->addWidget(view);
    }
    connect(iconView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ListPane::selectionChanged);
}

void ListPane::buildFilter(QLayout* bar) {
    filterBox_ = new QLineEdit(this);
    filterBox_->setObjectName("filterBox");
    filterBox_->setPlaceholderText(tx(kFilterPlaceholder));
    filterBox_->setClearButtonEnabled(true);
    filterBox_->setMaximumWidth(220);
    filterBox_->setToolTip(tx(kFilterTip));
    connect(filterBox_, &QLineEdit::textChanged, this, &ListPane::filterChanged);
    filterBox_->installEventFilter(this);
    connect(filterBox_, &QLineEdit::returnPressed, this, [this] {
        if (!filterBox_->text().isEmpty())
            emit searchRequested(filterBox_->text());
    });
    bar->addWidget(filterBox_);
    auto* tools = new QToolBar(this);
    tools->setObjectName("searchToolBar");
    tools->setIconSize(QSize(24, 24));
    tools->setToolButtonStyle(Qt::ToolButtonIconOnly);
    QAction* search = tools->addAction(
        IconProvider::themeIcon({"edit-find", "system-search"}, QStyle::SP_FileDialogContentsView),
        tx(kSearchImage));
    search->setObjectName("searchImage");
    search->setToolTip(tx(kSearchImage) + " (Enter)");
    connect(search, &QAction::triggered, this, [this] {
        if (!filterBox_->text().isEmpty())
            emit searchRequested(filterBox_->text());
    });
    caseAction_ = tools->addAction(QStringLiteral("Aa"));
    caseAction_->setCheckable(true);
    caseAction_->setToolTip(tx(kCaseSensitive));
    bar->addWidget(tools);
}

void ListPane::buildResultsView() {
    resultsView_ = new QTreeView(stack_);
    resultsView_->setObjectName("resultsView");
    resultsView_->setModel(results_);
    resultsView_->setRootIsDecorated(false);
    resultsView_->setItemsExpandable(false);
    resultsView_->setUniformRowHeights(true);
    resultsView_->setAllColumnsShowFocus(true);
    resultsView_->setSelectionBehavior(QAbstractItemView::SelectRows);
    resultsView_->setSelectionMode(QAbstractItemView::SingleSelection);
    resultsView_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    resultsView_->setTextElideMode(Qt::ElideMiddle);
    resultsView_->header()->resizeSection(0, 200);
    resultsView_->header()->resizeSection(1, 300);
    resultsView_->installEventFilter(this);
    connect(resultsView_, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& i) {
        if (i.isValid())
            emit hitActivated(i.row());
    });
    stack_->addWidget(resultsView_);
}

bool ListPane::resultsShown() const {
    return stack_->currentWidget() == resultsView_;
}

void ListPane::showResults(bool on) {
    if (on)
        stack_->setCurrentWidget(resultsView_);
    else
        setView(view_);
}

bool ListPane::caseSensitive() const {
    return caseAction_->isChecked();
}

QAbstractItemView* ListPane::currentListView() const {
    if (resultsShown())
        return view_ == View::kDetails ? static_cast<QAbstractItemView*>(detailView_)
                                       : static_cast<QAbstractItemView*>(iconView_);
    return static_cast<QAbstractItemView*>(stack_->currentWidget());
}

void ListPane::setView(View view) {
    view_ = view;
    iconDelegate_->setThumbnails(view == View::kThumbnails);
    iconView_->setGridSize(iconDelegate_->cellSize(iconView_->fontMetrics()));
    stack_->setCurrentWidget(view == View::kDetails ? static_cast<QWidget*>(detailView_)
                                                    : static_cast<QWidget*>(iconView_));
    QAction* checked = view == View::kDetails      ? actions_->details
                       : view == View::kThumbnails ? actions_->thumbnails
                                                   : actions_->icons;
    checked->setChecked(true);
    // The grid size lays the cells out anew, in batches.
    iconView_->viewport()->update();
}

QList<int> ListPane::selectedRows() const {
    std::set<int> rows;
    for (const QItemSelectionRange& r : iconView_->selectionModel()->selection())
        for (int row = r.top(); row <= r.bottom(); ++row)
            rows.insert(row);
    return QList<int>(rows.begin(), rows.end());
}

void ListPane::selectRows(const QList<int>& rows) {
    QItemSelectionModel* sel = iconView_->selectionModel();
    QItemSelection selection;
    for (int row : rows)
        if (row >= 0 && row < model_->rows())
            selection.select(model_->index(row, 0),
                             model_->index(row, DirListModel::kColumnCount - 1));
    sel->select(selection, QItemSelectionModel::ClearAndSelect);
    if (!rows.isEmpty() && rows.first() >= 0 && rows.first() < model_->rows())
        sel->setCurrentIndex(model_->index(rows.first(), 0), QItemSelectionModel::NoUpdate);
}

int ListPane::firstVisibleRow() const {
    return std::max(0, iconView_->indexAt(QPoint(4, 4)).row());
}

QByteArray ListPane::headerState() const {
    return detailView_->header()->saveState();
}

void ListPane::restoreHeaderState(const QByteArray& state) {
    QHeaderView* header = detailView_->header();
    if (!header->restoreState(state) || header->count() != DirListModel::kColumnCount)
        return;
    for (int c : {DirListModel::kUid, DirListModel::kGid})
        header->resizeSection(c, std::max(header->sectionSize(c), idColumnWidth(detailView_)));
}

void ListPane::showLabelColumn() {
    detailView_->header()->setSectionHidden(DirListModel::kLabel, false);
}

void ListPane::fitLabelColumn() {
    QHeaderView* header = detailView_->header();
    if (header->isSectionHidden(DirListModel::kLabel))
        return;
    const QFontMetrics fm = detailView_->fontMetrics();
    int widest = fm.horizontalAdvance(
        model_->headerData(DirListModel::kLabel, Qt::Horizontal, Qt::DisplayRole).toString());
    for (int r = 0; r < model_->rows(); ++r)
        widest = std::max(widest, fm.horizontalAdvance(model_->cellText(r, DirListModel::kLabel)));
    header->resizeSection(
        DirListModel::kLabel,
        std::clamp(widest + 24, kColumnWidths[DirListModel::kLabel], kMaxLabelWidth));
}

void ListPane::sortByColumn(int column) {
    QHeaderView* header = detailView_->header();
    Qt::SortOrder order = Qt::AscendingOrder;
    if (model_->sortColumn() == column && model_->sortOrder() == Qt::AscendingOrder)
        order = Qt::DescendingOrder;
    header->setSortIndicatorShown(true);
    header->setSortIndicator(column, order);
    model_->sort(column, order);
    emit sorted();
}

bool ListPane::eventFilter(QObject* watched, QEvent* event) {
    if (watched == filterBox_ && event->type() == QEvent::KeyPress &&
        static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
        filterBox_->clear();
        currentListView()->setFocus();
        return true;
    }
    if (watched == resultsView_ && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            resultsView_->currentIndex().isValid()) {
            emit hitActivated(resultsView_->currentIndex().row());
            return true;
        }
    }
    if ((watched == iconView_ || watched == detailView_) && event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
            !(key->modifiers() & Qt::AltModifier)) {
            emit activated();
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

} // namespace korvane::ui
