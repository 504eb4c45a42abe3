#include "comparewindow.h"

#include "dirlistmodel.h"
#include "iconprovider.h"
#include "model/tree.h"
#include "prompter.h"
#include "uitexts.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

QString whatText(uint16_t what) {
    static const char* const kNames[] = {kDiffTypeText,   kDiffContentsText, kDiffModeText,
                                         kDiffOwnerText,  kDiffTimeText,     kDiffTargetText,
                                         kDiffDeviceText, kDiffXattrsText};
    QStringList parts;
    for (int bit = 0; bit < 8; ++bit)
        if (what & (1u << bit))
            parts << tx(kNames[bit]);
    return parts.join(tx(kListSeparator));
}

} // namespace

CompareModel::CompareModel(IconProvider& icons, QObject* parent)
    : QAbstractItemModel(parent), icons_(icons) {}

int CompareModel::add(int parent, const std::string& name, const TImgEntry& e, bool inA) {
    Item item;
    item.name = name;
    item.parent = parent;
    item.type = e.objType;
    item.sizeA = inA && e.objType == kTypeFile ? e.size : 0;
    item.sizeB = !inA && e.objType == kTypeFile ? e.size : 0;
    item.idA = inA ? e.objId : 0;
    items_.push_back(std::move(item));
    const int index = static_cast<int>(items_.size()) - 1;
    if (parent >= 0)
        items_[static_cast<size_t>(parent)].children.push_back(index);
    return index;
}

int CompareModel::find(const std::string& path) {
    int at = 0;
    size_t pos = 1;
    while (at >= 0 && pos < path.size()) {
        const size_t end = std::min(path.find('/', pos), path.size());
        const std::string part = path.substr(pos, end - pos);
        pos = end + 1;
        auto [it, fresh] = names_.try_emplace(at);
        if (fresh)
            for (int c : items_[static_cast<size_t>(at)].children)
                it->second.emplace(items_[static_cast<size_t>(c)].name, c);
        auto found = it->second.find(part);
        at = found == it->second.end() ? -1 : found->second;
    }
    return at;
}

void CompareModel::build(const Timg& a, const std::vector<DiffEntry>& differences) {
    beginResetModel();
    items_.clear();
    names_.clear();
    // The tree of a, parents before children.
    std::vector<std::pair<const Node*, int>> stack{{a.root(), -1}};
    while (!stack.empty()) {
        auto [n, parent] = stack.back();
        stack.pop_back();
        const Node* shownNode = hardlinkTarget(a, n);
        TImgEntry e = (shownNode ? shownNode : n)->entry;
        e.objId = n->entry.objId;
        const int index = add(parent, parent < 0 ? std::string("/") : n->text, e, true);
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it)
            stack.emplace_back(it->get(), index);
    }
    for (const DiffEntry& d : differences) {
        int at = -1;
        if (d.kind == DiffKind::kAdded) {
            const size_t slash = d.path.rfind('/');
            const int parent = find(d.path.substr(0, slash));
            if (parent < 0)
                continue;
            at = add(parent, d.path.substr(slash + 1), d.b, false);
            if (auto it = names_.find(parent); it != names_.end())
                it->second.emplace(items_[static_cast<size_t>(at)].name, at);
            items_[static_cast<size_t>(at)].state = kAdded;
        } else {
            at = find(d.path);
            if (at < 0)
                continue;
            Item& item = items_[static_cast<size_t>(at)];
            item.state = d.kind == DiffKind::kRemoved ? kRemoved : kChanged;
            item.what = d.what;
            if (d.kind == DiffKind::kChanged)
                item.sizeB = d.b.objType == kTypeFile ? d.b.size : 0;
            // What a folder held is gone with it, or with its type.
            if (item.state == kRemoved || (d.what & kDiffType)) {
                std::vector<int> below(item.children);
                while (!below.empty()) {
                    Item& x = items_[static_cast<size_t>(below.back())];
                    below.pop_back();
                    x.state = kRemoved;
                    below.insert(below.end(), x.children.begin(), x.children.end());
                }
            }
        }
        for (int p = items_[static_cast<size_t>(at)].parent; p >= 0;
             p = items_[static_cast<size_t>(p)].parent)
            items_[static_cast<size_t>(p)].differsBelow = true;
    }
    refilter();
    endResetModel();
}

void CompareModel::refilter() {
    for (Item& item : items_) {
        item.shown.clear();
        for (int c : item.children) {
            const Item& child = items_[static_cast<size_t>(c)];
            if (!onlyDifferences_ || child.state != kSame || child.differsBelow)
                item.shown.push_back(c);
        }
    }
}

void CompareModel::setOnlyDifferences(bool on) {
    if (on == onlyDifferences_)
        return;
    beginResetModel();
    onlyDifferences_ = on;
    refilter();
    endResetModel();
}

CompareModel::State CompareModel::stateOf(const std::string& path) const {
    const int at = const_cast<CompareModel*>(this)->find(path);
    return at < 0 ? kSame : items_[static_cast<size_t>(at)].state;
}

int CompareModel::itemOf(const QModelIndex& index) const {
    return index.isValid() ? static_cast<int>(index.internalId()) : 0;
}

std::string CompareModel::pathOf(const QModelIndex& index) const {
    std::string path;
    for (int at = itemOf(index); at > 0; at = items_[static_cast<size_t>(at)].parent)
        path = "/" + items_[static_cast<size_t>(at)].name + path;
    return path.empty() ? "/" : path;
}

bool CompareModel::differsBelow(const QModelIndex& index) const {
    return items_[static_cast<size_t>(itemOf(index))].differsBelow;
}

uint32_t CompareModel::idInA(const QModelIndex& index) const {
    return index.isValid() ? items_[static_cast<size_t>(itemOf(index))].idA : 0;
}

QModelIndex CompareModel::index(int row, int column, const QModelIndex& parent) const {
    if (items_.empty() || row < 0 || column < 0 || column >= kColumnCount)
        return {};
    const Item& p = items_[static_cast<size_t>(itemOf(parent))];
    if (row >= static_cast<int>(p.shown.size()))
        return {};
    return createIndex(row, column, static_cast<quintptr>(p.shown[static_cast<size_t>(row)]));
}

QModelIndex CompareModel::parent(const QModelIndex& child) const {
    const int at = itemOf(child);
    if (at <= 0)
        return {};
    const int p = items_[static_cast<size_t>(at)].parent;
    if (p <= 0)
        return {};
    const Item& grand = items_[static_cast<size_t>(items_[static_cast<size_t>(p)].parent)];
    const auto it = std::find(grand.shown.begin(), grand.shown.end(), p);
    return createIndex(static_cast<int>(it - grand.shown.begin()), 0, static_cast<quintptr>(p));
}

int CompareModel::rowCount(const QModelIndex& parent) const {
    if (items_.empty() || (parent.isValid() && parent.column() != 0))
        return 0;
    return static_cast<int>(items_[static_cast<size_t>(itemOf(parent))].shown.size());
}

int CompareModel::columnCount(const QModelIndex&) const {
    return kColumnCount;
}

namespace {

// "删除" in the compare view names what the other side lacks, not the
// command; in English they differ.
struct Disambiguated {
    const char* source;
    const char* comment;
};
constexpr Disambiguated kRemovedState = QT_TRANSLATE_NOOP3("korvane", "删除", "compare");

} // namespace

QVariant CompareModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid())
        return {};
    const Item& item = items_[static_cast<size_t>(itemOf(index))];
    static const char* const kStates[] = {nullptr, kStateAdded, kStateRemoved, kStateChanged};
    switch (role) {
    case Qt::DisplayRole:
        switch (index.column()) {
        case kName:
            return utf8(item.name);
        case kState:
            if (item.state == kRemoved)
                return QCoreApplication::translate("korvane", kRemovedState.source,
                                                   kRemovedState.comment);
            return item.state == kSame ? QString() : tx(kStates[item.state]);
        case kWhat:
            return whatText(item.what);
        case kSize: {
            if (item.type != kTypeFile)
                return {};
            if (item.state == kChanged && item.sizeA != item.sizeB)
                return unitSizeText(item.sizeA) + " → " + unitSizeText(item.sizeB);
            return unitSizeText(item.state == kAdded ? item.sizeB : item.sizeA);
        }
        default:
            return {};
        }
    case Qt::ForegroundRole:
        if (item.state == kAdded)
            return QColor(0, 128, 0);
        if (item.state == kRemoved)
            return QColor(192, 0, 0);
        if (item.state == kChanged)
            return QColor(176, 96, 0);
        return {};
    case Qt::DecorationRole:
        if (index.column() == kName)
            return item.type == kTypeSymlink
                       ? icons_.linkIconFor(item.name)
                       : icons_.iconFor(item.name, item.type == kTypeDirectory);
        return {};
    case Qt::ToolTipRole:
        return utf8(pathOf(index));
    default:
        return {};
    }
}

QVariant CompareModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    static const char* const kHeaders[] = {kColumnName, kCompareState, kCompareWhat, kColumnSize};
    return section >= 0 && section < kColumnCount ? tx(kHeaders[section]) : QVariant();
}

CompareWindow::CompareWindow(IconProvider& icons, QWidget* parent) : QDialog(parent) {
    setObjectName("compareWindow");
    plainDialogFrame(this);
    setWindowFlag(Qt::WindowMaximizeButtonHint, true);
    setWindowModality(Qt::WindowModal);
    resize(820, 600);
    model_ = new CompareModel(icons, this);
    auto* layout = new QVBoxLayout(this);
    summary_ = new QLabel(this);
    summary_->setWordWrap(true);
    summary_->setTextFormat(Qt::PlainText);
    layout->addWidget(summary_);
    only_ = new QCheckBox(tx(kOnlyDifferences), this);
    only_->setChecked(true);
    connect(only_, &QCheckBox::toggled, this, [this](bool on) {
        model_->setOnlyDifferences(on);
        expandDifferences();
    });
    layout->addWidget(only_);
    view_ = new QTreeView(this);
    view_->setObjectName("compareView");
    view_->setModel(model_);
    view_->setUniformRowHeights(true);
    view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    view_->header()->resizeSection(CompareModel::kName, 280);
    view_->header()->resizeSection(CompareModel::kState, 70);
    view_->header()->resizeSection(CompareModel::kWhat, 220);
    connect(view_, &QTreeView::doubleClicked, this, [this](const QModelIndex& i) {
        if (const uint32_t id = model_->idInA(i)) {
            emit objectChosen(id);
            accept();
        }
    });
    layout->addWidget(view_, 1);
    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* close = new QPushButton(tx(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}

void CompareWindow::showComparison(const Timg& a, const QString& aName, const QString& bName,
                                   const std::vector<DiffEntry>& differences,
                                   const DiffSummary& summary) {
    setWindowTitle(tx(kCompareTitle).arg(aName, bName));
    model_->build(a, differences);
    summary_->setText(summary.equal() ? tx(kCompareEqual).arg(aName, bName).arg(summary.compared)
                                      : tx(kCompareSummary)
                                            .arg(aName, bName)
                                            .arg(summary.added)
                                            .arg(summary.removed)
                                            .arg(summary.changed));
    model_->setOnlyDifferences(only_->isChecked());
    expandDifferences();
    show();
    raise();
    activateWindow();
}

QString CompareWindow::summaryText() const {
    return summary_->text();
}

// The folders that hold differences are open.
void CompareWindow::expandDifferences() {
    std::vector<QModelIndex> stack{QModelIndex()};
    while (!stack.empty()) {
        const QModelIndex parent = stack.back();
        stack.pop_back();
        for (int r = 0; r < model_->rowCount(parent); ++r) {
            const QModelIndex child = model_->index(r, 0, parent);
            if (model_->differsBelow(child)) {
                view_->expand(child);
                stack.push_back(child);
            }
        }
    }
}

} // namespace korvane::ui
