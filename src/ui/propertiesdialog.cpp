#include "propertiesdialog.h"

#include "checksums.h"
#include "language.h"
#include "model/error.h"
#include "model/texts.h"
#include "prompter.h"
#include "uitexts.h"
#include "xattrtext.h"

#include <QDateTime>
#include <QFontDatabase>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QVBoxLayout>
#include <vector>

namespace korvane::ui {

namespace {

QString utf8(const std::string& s) {
    return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size()));
}

struct Below {
    uint64_t fileBytes = 0;
    size_t objects = 0;
};

Below countBelow(const Node& dir) {
    Below b;
    std::vector<const Node*> stack{&dir};
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        for (const auto& child : n->children) {
            ++b.objects;
            if (child->entry.objType == kTypeFile)
                b.fileBytes += child->entry.size;
            stack.push_back(child.get());
        }
    }
    return b;
}

// The object a hard link stands for (itself for anything else).
const Node& linked(const Timg& img, const Node& node) {
    const Node* t = &node;
    for (int hops = 0; t->entry.objType == kTypeHardlink && hops < 64; ++hops) {
        const Node* next = img.nodeFor(t->entry.linkInfo);
        if (!next)
            break;
        t = next;
    }
    return t->entry.objType == kTypeHardlink ? node : *t;
}

// Dates as the app's language writes them; the user's own format when the
// locale speaks that language.
QLocale uiLocale() {
    const QLocale system;
    if (language() == text::Language::kEnglish)
        return system.language() == QLocale::English
                   ? system
                   : QLocale(QLocale::English, QLocale::UnitedStates);
    return system.language() == QLocale::Chinese ? system
                                                 : QLocale(QLocale::Chinese, QLocale::China);
}

QFrame* bevel(QWidget* parent) {
    auto* line = new QFrame(parent);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

} // namespace

QString timeText(int64_t seconds) {
    const QDateTime t = QDateTime::fromSecsSinceEpoch(seconds).toLocalTime();
    const QLocale locale = uiLocale();
    return locale.toString(t.date(), QLocale::LongFormat) + " " + t.time().toString("HH:mm:ss");
}

ObjectProperties describeObject(const Timg& img, const Node& node) {
    const Node& target = linked(img, node);
    const TImgEntry& e = target.entry;
    ObjectProperties p;
    p.name = utf8(node.text);
    p.directory = e.objType == kTypeDirectory;
    std::string linkName;
    if (node.entry.objType == kTypeHardlink)
        if (const Node* to = img.nodeFor(node.entry.linkInfo))
            linkName = to->text;
    p.type = coreText(proptypetext(node.entry, linkName));
    uint64_t size = 0;
    if (e.objType == kTypeFile) {
        size = e.size;
    } else if (e.objType == kTypeDirectory) {
        const Below below = countBelow(target);
        size = below.fileBytes;
        p.contains =
            txn(kContains, static_cast<qsizetype>(target.children.size())).arg(below.objects);
    }
    p.size = coreText(sizetext(size)).trimmed();
    p.time = timeText(e.mtime);
    p.uid = QString::number(e.uid);
    p.gid = QString::number(e.gid);
    p.detail = utf8(permissiontext(e.mode));
    for (const Xattr& x : e.xattrs)
        p.attributes.push_back({utf8(x.name), utf8(attributeText(x))});
    return p;
}

QString summaryText(const ObjectProperties& p) {
    return tx(kSummaryType) + p.type + tx(kSummarySize) + p.size + tx(kSummaryDetail) + p.detail;
}

PropertiesDialog::PropertiesDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("propertiesDialog");
    plainDialogFrame(this);
    setWindowTitle(tx(kMenuProperties));
    resize(400, 420);
    auto* layout = new QVBoxLayout(this);
    pages_ = new QTabWidget(this);
    auto* general = new QWidget(pages_);
    pages_->addTab(general, tx(kPageGeneral));
    layout->addWidget(pages_);

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

    auto field = [&](QGridLayout* grid, int row, const char* label, QLabel** title = nullptr) {
        auto* name = new QLabel(tx(label), general);
        grid->addWidget(name, row, 0, Qt::AlignLeft | Qt::AlignTop);
        if (title)
            *title = name;
        auto* value = new QLabel(general);
        value->setTextFormat(Qt::PlainText);
        value->setTextInteractionFlags(Qt::TextSelectableByMouse);
        value->setWordWrap(true);
        grid->addWidget(value, row, 1);
        return value;
    };
    auto* first = new QGridLayout;
    first->setColumnStretch(1, 1);
    type_ = field(first, 0, kLabelType);
    size_ = field(first, 1, kLabelSize);
    contains_ = field(first, 2, kLabelContains, &containsLabel_);
    time_ = field(first, 3, kLabelTime);
    g->addLayout(first);
    g->addWidget(bevel(general));
    auto* second = new QGridLayout;
    second->setColumnStretch(1, 1);
    uid_ = field(second, 0, kLabelUid);
    gid_ = field(second, 1, kLabelGid);
    detail_ = field(second, 2, kLabelDetail);
    detail_->setMinimumHeight(49);
    detail_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    g->addLayout(second);
    // Checksums, computed when asked for: reading a large file takes time.
    checksumBox_ = new QWidget(general);
    auto* sums = new QGridLayout(checksumBox_);
    sums->setContentsMargins(0, 0, 0, 0);
    sums->setColumnStretch(1, 1);
    sums->addWidget(bevel(checksumBox_), 0, 0, 1, 2);
    sums->addWidget(new QLabel(tx(kLabelChecksums), checksumBox_), 1, 0);
    checksumButton_ = new QPushButton(tx(kComputeChecksums), checksumBox_);
    checksumButton_->setObjectName("checksumButton");
    connect(checksumButton_, &QPushButton::clicked, this, &PropertiesDialog::computeChecksums);
    sums->addWidget(checksumButton_, 1, 1, Qt::AlignLeft);
    auto sumField = [&](int row, const QString& name) {
        sums->addWidget(new QLabel(name, checksumBox_), row, 0);
        auto* value = new QLineEdit(checksumBox_);
        value->setReadOnly(true);
        value->setFrame(false);
        value->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
        sums->addWidget(value, row, 1);
        return value;
    };
    sha256_ = sumField(2, QStringLiteral("SHA-256"));
    md5_ = sumField(3, QStringLiteral("MD5"));
    g->addWidget(checksumBox_);
    g->addStretch();

    auto* attributes = new QWidget(pages_);
    auto* a = new QVBoxLayout(attributes);
    noAttributes_ = new QLabel(tx(kNoAttributes), attributes);
    a->addWidget(noAttributes_);
    attributes_ = new QTableWidget(0, 2, attributes);
    attributes_->setObjectName("attributeTable");
    attributes_->setHorizontalHeaderLabels({tx(kAttributeName), tx(kAttributeValue)});
    attributes_->horizontalHeader()->setStretchLastSection(true);
    attributes_->verticalHeader()->hide();
    attributes_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    attributes_->setSelectionBehavior(QAbstractItemView::SelectRows);
    attributes_->setWordWrap(false);
    a->addWidget(attributes_);
    pages_->addTab(attributes, tx(kPageAttributes));

    auto* row = new QHBoxLayout;
    row->addStretch();
    auto* close = new QPushButton(tx(kButtonClose), this);
    connect(close, &QPushButton::clicked, this, &QDialog::accept);
    row->addWidget(close);
    layout->addLayout(row);
}

PropertiesDialog::~PropertiesDialog() {
    stopChecksums();
}

void PropertiesDialog::stopChecksums() {
    cancel_ = true;
    if (worker_.joinable())
        worker_.join();
    cancel_ = false;
}

void PropertiesDialog::done(int result) {
    stopChecksums();
    QDialog::done(result);
}

QString PropertiesDialog::sha256Text() const {
    return sha256_->text();
}

QString PropertiesDialog::md5Text() const {
    return md5_->text();
}

void PropertiesDialog::computeChecksums() {
    if (!contents_ || worker_.joinable())
        return;
    checksumButton_->setEnabled(false);
    sha256_->clear();
    md5_->clear();
    ContentReader reader = contents_;
    worker_ = std::thread([this, reader] {
        QString sha, md5, failed;
        try {
            const std::optional<Checksums> sums =
                korvane::ui::computeChecksums(reader, cancel_, [this, reader](uint64_t done) {
                    const int percent =
                        reader.size ? static_cast<int>(done * 100 / reader.size) : 100;
                    QMetaObject::invokeMethod(this, [this, percent] {
                        checksumButton_->setText(tx(kComputingChecksums).arg(percent));
                    });
                });
            if (!sums)
                return;
            sha = sums->sha256;
            md5 = sums->md5;
        } catch (const Error& e) {
            failed = coreText(e.message());
        }
        QMetaObject::invokeMethod(this, [this, sha, md5, failed] {
            if (worker_.joinable())
                worker_.join();
            sha256_->setText(failed.isEmpty() ? sha : failed);
            md5_->setText(failed.isEmpty() ? md5 : failed);
            sha256_->setCursorPosition(0);
            checksumButton_->setText(tx(kComputeChecksums));
            checksumButton_->setEnabled(true);
            emit checksumsShown();
        });
    });
}

void PropertiesDialog::showProperties(const ObjectProperties& p, const QIcon& icon) {
    stopChecksums();
    contents_ = p.contents;
    checksumBox_->setVisible(static_cast<bool>(contents_));
    checksumButton_->setText(tx(kComputeChecksums));
    checksumButton_->setEnabled(true);
    sha256_->clear();
    md5_->clear();
    icon_->setPixmap(icon.pixmap(32, 32));
    name_->setText(p.name);
    name_->setCursorPosition(0);
    type_->setText(p.type);
    size_->setText(p.size);
    time_->setText(p.time);
    contains_->setText(p.contains);
    contains_->setVisible(!p.contains.isEmpty());
    containsLabel_->setVisible(!p.contains.isEmpty());
    uid_->setText(p.uid);
    gid_->setText(p.gid);
    detail_->setText(p.detail);
    attributes_->setRowCount(static_cast<int>(p.attributes.size()));
    for (int r = 0; r < attributes_->rowCount(); ++r) {
        const ObjectProperties::Attribute& at = p.attributes[static_cast<size_t>(r)];
        QString name = at.name;
        if (at.name == "security.selinux")
            name += " (" + tx(kSelinuxLabel) + ")";
        else if (at.name == "security.capability")
            name += " (" + tx(kCapabilities) + ")";
        auto* n = new QTableWidgetItem(name);
        auto* v = new QTableWidgetItem(at.value);
        n->setToolTip(name);
        v->setToolTip(at.value);
        attributes_->setItem(r, 0, n);
        attributes_->setItem(r, 1, v);
    }
    attributes_->resizeColumnToContents(0);
    noAttributes_->setVisible(p.attributes.empty());
    attributes_->setVisible(!p.attributes.empty());
    pages_->setCurrentIndex(0);
    exec();
}

} // namespace korvane::ui
