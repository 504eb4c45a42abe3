#include "addfilesdialog.h"

#include "iconprovider.h"
#include "uitexts.h"

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPushButton>
#include <QStandardPaths>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace korvane::ui {

namespace {

QString existingOrHome(QStandardPaths::StandardLocation location) {
    QString path = QStandardPaths::writableLocation(location);
    return !path.isEmpty() && QFileInfo(path).isDir() ? path : QDir::homePath();
}

} // namespace

AddFilesDialog::AddFilesDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("addFilesDialog");
    setWindowTitle(QString::fromUtf8("选择文件"));
    resize(640, 420);

    model_ = new QFileSystemModel(this);
    model_->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    // Names can be edited in place (F2), which renames the item on disk.
    model_->setReadOnly(false);
    model_->setRootPath(QDir::rootPath());

    auto* layout = new QHBoxLayout(this);

    // Places.
    auto* places = new QVBoxLayout;
    places->addWidget(new QLabel(QString::fromUtf8("查找范围"), this));
    auto place = [&](const char* text, const QString& path, QStyle::StandardPixmap icon) {
        auto* b = new QToolButton(this);
        b->setText(QString::fromUtf8(text));
        b->setIcon(style()->standardIcon(icon));
        b->setIconSize(QSize(32, 32));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setMinimumWidth(76);
        b->setToolTip(path);
        connect(b, &QToolButton::clicked, this, [this, path] { setFolder(path); });
        places->addWidget(b);
    };
    place("桌面", existingOrHome(QStandardPaths::DesktopLocation), QStyle::SP_DesktopIcon);
    place("主目录", QDir::homePath(), QStyle::SP_DirHomeIcon);
    place("我的文档", existingOrHome(QStandardPaths::DocumentsLocation), QStyle::SP_DirIcon);
    place("我的电脑", QDir::rootPath(), QStyle::SP_ComputerIcon);
    places->addStretch();
    layout->addLayout(places);

    auto* main = new QVBoxLayout;
    auto* top = new QHBoxLayout;
    path_ = new QComboBox(this);
    path_->setEditable(true);
    path_->setMaxVisibleItems(8);
    path_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    connect(path_, &QComboBox::textActivated, this, [this](const QString& text) {
        if (QFileInfo(text).isDir())
            setFolder(text);
        else
            path_->setEditText(folder_);
    });
    auto* up = new QToolButton(this);
    up->setIcon(IconProvider::themeIcon({"go-up"}, QStyle::SP_FileDialogToParent));
    up->setToolTip(QString::fromUtf8(kActionUp));
    connect(up, &QToolButton::clicked, this, &AddFilesDialog::goUp);
    top->addWidget(path_);
    top->addWidget(up);
    main->addLayout(top);

    list_ = new QListView(this);
    list_->setModel(model_);
    list_->setViewMode(QListView::ListMode);
    list_->setFlow(QListView::TopToBottom);
    list_->setWrapping(true);
    list_->setResizeMode(QListView::Adjust);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setEditTriggers(QAbstractItemView::EditKeyPressed);
    connect(list_, &QListView::doubleClicked, this, &AddFilesDialog::enter);
    connect(list_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &AddFilesDialog::updateCount);
    main->addWidget(list_);

    auto* bottom = new QHBoxLayout;
    count_ = new QLabel(this);
    bottom->addWidget(count_);
    bottom->addStretch();
    auto* ok = new QPushButton(QString::fromUtf8(kButtonOk), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = new QPushButton(QString::fromUtf8(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    bottom->addWidget(ok);
    bottom->addWidget(cancel);
    main->addLayout(bottom);
    layout->addLayout(main, 1);

    setFolder(QDir::homePath());
}

void AddFilesDialog::setFolder(const QString& path) {
    folder_ = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    list_->setRootIndex(model_->index(folder_));
    list_->clearSelection();
    fillPathCombo();
    updateCount();
}

void AddFilesDialog::fillPathCombo() {
    path_->blockSignals(true);
    path_->clear();
    for (QDir d(folder_);;) {
        path_->addItem(style()->standardIcon(QStyle::SP_DirIcon), d.absolutePath());
        if (!d.cdUp())
            break;
    }
    path_->setCurrentIndex(0);
    path_->blockSignals(false);
}

void AddFilesDialog::goUp() {
    QDir d(folder_);
    if (d.cdUp())
        setFolder(d.absolutePath());
}

void AddFilesDialog::enter(const QModelIndex& index) {
    if (model_->isDir(index))
        setFolder(model_->filePath(index));
}

QStringList AddFilesDialog::selectedPaths() const {
    QModelIndexList rows = list_->selectionModel()->selectedIndexes();
    std::sort(rows.begin(), rows.end(),
              [](const QModelIndex& a, const QModelIndex& b) { return a.row() < b.row(); });
    QStringList paths;
    for (const QModelIndex& i : rows)
        if (i.column() == 0)
            paths << model_->filePath(i);
    return paths;
}

void AddFilesDialog::updateCount() {
    count_->setText(QString::fromUtf8("已选取 %1 项").arg(selectedPaths().size()));
}

QStringList AddFilesDialog::choose() {
    setFolder(folder_);
    if (exec() != QDialog::Accepted)
        return {};
    return selectedPaths();
}

} // namespace korvane::ui
