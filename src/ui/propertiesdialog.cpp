#include "propertiesdialog.h"

#include "model/texts.h"
#include "uitexts.h"

#include <QDateTime>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QVBoxLayout>
#include <vector>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

uint64_t filesBelow(const Node& dir) {
    uint64_t sum = 0;
    std::vector<const Node*> stack{&dir};
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        for (const auto& child : n->children) {
            if (child->entry.objType == kTypeFile)
                sum += child->entry.size;
            stack.push_back(child.get());
        }
    }
    return sum;
}

QString timeText(int64_t seconds) {
    QDateTime t = QDateTime::fromSecsSinceEpoch(seconds).toLocalTime();
    QLocale locale;
    return locale.toString(t.date(), QLocale::ShortFormat) + " " + t.time().toString("HH:mm:ss");
}

QFrame* bevel(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace

ObjectProperties describeObject(const Timg& img, const Node& node) {
    const TImgEntry& e = node.entry;
    ObjectProperties p;
    p.name = utf8(node.text);
    p.directory = e.objType == kTypeDirectory;
    std::string linkName;
    if (e.objType == kTypeHardlink)
        if (const Node* target = img.nodeFor(e.linkInfo))
            linkName = target->text;
    // "其它" where the properties text has none, as the list shows it.
    p.type =
        utf8(e.objType == kTypeOther ? listtypetext(e, 0, linkName) : proptypetext(e, linkName));
    uint64_t size = 0;
    if (e.objType == kTypeFile)
        size = e.size;
    else if (e.objType == kTypeDirectory)
        size = filesBelow(node);
    p.size = utf8(sizetext(size)).trimmed();
    if (p.size.isEmpty())
        p.size = QString::fromUtf8("0字节");
    p.time = timeText(e.mtime);
    p.uid = QString::number(e.uid);
    p.gid = QString::number(e.gid);
    p.detail = utf8(permissiontext(e.mode));
    return p;
}

QString summaryText(const ObjectProperties& p) {
    return QString::fromUtf8("类型：") + p.type + QString::fromUtf8(", 大小：") + p.size +
           QString::fromUtf8(", 详细：") + p.detail;
}

PropertiesDialog::PropertiesDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("propertiesDialog");
    setWindowTitle(QString::fromUtf8(kMenuProperties));
    resize(370, 390);
    auto* layout = new QVBoxLayout(this);
    auto* pages = new QTabWidget(this);
    auto* general = new QWidget(pages);
    pages->addTab(general, QString::fromUtf8("常规"));
    layout->addWidget(pages);

    auto* g = new QVBoxLayout(general);
    auto* top = new QHBoxLayout;
    icon_ = new QLabel(general);
    icon_->setFixedSize(32, 32);
    icon_->setScaledContents(true);
    name_ = new QLineEdit(general);
    name_->setReadOnly(true);
    top->addWidget(icon_);
    top->addSpacing(12);
    top->addWidget(name_);
    g->addLayout(top);
    g->addWidget(bevel(general));

    auto field = [&](QGridLayout* grid, int row, const char* label) {
        grid->addWidget(new QLabel(QString::fromUtf8(label), general), row, 0,
                        Qt::AlignLeft | Qt::AlignTop);
        auto* value = new QLabel(general);
        value->setTextFormat(Qt::PlainText);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        grid->addWidget(value, row, 1);
        return value;
    };
    auto* first = new QGridLayout;
    first->setColumnStretch(1, 1);
    type_ = field(first, 0, "类型：");
    size_ = field(first, 1, "大小：");
    time_ = field(first, 2, "创建时间：");
    g->addLayout(first);
    g->addWidget(bevel(general));
    auto* second = new QGridLayout;
    second->setColumnStretch(1, 1);
    uid_ = field(second, 0, "UID：");
    gid_ = field(second, 1, "GID：");
    detail_ = field(second, 2, "详细：");
    detail_->setMinimumHeight(49);
    detail_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    g->addLayout(second);
    g->addStretch();

    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* close = new QPushButton(QString::fromUtf8(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}

void PropertiesDialog::showProperties(const ObjectProperties& p, const QIcon& icon) {
    icon_->setPixmap(icon.pixmap(32, 32));
    name_->setText(p.name);
    type_->setText(p.type);
    size_->setText(p.size);
    time_->setText(p.time);
    uid_->setText(p.uid);
    gid_->setText(p.gid);
    detail_->setText(p.detail);
    exec();
}

} // namespace korvane::ui
