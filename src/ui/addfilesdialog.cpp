#include "addfilesdialog.h"

#include "iconprovider.h"
#include "prompter.h"
#include "uitexts.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFileSystemModel>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QStandardPaths>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>

namespace korvane::ui {

namespace {

constexpr const char* kKeepSetting = "add/keepAttributes";
// The folder the chooser was last in, kept across runs.
constexpr const char* kFolderSetting = "folders/add";

QString existingOrHome(QStandardPaths::StandardLocation location) {
    QString path = QStandardPaths::writableLocation(location);
    return !path.isEmpty() && QFileInfo(path).isDir() ? path : QDir::homePath();
}

} // namespace

AddFilesDialog::AddFilesDialog(QWidget* parent) : QDialog(parent) {
    setObjectName("addFilesDialog");
    plainDialogFrame(this);
    setWindowTitle(tx(kChooseFilesTitle));
    resize(640, 420);

    model_ = new QFileSystemModel(this);
    model_->setFilter(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    // Names can be edited in place (F2), which renames the item on disk.
    model_->setReadOnly(false);
    model_->setRootPath(QDir::rootPath());

    auto* layout = new QHBoxLayout(this);

    // Places.
    auto* places = new QVBoxLayout;
    places->addWidget(new QLabel(tx(kLookIn), this));
    auto place = [&](const char* text, const QString& path, QStyle::StandardPixmap icon) {
        auto* b = new QToolButton(this);
        b->setText(tx(text));
        b->setIcon(style()->standardIcon(icon));
        b->setIconSize(QSize(32, 32));
        b->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
        b->setMinimumWidth(76);
        b->setToolTip(path);
        connect(b, &QToolButton::clicked, this, [this, path] { setFolder(path); });
        places->addWidget(b);
    };
    place(kPlaceDesktop, existingOrHome(QStandardPaths::DesktopLocation), QStyle::SP_DesktopIcon);
    place(kPlaceHome, QDir::homePath(), QStyle::SP_DirHomeIcon);
    place(kPlaceDocuments, existingOrHome(QStandardPaths::DocumentsLocation), QStyle::SP_DirIcon);
    place(kPlaceComputer, QDir::rootPath(), QStyle::SP_ComputerIcon);
    places->addStretch();
    layout->addLayout(places);

    auto* main = new QVBoxLayout;
    auto* top = new QHBoxLayout;
    path_ = new QComboBox(this);
    path_->setEditable(true);
    path_->setMaxVisibleItems(8);
    path_->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    // Enter and leaving the box go where it says; the dialog's default
    // button must not take the Enter.
    // (The box hands its focus events to the line edit itself, past any filter.)
    path_->installEventFilter(this);
    path_->lineEdit()->installEventFilter(this);
    connect(path_, &QComboBox::textActivated, this, [this](const QString& text) { goTo(text); });
    auto* up = new QToolButton(this);
    up->setIcon(IconProvider::themeIcon({"go-up"}, QStyle::SP_FileDialogToParent));
    up->setToolTip(tx(kActionUp));
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
    keep_ = new QCheckBox(tx(kKeepAttributes), this);
    keep_->setToolTip(tx(kKeepAttributesTip));
    keep_->setChecked(QSettings().value(kKeepSetting, true).toBool());
    bottom->addWidget(keep_);
    bottom->addSpacing(12);
    count_ = new QLabel(this);
    bottom->addWidget(count_);
    bottom->addStretch();
    auto* ok = new QPushButton(tx(kButtonOk), this);
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* cancel = new QPushButton(tx(kButtonCancel), this);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    bottom->addWidget(ok);
    bottom->addWidget(cancel);
    main->addLayout(bottom);
    layout->addLayout(main, 1);

    const QString last = QSettings().value(kFolderSetting).toString();
    setFolder(!last.isEmpty() && QFileInfo(last).isDir() ? last : QDir::homePath());
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

bool AddFilesDialog::goTo(const QString& typed, bool quiet) {
    QString text = typed.trimmed();
    if (text == "~" || text.startsWith("~/"))
        text = QDir::homePath() + text.mid(1);
    if (text.isEmpty() || QDir::cleanPath(QDir(folder_).absoluteFilePath(text)) == folder_) {
        path_->setEditText(folder_);
        return true;
    }
    const QFileInfo info(QDir(folder_), text);
    if (info.isDir()) {
        setFolder(info.absoluteFilePath());
        return true;
    }
    if (info.exists()) {
        setFolder(info.absolutePath());
        const QModelIndex item = model_->index(info.absoluteFilePath());
        list_->selectionModel()->select(item, QItemSelectionModel::ClearAndSelect);
        list_->setCurrentIndex(item);
        list_->scrollTo(item);
        return true;
    }
    if (quiet) {
        path_->setEditText(folder_);
        return false;
    }
    QMessageBox box(QMessageBox::Information, tx(kCaptionNotice), tx(kNoSuchFolder).arg(text),
                    QMessageBox::Ok, this);
    plainDialogFrame(&box);
    box.exec();
    path_->setEditText(text);
    return false;
}

bool AddFilesDialog::eventFilter(QObject* watched, QEvent* event) {
    if (watched == path_ || watched == path_->lineEdit()) {
        if (event->type() == QEvent::KeyPress) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) {
                if (goTo(path_->currentText()))
                    list_->setFocus();
                return true;
            }
        } else if (event->type() == QEvent::FocusOut && path_->currentText() != folder_ &&
                   isVisible()) {
            goTo(path_->currentText(), true);
        }
    }
    return QDialog::eventFilter(watched, event);
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
    count_->setText(txn(kSelectedCount, selectedPaths().size()));
}

std::optional<FileChoice> AddFilesDialog::choose() {
    setFolder(folder_);
    if (exec() != QDialog::Accepted)
        return std::nullopt;
    QSettings().setValue(kKeepSetting, keep_->isChecked());
    QSettings().setValue(kFolderSetting, folder_);
    return FileChoice{selectedPaths(), keep_->isChecked()};
}

} // namespace korvane::ui
